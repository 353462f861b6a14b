#include "host/ConfigSearch.h"

#include <sstream>

namespace tarvell::host {

std::vector<std::string> ConfigSearchPath(const char* saneConfigDir, const std::vector<std::string>& systemDirs) {
  std::vector<std::string> path;
  auto add = [&](const std::string& dir) {
    if (dir.empty()) return;
    for (const std::string& known : path)
      if (known == dir) return;
    path.push_back(dir);
  };
  if (saneConfigDir) {
    std::stringstream in(saneConfigDir);
    std::string dir;
    while (std::getline(in, dir, ':')) add(dir);
  }
  for (const std::string& dir : systemDirs) add(dir);
  return path;
}

}  // namespace tarvell::host
