// Fixed-width names the driver and the plug-in use for the platform's scalar types.
#pragma once

#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef int16_t OSErr;
typedef int32_t OSStatus;
typedef uint32_t OSType;
typedef uint32_t FourCharCode;
typedef int32_t IOReturn;  // the USB layer's 32-bit I/O status

enum : OSErr {
  noErr = 0,
  paramErr = -50,
  fnfErr = -43,
  memFullErr = -108,
};

// A four-character code: the first character in the most significant byte.
constexpr OSType FourCC(const char (&s)[5]) {
  return (OSType(UInt8(s[0])) << 24) | (OSType(UInt8(s[1])) << 16) | (OSType(UInt8(s[2])) << 8) | OSType(UInt8(s[3]));
}
