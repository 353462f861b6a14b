// Small text helpers shared by the hosts: whole numbers from command lines and configuration
// files, and locations as people read them.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "platform/system/Types.h"

namespace tarvell {

// A whole unsigned number not above `max`, with nothing before or after it. `base` as strtoull
// takes it: 0 reads decimal, 0x-hex and 0-octal; 10 only decimal.
bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long* out, int base = 0);
// A 32-bit value as "0x%08x" (USB locations).
std::string Hex32(UInt32 value);
// Reads a configuration file a line at a time: `#` starts a comment, blank lines are passed over,
// and every other line goes to `take` as its words, with its number (from 1).
void ReadConfigLines(std::istream& in,
                     const std::function<void(int number, const std::vector<std::string>& words)>& take);

}  // namespace tarvell
