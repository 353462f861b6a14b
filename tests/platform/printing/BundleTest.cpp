#include "platform/printing/Bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

using tarvell::printing::ParseStringsTable;
using tarvell::printing::ToStdString;

namespace {

// A bundle folder in /tmp, removed afterwards.
class TempBundle {
 public:
  explicit TempBundle(const std::string& plist) {
    char tmpl[] = "/tmp/pm-bundle-XXXXXX";
    root_ = mkdtemp(tmpl);
    Mkdir("/B.plugin");
    Mkdir("/B.plugin/Contents");
    Write("Info.plist", plist);
  }
  ~TempBundle() { EXPECT_EQ(0, std::system(("rm -rf '" + root_ + "'").c_str())); }
  std::string path() const { return root_ + "/B.plugin"; }
  void Mkdir(const std::string& p) const { EXPECT_EQ(0, std::system(("mkdir -p '" + root_ + p + "'").c_str())); }
  // `name` relative to Contents/.
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(path() + "/Contents/" + name) << text;
  }

 private:
  std::string root_;
};

std::string Plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body + "</dict></plist>\n";
}

const char kIdentity[] =
    "<key>CFBundleIdentifier</key><string>org.test.b</string>"
    "<key>CFBundleDevelopmentRegion</key><string>en</string>";

std::string Localized(PMBundleRef bundle, const char* key) {
  PMStringRef k = PMStringCreateWithCString(nullptr, key, kPMStringEncodingUTF8);
  PMStringRef s = PMBundleCopyLocalizedString(bundle, k, nullptr, nullptr);
  std::string text = ToStdString(s);
  PMRelease(s);
  PMRelease(k);
  return text;
}

TEST(StringsTable, ReadsPairsCommentsAndEscapes) {
  std::vector<std::pair<std::string, std::string>> t;
  ASSERT_TRUE(ParseStringsTable("\xEF\xBB\xBF/* c */ \"a\" = \"x\\\"y\";\n// line\n\"b\"=\"l1\\nl2\";", &t));
  ASSERT_EQ(2u, t.size());
  EXPECT_EQ("x\"y", t[0].second);
  EXPECT_EQ("l1\nl2", t[1].second);
  for (const char* bad : {"\"a\" = \"x\"", "\"a\" \"x\";", "a = \"x\";", "\"a\" = \"x", "\"a\" = x;"})
    EXPECT_FALSE(ParseStringsTable(bad, &t)) << bad;
  EXPECT_EQ(2u, t.size());  // untouched by a failed parse
}

TEST(Bundle, RefusesMissingFoldersAndBadInformationDictionaries) {
  std::string error;
  EXPECT_EQ(nullptr, PMBundleCreate("/nonexistent/X.plugin", &error));
  EXPECT_NE(std::string::npos, error.find("no bundle folder"));
  for (const std::string& plist :
       {std::string("not xml"), Plist("<key>CFBundleName</key><string>x</string>"),
        Plist("<key>CFBundleIdentifier</key><integer>3</integer>"), Plist("<key>CFBundleIdentifier</key>"),
        Plist("<key>a</key><date>2020</date>" + std::string(kIdentity))}) {
    TempBundle b(plist);
    error.clear();
    EXPECT_EQ(nullptr, PMBundleCreate(b.path().c_str(), &error)) << plist;
    EXPECT_FALSE(error.empty());
  }
}

TEST(Bundle, ReadsTheInformationDictionaryAndIsFoundByIdentifier) {
  TempBundle b(
      Plist(std::string(kIdentity) + "<key>List</key><array><string>A</string><integer>-7</integer><true/></array>"));
  PMBundleRef bundle = PMBundleCreate(b.path().c_str());
  ASSERT_NE(nullptr, bundle);
  PMStringRef id = PMStringCreateWithCString(nullptr, "org.test.b", kPMStringEncodingASCII);
  EXPECT_EQ(bundle, PMBundleGetBundleWithIdentifier(id));
  auto list = static_cast<PMArrayRef>(PMDictionaryGetValueForCString(PMBundleGetInfoDictionary(bundle), "List"));
  ASSERT_EQ(3, PMArrayGetCount(list));
  int64_t n = 0;
  PMNumberGetValue(static_cast<PMNumberRef>(PMArrayGetValueAtIndex(list, 1)), kPMNumberSInt64Type, &n);
  EXPECT_EQ(-7, n);
  EXPECT_EQ(kPMBooleanTrue, PMArrayGetValueAtIndex(list, 2));
  PMBundleRelease(bundle);
  EXPECT_EQ(nullptr, PMBundleGetBundleWithIdentifier(id));
  PMRelease(id);
}

TEST(Bundle, LocalisesFromThePreferredLanguageThenTheDevelopmentLanguageThenTheKey) {
  TempBundle b(Plist(kIdentity));
  b.Mkdir("/B.plugin/Contents/Resources/en.lproj");
  b.Mkdir("/B.plugin/Contents/Resources/de.lproj");
  b.Write("Resources/en.lproj/Localizable.strings", "\"On\" = \"On\"; \"Off\" = \"Off\";");
  b.Write("Resources/de.lproj/Localizable.strings", "\"On\" = \"Ein\";");
  PMBundleRef bundle = PMBundleCreate(b.path().c_str());
  ASSERT_NE(nullptr, bundle);
  PMBundleSetPreferredLanguages({"de"});
  EXPECT_EQ("Ein", Localized(bundle, "On"));
  EXPECT_EQ("Off", Localized(bundle, "Off"));
  EXPECT_EQ("Staple", Localized(bundle, "Staple"));
  PMBundleSetPreferredLanguages({"fr", "en"});
  EXPECT_EQ("On", Localized(bundle, "On"));
  PMBundleSetPreferredLanguages({"en"});
  PMBundleRelease(bundle);
}

TEST(ResourceMaps, OpenOnlyWithAResourcesFolderAndRestoreTheCurrentOne) {
  TempBundle without(Plist(kIdentity));
  PMBundleRef a = PMBundleCreate(without.path().c_str());
  EXPECT_EQ(-1, PMBundleOpenBundleResourceMap(a));
  without.Mkdir("/B.plugin/Contents/Resources");
  ResFileRefNum before = CurResFile();
  ResFileRefNum ref = PMBundleOpenBundleResourceMap(a);
  ASSERT_NE(-1, ref);
  EXPECT_EQ(ref, CurResFile());
  EXPECT_EQ(1, tarvell::printing::OpenResourceMapCount());
  UseResFile(before);
  EXPECT_EQ(before, CurResFile());
  UseResFile(999);  // not open: ignored
  EXPECT_EQ(before, CurResFile());
  PMBundleCloseBundleResourceMap(a, ref);
  EXPECT_EQ(0, tarvell::printing::OpenResourceMapCount());
  PMBundleRelease(a);
}

}  // namespace
