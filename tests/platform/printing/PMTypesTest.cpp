#include "platform/printing/PMTypes.h"

#include <gtest/gtest.h>

using tarvell::printing::LiveObjectCount;
using tarvell::printing::ToStdString;

namespace {

TEST(Strings, ConvertFromTheirEncodingToUTF8) {
  struct Case {
    const char* bytes;
    PMStringEncoding encoding;
    const char* utf8;
  } cases[] = {
      {"Gr\xFC\xDF", kPMStringEncodingISOLatin1, "Gr\u00FC\u00DF"},
      {"\x80\x93", kPMStringEncodingWindowsLatin1, "\u20AC\u201C"},
      {"\x8A\xA5", kPMStringEncodingMacRoman, "\u00E4\u2022"},
      {"\x83\x58\x83\x5E\x83\x62\x83\x4A", kPMStringEncodingMacJapanese, "\u30B9\u30BF\u30C3\u30AB"},
      {"plain", kPMStringEncodingASCII, "plain"},
      {"\xE2\x82\xAC", kPMStringEncodingUTF8, "\u20AC"},
  };
  for (const Case& c : cases) {
    PMStringRef s = PMStringCreateWithCString(nullptr, c.bytes, c.encoding);
    ASSERT_NE(nullptr, s) << c.utf8;
    EXPECT_STREQ(c.utf8, PMStringGetCStringPtr(s));
    PMRelease(s);
  }
}

TEST(Strings, RejectBytesNotValidInTheirEncoding) {
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, "\xC3", kPMStringEncodingUTF8));          // cut short
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, "\xC0\xAF", kPMStringEncodingUTF8));      // overlong
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, "\xED\xA0\x80", kPMStringEncodingUTF8));  // surrogate
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, "\xE9", kPMStringEncodingASCII));
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, "\x83", kPMStringEncodingMacJapanese));  // lead byte alone
  EXPECT_EQ(nullptr, PMStringCreateWithCString(nullptr, nullptr, kPMStringEncodingUTF8));
}

TEST(Strings, CopyOutOnlyWhenTheTextFitsTheBufferAndEncoding) {
  PMStringRef s = PMStringCreateWithCString(nullptr, "Staple", kPMStringEncodingASCII);
  char buf[7];
  EXPECT_TRUE(PMStringGetCString(s, buf, sizeof buf, kPMStringEncodingASCII));
  EXPECT_STREQ("Staple", buf);
  EXPECT_FALSE(PMStringGetCString(s, buf, 6, kPMStringEncodingASCII));
  PMStringRef u = PMStringCreateWithCString(nullptr, "\u00E9", kPMStringEncodingUTF8);
  EXPECT_FALSE(PMStringGetCString(u, buf, sizeof buf, kPMStringEncodingASCII));
  EXPECT_TRUE(PMStringGetCString(u, buf, sizeof buf, kPMStringEncodingUTF8));
  EXPECT_TRUE(PMStringHasPrefix(s, "Sta"));
  EXPECT_FALSE(PMStringHasPrefix(s, "sta"));
  PMRelease(s);
  PMRelease(u);
}

TEST(Objects, LiveUntilTheirLastRelease) {
  long before = LiveObjectCount();
  PMStringRef s = PMStringCreateWithCString(nullptr, "x", kPMStringEncodingASCII);
  EXPECT_EQ(before + 1, LiveObjectCount());
  PMRetain(s);
  EXPECT_EQ(2, PMGetRetainCount(s));
  PMRelease(s);
  EXPECT_EQ(before + 1, LiveObjectCount());
  PMRelease(s);
  EXPECT_EQ(before, LiveObjectCount());
  PMRelease(kPMBooleanTrue);  // constants are never freed
  EXPECT_TRUE(PMBooleanGetValue(kPMBooleanTrue));
}

TEST(Objects, AnArmedAllocationFailureHitsExactlyTheNthCreation) {
  tarvell::testing::FailNext(tarvell::printing::Call::kAllocate, 2);
  PMStringRef first = PMStringCreateWithCString(nullptr, "a", kPMStringEncodingASCII);
  PMStringRef second = PMStringCreateWithCString(nullptr, "b", kPMStringEncodingASCII);
  PMStringRef third = PMStringCreateWithCString(nullptr, "c", kPMStringEncodingASCII);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, second);
  EXPECT_NE(nullptr, third);
  tarvell::testing::FailNext(tarvell::printing::Call::kAllocate, 1);
  EXPECT_EQ(nullptr, PMAllocatorAllocate(nullptr, 16));
  PMRelease(first);
  PMRelease(third);
}

TEST(Numbers, ReportValuesThatDoNotFit) {
  int32_t big = 70000;
  PMNumberRef n = PMNumberCreate(nullptr, kPMNumberSInt32Type, &big);
  int16_t small = 0;
  EXPECT_FALSE(PMNumberGetValue(n, kPMNumberSInt16Type, &small));
  int32_t back = 0;
  EXPECT_TRUE(PMNumberGetValue(n, kPMNumberSInt32Type, &back));
  EXPECT_EQ(70000, back);
  PMRelease(n);
}

