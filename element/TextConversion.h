// Numbers to text and back; bytes to Base64, URL-encoded and hexadecimal text and back.
#pragma once

#include <string>

// RFC 4648 alphabet, value to character.
extern const char ToBase64[64];
// Character (7-bit code) to value; 0xFF for everything outside the alphabet, "=" included.
extern const unsigned char FromBase64[128];

std::string iToString(int value);             // "%d"
std::string ulToString(unsigned long value);  // "%lu"
std::string fToString(float value);           // "%f"

// "#ff" hex, "0o17" octal, "0..." strtol base 0 on the rest after the "0", else base 0.
// The whole text must be the number: ValueConversionException("Illegal conversion") otherwise.
// Out-of-range values are clamped to the int range.
int StringToi(const std::string& text);

std::string StringToUpperCase(std::string text);

// Letters, digits, "_" and "." stay; space becomes "+"; any other byte "%XX".
std::string URLEncodeString(const std::string& text);
// "%XX" gives the byte, "+" a space. A "%" without two characters after it is kept as text.
std::string URLDecodeString(const std::string& text);

// Hex text (NUL-terminated) to bytes, filling strlen/2 + strlen%2 bytes of `out`; with an odd
// length the first byte holds only the first digit. Characters are not validated.
unsigned char* ahtom(const char* hex, unsigned char* out);

// Standard Base64 with "=" padding and no line breaks; "" for a length of 0 or less.
std::string StrToBase64(const unsigned char* bytes, int length);
// Decodes NUL-terminated Base64 text into at most `capacity` bytes; returns the count written.
// Unknown characters are skipped; decoding stops after a padded group.
int Base64ToStr(const char* text, unsigned char* out, int capacity);

// Each byte as "%02X ", sixteen to a line, then "\n", on standard output.
void printHexBuffer(const unsigned char* bytes, int length);
