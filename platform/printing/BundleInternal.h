// The bundle record, shared by the bundle and plug-in services only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/printing/Bundle.h"

struct PMBundle {
  std::string path;
  PMDictionaryRef info = nullptr;
  PMStringRef identifier = nullptr;  // held by `info`
  void* handle = nullptr;            // the loaded executable
  std::map<std::string, std::unique_ptr<std::map<std::string, std::string>>> tables;
  // The string table `name` in `language`, loaded once; null when there is none.
  const std::map<std::string, std::string>* Table(const std::string& language, const std::string& name);
};

namespace tarvell {
namespace printing {
namespace internal {
std::vector<PMBundle*> Bundles();
}
}  // namespace printing
}  // namespace tarvell