int gRetained = 0, gReleased = 0;
const void* CountRetain(PMAllocatorRef, const void* v) {
  ++gRetained;
  return v;
}
void CountRelease(PMAllocatorRef, const void*) { ++gReleased; }

TEST(Arrays, HoldValuesThroughTheirCallbacks) {
  PMArrayCallBacks callbacks{0, CountRetain, CountRelease, nullptr, nullptr};
  int a = 1, b = 2;
  PMMutableArrayRef array = PMArrayCreateMutable(nullptr, 2, &callbacks);
  EXPECT_TRUE(PMArrayAppendValue(array, &a));
  EXPECT_TRUE(PMArrayAppendValue(array, &b));
  EXPECT_FALSE(PMArrayAppendValue(array, &a));  // capacity 2
  EXPECT_EQ(2, gRetained);
  EXPECT_EQ(&b, PMArrayGetValueAtIndex(array, 1));
  EXPECT_EQ(nullptr, PMArrayGetValueAtIndex(array, 2));
  EXPECT_EQ(nullptr, PMArrayGetValueAtIndex(array, -1));
  PMRelease(array);
  EXPECT_EQ(2, gReleased);

  const void* values[] = {&a};
  PMArrayRef fixed = PMArrayCreate(nullptr, values, 1, &callbacks);
  EXPECT_FALSE(PMArrayAppendValue(const_cast<PMMutableArrayRef>(fixed), &b));
  PMRelease(fixed);
}

TEST(Arrays, OfObjectsCompareByValue) {
  PMStringRef x1 = PMStringCreateWithCString(nullptr, "x", kPMStringEncodingASCII);
  PMStringRef x2 = PMStringCreateWithCString(nullptr, "x", kPMStringEncodingASCII);
  const void* v1[] = {x1};
  const void* v2[] = {x2};
  PMArrayRef a1 = PMArrayCreate(nullptr, v1, 1, &kPMTypeArrayCallBacks);
  PMArrayRef a2 = PMArrayCreate(nullptr, v2, 1, &kPMTypeArrayCallBacks);
  EXPECT_TRUE(PMEqual(a1, a2));
  EXPECT_EQ(2, PMGetRetainCount(x1));
  PMRelease(a1);
  PMRelease(a2);
  EXPECT_EQ(1, PMGetRetainCount(x1));
  PMRelease(x1);
  PMRelease(x2);
}

TEST(Dictionaries, ReplaceAndRemoveReleaseTheOldValue) {
  long before = LiveObjectCount();
  PMMutableDictionaryRef d = PMDictionaryCreateMutable(nullptr);
  PMStringRef key = PMStringCreateWithCString(nullptr, "StapleLocation", kPMStringEncodingASCII);
  PMStringRef v1 = PMStringCreateWithCString(nullptr, "None", kPMStringEncodingASCII);
  PMStringRef v2 = PMStringCreateWithCString(nullptr, "TopLeft", kPMStringEncodingASCII);
  PMDictionarySetValue(d, key, v1);
  PMDictionarySetValue(d, key, v2);
  EXPECT_EQ(1, PMGetRetainCount(v1));
  EXPECT_EQ(1, PMDictionaryGetCount(d));
  EXPECT_EQ("TopLeft", ToStdString(PMDictionaryGetValueForCString(d, "StapleLocation")));
  EXPECT_EQ(nullptr, PMDictionaryGetValueForCString(d, "stapleLocation"));
  PMDictionaryRemoveValue(d, key);
  EXPECT_EQ(0, PMDictionaryGetCount(d));
  PMRelease(key);
  PMRelease(v1);
  PMRelease(v2);
  PMRelease(d);
  EXPECT_EQ(before, LiveObjectCount());
}

TEST(UUIDs, ParseAndPrintAndRefuseMalformedText) {
  PMUUIDRef a = PMUUIDCreateFromString(nullptr, "bdb091f4-e57f-11d3-b5cc-0050e4603277");
  PMUUIDRef b = PMUUIDCreateFromUUIDBytes(nullptr, PMUUIDGetUUIDBytes(a));
  ASSERT_NE(nullptr, a);
  EXPECT_TRUE(PMEqual(a, b));
  EXPECT_EQ("BDB091F4-E57F-11D3-B5CC-0050E4603277", PMUUIDToString(b));
  EXPECT_EQ(0xBD, PMUUIDGetUUIDBytes(a).byte[0]);
  EXPECT_EQ(0x77, PMUUIDGetUUIDBytes(a).byte[15]);
  EXPECT_EQ(nullptr, PMUUIDCreateFromString(nullptr, "BDB091F4-E57F-11D3-B5CC-0050E460327"));
  EXPECT_EQ(nullptr, PMUUIDCreateFromString(nullptr, "BDB091F4+E57F-11D3-B5CC-0050E4603277"));
  EXPECT_EQ(nullptr, PMUUIDCreateFromString(nullptr, "GDB091F4-E57F-11D3-B5CC-0050E4603277"));
  PMRelease(a);
  PMRelease(b);
}

}  // namespace
