#include "element/TextConversion.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "element/Exception.h"

const char ToBase64[64] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
                           'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
                           'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
                           'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

#define X 0xFF
const unsigned char FromBase64[128] = {X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,   // 0x00
                                       X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,   // 0x10
                                       X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  62, X,  X,  X,  63,  // 0x20 + /
                                       52, 53, 54, 55, 56, 57, 58, 59, 60, 61, X,  X,  X,  X,  X,  X,   // 0x30 0-9
                                       X,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,  // 0x40 A-O
                                       15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, X,  X,  X,  X,  X,   // 0x50 P-Z
                                       X,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60 a-o
                                       41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, X,  X,  X,  X,  X};  // 0x70 p-z
#undef X

std::string iToString(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return text;
}

std::string ulToString(unsigned long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lu", value);
  return text;
}

std::string fToString(float value) {
  // FLT_MAX prints with 39 digits before the point; size the buffer for whatever comes.
  int needed = std::snprintf(nullptr, 0, "%f", static_cast<double>(value));
  if (needed < 0) return std::string();
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::snprintf(&text[0], text.size(), "%f", static_cast<double>(value));
  text.resize(static_cast<size_t>(needed));
  return text;
}

int StringToi(const std::string& text) {
  const char* begin = text.c_str();
  const char* end = begin + text.size();  // an embedded NUL leaves text after the number
  const char* digits = begin;
  int base = 0;
  if (text.compare(0, 1, "#") == 0) {
    digits = begin + 1;
    base = 16;
  } else if (text.compare(0, 2, "0o") == 0) {
    digits = begin + 2;
    base = 8;
  } else if (text.compare(0, 1, "0") == 0) {
    digits = begin + 1;
  }
  char* stop = nullptr;
  long value = std::strtol(digits, &stop, base);
  if (stop != end) throw ValueConversionException("Illegal conversion");
  // Clamped to int as strtol clamps to long: a value never wraps round.
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string StringToUpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

namespace {
bool KeptInURL(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}
}  // namespace

std::string URLEncodeString(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (KeptInURL(byte)) {
      encoded += c;
    } else if (byte == ' ') {
      encoded += '+';
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

std::string URLDecodeString(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && text.size() - i > 2) {
      const char pair[3] = {text[i + 1], text[i + 2], '\0'};
      unsigned char byte = 0;
      ahtom(pair, &byte);
      decoded += static_cast<char>(byte);
      i += 2;
    } else if (c == '+') {
      decoded += ' ';
    } else {
      // Includes a "%" too near the end to carry two digits: kept as it is.
      decoded += c;
    }
  }
  return decoded;
}

unsigned char* ahtom(const char* hex, unsigned char* out) {
  size_t length = std::strlen(hex);
  if (length == 0) return out;
  size_t bytes = length / 2 + length % 2;
  // From the last character backwards: low nibble, then the high nibble before it if any.
  size_t at = length;
  for (size_t b = bytes; b-- > 0;) {
    int low = DigitValue(hex[--at]);
    int high = at > 0 ? DigitValue(hex[--at]) : 0;
    out[b] = static_cast<unsigned char>((high * 16 + low) & 0xFF);
  }
  return out;
}

std::string StrToBase64(const unsigned char* bytes, int length) {
  if (bytes == nullptr || length <= 0) return std::string();
  std::string text((static_cast<size_t>(length) + 2) / 3 * 4, '=');
  char* out = &text[0];
  int i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned long group = (static_cast<unsigned long>(bytes[i]) << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    *out++ = ToBase64[(group >> 18) & 0x3F];
    *out++ = ToBase64[(group >> 12) & 0x3F];
    *out++ = ToBase64[(group >> 6) & 0x3F];
    *out++ = ToBase64[group & 0x3F];
  }
  int rest = length - i;  // 1 or 2 bytes left: two or three characters, the "=" already there
  if (rest > 0) {
    unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
    *out++ = ToBase64[(group >> 18) & 0x3F];
    *out++ = ToBase64[(group >> 12) & 0x3F];
    if (rest == 2) *out++ = ToBase64[(group >> 6) & 0x3F];
  }
  return text;
}

int Base64ToStr(const char* text, unsigned char* out, int capacity) {
  if (text == nullptr || text[0] == '\0' || capacity <= 0) return 0;
  int written = 0;
  unsigned long accumulator = 0;
  int inGroup = 0;
  int pads = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    unsigned int value;
    if (*p == '=') {
      ++pads;
      value = 0;
    } else if (*p > 127 || FromBase64[*p] == 0xFF) {
      continue;  // line breaks, spaces and anything else outside the alphabet
    } else {
      value = FromBase64[*p];
    }
    accumulator = (accumulator << 6) | value;
    if (++inGroup < 4) continue;
    int emit = 3 - pads;  // a group of four "=" (or more pads than fit) gives nothing
    for (int k = 0; k < emit && written < capacity; ++k) {
      out[written++] = static_cast<unsigned char>((accumulator >> (16 - 8 * k)) & 0xFF);
    }
    bool padded = pads > 0;
    accumulator = 0;
    inGroup = 0;
    pads = 0;
    if (padded || written >= capacity) break;
  }
  return written;
}

void printHexBuffer(const unsigned char* bytes, int length) {
  for (int i = 0; bytes != nullptr && i < length; ++i) {
    if (i > 0 && i % 16 == 0) std::printf("\n");
    std::printf("%02X ", bytes[i]);
  }
  std::printf("\n");
}
