#include "platform/printing/PlugIn.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

const char kType[] = "AAAAAAAA-0000-0000-0000-000000000001";
const char kFactory[] = "11111111-2222-3333-4444-555555555555";

struct UUID {
  explicit UUID(const char* t) : ref(PMUUIDCreateFromString(nullptr, t)) {}
  ~UUID() { PMRelease(ref); }
  PMUUIDRef ref;
};

class PlugIn : public ::testing::Test {
 protected:
  void Make(const std::string& executable, const std::string& function) {
    char tmpl[] = "/tmp/pm-plugin-XXXXXX";
    root_ = mkdtemp(tmpl);
    std::string contents = root_ + "/T.plugin/Contents";
    ASSERT_EQ(0,
              std::system(("mkdir -p '" + contents + "' && ln -s '" TEST_PLUGIN "' '" + contents + "/t.so'").c_str()));
    std::ofstream(contents + "/Info.plist")
        << "<plist><dict><key>CFBundleIdentifier</key><string>org.test.t</string>"
        << "<key>CFBundleExecutable</key><string>" << executable << "</string>"
        << "<key>CFPlugInFactories</key><dict><key>" << kFactory << "</key><string>" << function
        << "</string></dict><key>CFPlugInTypes</key><dict><key>" << kType << "</key><array><string>" << kFactory
        << "</string><string>99999999-2222-3333-4444-555555555555</string></array></dict></dict></plist>";
    bundle_ = PMBundleCreate((root_ + "/T.plugin").c_str());
    ASSERT_NE(nullptr, bundle_);
  }
  void TearDown() override {
    PMBundleRelease(bundle_);
    if (!root_.empty()) {
      EXPECT_EQ(0, std::system(("rm -rf '" + root_ + "'").c_str()));
    }
  }
  std::string root_;
  PMBundleRef bundle_ = nullptr;
};

TEST_F(PlugIn, FindsDeclaredFactoriesAndMakesInstancesThatRegisterThemselves) {
  Make("t.so", "TestFactory");
  UUID type(kType), factory(kFactory);
  PMArrayRef found = PMPlugInFindFactoriesForPlugInType(type.ref);
  ASSERT_EQ(1, PMArrayGetCount(found));  // the undeclared second factory is left out
  EXPECT_EQ(kFactory, PMUUIDToString(static_cast<PMUUIDRef>(PMArrayGetValueAtIndex(found, 0))));
  PMRelease(found);
  EXPECT_EQ(bundle_, PMPlugInGetBundleForFactory(factory.ref));

  std::string error;
  auto instance = static_cast<IUnknownVTbl**>(PMPlugInInstanceCreate(nullptr, factory.ref, type.ref, &error));
  ASSERT_NE(nullptr, instance) << error;
  EXPECT_EQ(1, PMPlugInInstanceCountForFactory(factory.ref));
  EXPECT_EQ(0u, (*instance)->Release(instance));
  EXPECT_EQ(0, PMPlugInInstanceCountForFactory(factory.ref));
  EXPECT_FALSE(PMPlugInRemoveInstanceForFactory(factory.ref));  // nothing left to remove
}

TEST_F(PlugIn, SaysWhyNoInstanceCouldBeMade) {
  Make("missing.so", "TestFactory");
  UUID type(kType), factory(kFactory), unknown("22222222-2222-3333-4444-555555555555");
  std::string error;
  EXPECT_EQ(nullptr, PMPlugInInstanceCreate(nullptr, unknown.ref, type.ref, &error));
  EXPECT_NE(std::string::npos, error.find("no bundle declares")) << error;
  EXPECT_EQ(nullptr, PMPlugInInstanceCreate(nullptr, factory.ref, type.ref, &error));
  EXPECT_NE(std::string::npos, error.find("cannot load")) << error;
}

TEST_F(PlugIn, RefusesAFactoryFunctionTheExecutableLacks) {
  Make("t.so", "NoSuchFactory");
  UUID type(kType), factory(kFactory);
  std::string error;
  EXPECT_EQ(nullptr, PMPlugInInstanceCreate(nullptr, factory.ref, type.ref, &error));
  EXPECT_NE(std::string::npos, error.find("no factory function NoSuchFactory")) << error;
}

TEST_F(PlugIn, RefusesAnExecutableNameWithAPath) {
  Make("../../../t.so", "TestFactory");
  UUID type(kType), factory(kFactory);
  std::string error;
  EXPECT_EQ(nullptr, PMPlugInInstanceCreate(nullptr, factory.ref, type.ref, &error));
  EXPECT_NE(std::string::npos, error.find("no valid CFBundleExecutable")) << error;
}

}  // namespace
