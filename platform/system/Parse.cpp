#include "platform/system/Parse.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tarvell {

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long* out, int base) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

std::string Hex32(UInt32 value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(value));
  return text;
}

}  // namespace tarvell
