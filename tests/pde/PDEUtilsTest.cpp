// Key set construction on small PPDs written for the case at hand.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/pde/PanelFixture.h"

using namespace tarvell::testing;

namespace {

// ISO Latin 1 bytes, as PPDs without a LanguageEncoding line are written.
const char kSynthetic[] =
    "*PPD-Adobe: \"4.3\"\n"
    "*FormatVersion: \"4.3\"\n"
    "*FileVersion: \"1.0\"\n"
    "*LanguageVersion: German\n"
    "*PCFileName: \"SYNTH.PPD\"\n"
    "*Manufacturer: \"Test\"\n"
    "*Product: \"(Synth)\"\n"
    "*ModelName: \"Synth\"\n"
    "*NickName: \"Synth\"\n"
    "*OpenUI *StapleLocation/Staple: PickOne\n"
    "*DefaultStapleLocation: TopLeft\n"
    "*StapleLocation None/No Stapling: \"\"\n"
    "*StapleLocation TopLeft/Top Left: \"\"\n"
    "*StapleLocation Dual/-2 staples: \"\"\n"
    "*CloseUI: *StapleLocation\n"
    "*OpenUI *Booklet/Booklet: Boolean\n"
    "*DefaultBooklet: True\n"
    "*Booklet False/Off: \"\"\n"
    "*Booklet True/On: \"\"\n"
    "*CloseUI: *Booklet\n"
    "*OpenUI *ARBooklet/Brosch\xFCre: Boolean\n"
    "*DefaultARBooklet: False\n"
    "*ARBooklet False/Aus: \"\"\n"
    "*ARBooklet True/Ein: \"\"\n"
    "*CloseUI: *ARBooklet\n"
    "*OpenUI *Jog/Versatz: PickOne\n"
    "*DefaultJog: None\n"
    "*Jog None/Kein Versatz: \"\"\n"
    "*CloseUI: *Jog\n"
    "*OpenUI *Fold/Fold: PickOne\n"
    "*Fold None/No Fold: \"\"\n"
    "*CloseUI: *Fold\n";

class KeySet : public ::testing::Test {
 protected:
  void SetUp() override { ppd_ = dir_.Write("synthetic.ppd", kSynthetic); }
  TempDir dir_;
  std::string ppd_;
};

TEST_F(KeySet, DefaultsFollowThePPD) {
  CustomBundle bundle({"StapleLocation", "Booklet", "ARBooklet"});
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.Show());
  auto staple = d.Control("StapleLocation");
  EXPECT_TRUE(staple.popup);
  EXPECT_EQ(2, staple.value);  // three choices, the second the default
  ASSERT_EQ(3u, staple.items.size());
  EXPECT_EQ(1, d.Control("Booklet").value);    // False/True with default True: checked
  EXPECT_EQ(0, d.Control("ARBooklet").value);  // default False: unchecked
  std::map<std::string, std::string> expected{
      {"ARBooklet", "False"}, {"Booklet", "True"}, {"StapleLocation", "TopLeft"}};
  EXPECT_EQ(expected, d.panel->Settings());
}

TEST_F(KeySet, AChoiceTextStartingWithAMinusGetsASpace) {
  CustomBundle bundle({"StapleLocation"});
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.Show());
  auto staple = d.Control("StapleLocation");
  EXPECT_EQ("Off", staple.items[0].text);       // the bundle's text for "None"
  EXPECT_EQ("Top Left", staple.items[1].text);  // the PPD's own text
  EXPECT_EQ(" -2 staples", staple.items[2].text);
}

TEST_F(KeySet, APickOneWithASingleChoiceGetsNoControl) {
  CustomBundle bundle({"Jog", "Booklet"});
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.Show());
  auto controls = d.panel->Controls();
  ASSERT_EQ(1u, controls.size());
  EXPECT_EQ("Booklet", controls[0].keyword);
  EXPECT_EQ(6020, GetControlReference(controls[0].control));  // the key set still holds Jog at 0
  EXPECT_EQ(0u, d.panel->Settings().count("Jog"));
}

TEST_F(KeySet, TheConstraintTestLeavesAnUnmarkedOptionUnmarked) {
  CustomBundle bundle({"Fold", "Booklet"});  // Fold has no default and, with one choice, no control
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ(nullptr, ppdFindMarkedChoice(d.ppd, "Fold"));
  ppd_choice_t* booklet = ppdFindMarkedChoice(d.ppd, "Booklet");
  ASSERT_NE(nullptr, booklet);
  EXPECT_STREQ("True", booklet->choice);
}

TEST_F(KeySet, TextsOfAPPDWithoutLanguageEncodingAreNotConvertedTwice) {
  CustomBundle bundle({"ARBooklet"});
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ("Brosch\u00FCre", d.Control("ARBooklet").title);
}

TEST_F(KeySet, AListWithNoOptionOfThisPPDShowsNoPanel) {
  CustomBundle bundle({"RIPunch", "OCStaple"});
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ(kPMInvalidPDEContext, d.panel->Initialize());
  EXPECT_EQ(0, CountSubControls(d.panel->pane()));
}

TEST_F(KeySet, ABundleWithoutTheListMakesNoControls) {
  CustomBundle bundle({});
  // Drop the key itself: rewrite the dictionary without it.
  std::string plist = bundle.path() + "/Contents/Info.plist";
  std::string cmd = "sed -i 's|<key>PMPPDKeysSupported</key><array></array>||; s|<key>PMPPDKeysSupported</key>||' '" +
                    plist + "' && sed -i 's|^\\t<array></array>||' '" + plist + "'";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  Dialog d(ppd_, bundle.path());
  ASSERT_EQ(noErr, d.panel->Prologue());
  EXPECT_EQ(noErr, d.panel->Initialize());
  EXPECT_EQ(0, CountSubControls(d.panel->pane()));
}

}  // namespace
