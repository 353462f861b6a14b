#include "platform/system/Parse.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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

void ReadConfigLines(std::istream& in,
                     const std::function<void(int number, const std::vector<std::string>& words)>& take) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream text(line);
    std::vector<std::string> words;
    for (std::string word; text >> word;) words.push_back(word);
    if (!words.empty()) take(number, words);
  }
}

}  // namespace tarvell
