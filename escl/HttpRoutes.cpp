#include "escl/HttpRoutes.h"

#include <algorithm>

namespace tarvell::escl {

bool MatchPath(std::string_view pattern, std::string_view path, std::string* param) {
  param->clear();
  while (!pattern.empty() || !path.empty()) {
    // Both go on with a segment: "/name".
    if (pattern.empty() || path.empty() || pattern.front() != '/' || path.front() != '/') return false;
    pattern.remove_prefix(1);
    path.remove_prefix(1);
    const size_t patternEnd = std::min(pattern.find('/'), pattern.size());
    const size_t pathEnd = std::min(path.find('/'), path.size());
    const std::string_view want = pattern.substr(0, patternEnd), have = path.substr(0, pathEnd);
    if (want == "{}") {
      if (have.empty()) return false;
      param->assign(have);
    } else if (want != have) {
      return false;
    }
    pattern.remove_prefix(patternEnd);
    path.remove_prefix(pathEnd);
  }
  return true;
}

}  // namespace tarvell::escl
