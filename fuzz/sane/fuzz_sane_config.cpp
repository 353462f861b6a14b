// tarvell.conf as any text: every line is used or skipped with a warning, never more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "sane/SaneConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  tarvell::sane::BackendConfig config = tarvell::sane::ParseConfig(in, "fuzz.conf");
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  // One entry, one warning or nothing for each line.
  if (config.usb.size() + config.simulated.size() + config.warnings.size() > lines) std::abort();
  for (const auto& s : config.simulated)
    if (s.locationID == 0 || s.imagePacketSize == 0) std::abort();
  for (const auto& u : config.usb)
    if (u.byLocation && u.locationID == 0) std::abort();
  return 0;
}
