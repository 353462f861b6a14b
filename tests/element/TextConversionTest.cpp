#include "element/TextConversion.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "element/Exception.h"
#include "tests/support/ExceptionMessage.h"

namespace {

using tarvell::testing::MessageOf;

TEST(TextConversionTest, NumbersToText) {
  EXPECT_EQ(iToString(-7), "-7");
  EXPECT_EQ(iToString(INT_MIN), "-2147483648");
  EXPECT_EQ(ulToString(ULONG_MAX), std::to_string(ULONG_MAX));
  EXPECT_EQ(fToString(1.5f), "1.500000");
  EXPECT_EQ(fToString(-0.0000004f), "-0.000000");
  std::string huge = fToString(FLT_MAX);
  EXPECT_EQ(huge.size(), 46u);  // 39 digits, the point and six decimals
  EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
}

TEST(TextConversionTest, StringToiPrefixes) {
  EXPECT_EQ(StringToi("#ff"), 255);
  EXPECT_EQ(StringToi("#FF"), 255);
  EXPECT_EQ(StringToi("0o17"), 15);
  EXPECT_EQ(StringToi("017"), 17);
  EXPECT_EQ(StringToi("010"), 10);
  EXPECT_EQ(StringToi("00x1F"), 31);
  EXPECT_EQ(StringToi("0017"), 15);  // the rest "017" is octal to strtol
  EXPECT_EQ(StringToi("-42"), -42);
  EXPECT_EQ(StringToi(" 12"), 12);
  for (const char* zero : {"", "#", "0", "0o"}) EXPECT_EQ(StringToi(zero), 0) << zero;
}

TEST(TextConversionTest, StringToiRejectsTrailingText) {
  for (const char* bad : {"0x10", "0x", "12 ", "12a", "abc", "#xyz", "0o8", "1.5", "--1", "+"}) {
    EXPECT_EQ(MessageOf([&] { StringToi(bad); }), "Illegal conversion") << bad;
  }
  EXPECT_THROW(StringToi(std::string("12\0"
                                     "3",
                                     4)),
               ValueConversionException);
}

TEST(TextConversionTest, StringToiClampsToInt) {
  EXPECT_EQ(StringToi("2147483648"), INT_MAX);
  EXPECT_EQ(StringToi("-2147483649"), INT_MIN);
  EXPECT_EQ(StringToi("99999999999999999999999"), INT_MAX);
  EXPECT_EQ(StringToi("#-80000001"), INT_MIN);
}

TEST(TextConversionTest, UpperCase) { EXPECT_EQ(StringToUpperCase("aBc1\xe9"), "ABC1\xe9"); }

TEST(TextConversionTest, URLEncodingRoundTrip) {
  EXPECT_EQ(URLEncodeString("a_Z.9 /"), "a_Z.9+%2F");
  EXPECT_EQ(URLEncodeString(std::string("\xff\x00-", 3)), "%FF%00%2D");
  for (const std::string& text : {std::string("a_Z.9 /"), std::string("\x80\xff%+~", 6), std::string("")}) {
    EXPECT_EQ(URLDecodeString(URLEncodeString(text)), text);
  }
  EXPECT_EQ(URLDecodeString("%2f%2F+x"), "// x");
}

TEST(TextConversionTest, URLDecodeKeepsAPercentTooNearTheEnd) {
  EXPECT_EQ(URLDecodeString("abc%"), "abc%");
  EXPECT_EQ(URLDecodeString("abc%4"), "abc%4");
  EXPECT_EQ(URLDecodeString("%"), "%");
  EXPECT_EQ(URLDecodeString("%41"), "A");
}

TEST(TextConversionTest, AhtomFillsFromTheEnd) {
  unsigned char out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(ahtom("1a2B", out), out);
  EXPECT_EQ(out[0], 0x1A);
  EXPECT_EQ(out[1], 0x2B);
  EXPECT_EQ(out[2], 0xAA);
  std::memset(out, 0xAA, sizeof out);
  ahtom("abc", out);  // odd: the first byte holds only the first digit
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xBC);
  EXPECT_EQ(out[2], 0xAA);
  std::memset(out, 0xAA, sizeof out);
  ahtom("", out);
  EXPECT_EQ(out[0], 0xAA);
}

std::string Encode(const std::string& bytes) {
  return StrToBase64(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

std::string Decode(const char* text, int capacity) {
  std::vector<unsigned char> out(capacity > 0 ? capacity : 1, 0xEE);
  int n = Base64ToStr(text, out.data(), capacity);
  return std::string(out.begin(), out.begin() + n);
}

TEST(TextConversionTest, Base64Encode) {
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("a"), "YQ==");
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3)), "//4A");
  EXPECT_EQ(StrToBase64(reinterpret_cast<const unsigned char*>("x"), -1), "");
}

TEST(TextConversionTest, Base64DecodeLimitsAndSkips) {
  EXPECT_EQ(Decode("YWJj", 2), "ab");
  EXPECT_EQ(Decode("YQ==", 10), "a");
  EXPECT_EQ(Decode("YW\nJj", 10), "abc");
  EXPECT_EQ(Decode("YWJjZA", 10), "abc");  // the incomplete group is dropped
  EXPECT_EQ(Decode("YQ==YWJj", 10), "a");  // stops after a padded group
  EXPECT_EQ(Decode("", 10), "");
  EXPECT_EQ(Decode("YWJj", 0), "");
  EXPECT_EQ(Decode("YWJj", -5), "");
  EXPECT_EQ(Decode("====", 10), "");
  EXPECT_EQ(Decode("Y\xc3\xa9WJj\x80\xff", 10), "abc");  // bytes above 127 are skipped
}

TEST(TextConversionTest, Base64TablesAreInverse) {
  for (int v = 0; v < 64; ++v) {
    EXPECT_EQ(FromBase64[static_cast<unsigned char>(ToBase64[v])], v);
  }
  int outside = 0;
  for (int c = 0; c < 128; ++c) outside += FromBase64[c] == 0xFF;
  EXPECT_EQ(outside, 64);
  EXPECT_EQ(FromBase64[static_cast<unsigned char>('=')], 0xFF);
}

TEST(TextConversionTest, Base64RoundTripsEveryLength) {
  std::string bytes;
  for (int n = 0; n < 40; ++n) {
    std::string text = Encode(bytes);
    EXPECT_EQ(Decode(text.c_str(), 64), bytes) << n;
    bytes += static_cast<char>(n * 37 + 200);
  }
}

TEST(TextConversionTest, PrintHexBufferSixteenToALine) {
  unsigned char bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<unsigned char>(i * 16 + 1);
  testing::internal::CaptureStdout();
  printHexBuffer(bytes, 17);
  printHexBuffer(bytes, 0);
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "01 11 21 31 41 51 61 71 81 91 A1 B1 C1 D1 E1 F1 \n"
            "01 \n"
            "\n");
}

}  // namespace
