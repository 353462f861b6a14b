// The panel's controls on real PPDs: layout, defaults, constraints, synchronisation, summary.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <gtest/gtest.h>

#include "platform/toolbox/Toolbox.h"
#include "tests/pde/PanelFixture.h"

using namespace tarvell::testing;
using Lines = std::vector<std::pair<std::string, std::string>>;

namespace {

Rect Bounds(ControlRef c) {
  Rect r{0, 0, 0, 0};
  GetControlBounds(c, &r);
  return r;
}

void ExpectRect(const Rect& r, int top, int left, int bottom, int right) {
  EXPECT_EQ(top, r.top);
  EXPECT_EQ(left, r.left);
  EXPECT_EQ(bottom, r.bottom);
  EXPECT_EQ(right, r.right);
}

// The static text embedded right after `control`.
ControlRef LabelOf(ControlRef pane, ControlRef control) {
  for (UInt16 i = 1; i < CountSubControls(pane); ++i)
    if (GetIndexedSubControl(pane, i) == control) return GetIndexedSubControl(pane, UInt16(i + 1));
  return nullptr;
}

TEST(Layout, CheckboxThenPopUpsStackAsTheTableSays) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  // Pane 0,0,300,400: first rectangle top 20, left 209, bottom 40, right 414.
  ExpectRect(Bounds(d.Control("Collate").control), 20, 209, 38, 414);    // first, a checkbox: 18 high
  ExpectRect(Bounds(d.Control("OutputBin").control), 54, 209, 74, 414);  // 4 below, then 12 lower
  ExpectRect(Bounds(d.Control("Jog").control), 86, 209, 106, 414);       // 12 below a pop-up
  ExpectRect(Bounds(d.Control("StapleWhen").control), 118, 209, 138, 414);
  ControlRef label = LabelOf(d.panel->pane(), d.Control("OutputBin").control);
  ASSERT_NE(nullptr, label);
  EXPECT_EQ(kControlKindStaticText, GetControlKind(label));
  ExpectRect(Bounds(label), 56, 209 - 205 - 28, 72, 205);
  ControlFontStyleRec style = GetControlFontStyle(label);
  EXPECT_EQ(kControlUseJustMask, style.flags);
  EXPECT_EQ(teFlushRight, style.just);
  PMStringRef text = nullptr;
  CopyControlTitleAsCFString(label, &text);
  EXPECT_STREQ("Output Bin:", PMStringGetCStringPtr(text));
  PMRelease(text);
  ExpectRect(Bounds(d.panel->pane()), 0, 0, 160, 400);  // 10 below the next rectangle's top
  ControlRef checkbox = d.Control("Collate").control;
  EXPECT_EQ(kControlCheckBoxProc, GetControlProcID(checkbox));
  EXPECT_EQ(6010, GetControlReference(checkbox));
  EXPECT_EQ(6021, GetMenuID(GetControlPopupMenu(d.Control("OutputBin").control)));
  EXPECT_EQ(1, GetControlMinimum(d.Control("OutputBin").control));
  EXPECT_EQ(4, GetControlMaximum(d.Control("OutputBin").control));
}

TEST(Layout, PopUpThenCheckboxesAndAKeywordListedTwice) {
  CustomBundle bundle({"OutputBin", "Collate", "NoSuchOption", "Collate"});
  Dialog d(DataPath("oce-op3073.ppd"), bundle.path());
  ASSERT_EQ(noErr, d.Show());
  std::vector<ControlRef> controls;
  for (const auto& c : d.panel->Controls()) controls.push_back(c.control);
  ASSERT_EQ(3u, controls.size());
  ExpectRect(Bounds(controls[0]), 32, 209, 52, 414);   // first, a pop-up: 12 lower
  ExpectRect(Bounds(controls[1]), 70, 209, 88, 414);   // 12 below, then 6 lower, 18 high
  ExpectRect(Bounds(controls[2]), 92, 209, 110, 414);  // 4 below a checkbox
  EXPECT_EQ(6020, GetControlReference(controls[1]));
  EXPECT_EQ(6030, GetControlReference(controls[2]));
  ExpectRect(Bounds(d.panel->pane()), 0, 0, 124, 400);
}

TEST(Defaults, ControlsStartAtThePPDDefaultsAndWriteThemOut) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ(1, d.Control("Collate").value);    // boolean False/True, default True: checked
  EXPECT_EQ(1, d.Control("OutputBin").value);  // first choice is the default
  EXPECT_EQ(2, d.Control("Jog").value);        // second choice is the default
  EXPECT_EQ(2, d.Control("StapleWhen").value);
  std::map<std::string, std::string> expected{
      {"Collate", "True"}, {"Jog", "None"}, {"OutputBin", "PrintersDefault"}, {"StapleWhen", "None"}};
  EXPECT_EQ(expected, d.panel->Settings());
}

TEST(Defaults, ABooleanListedTrueFirstIsCheckedOnlyForTrue) {
  Dialog d(DataPath("epson-eplp960s.ppd"));  // *Collate True/... before False/..., default False
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ(0, d.Control("Collate").value);
  EXPECT_EQ("False", d.panel->Settings()["Collate"]);
  ASSERT_TRUE(d.panel->Choose("Collate", "True", nullptr));
  EXPECT_EQ(1, d.Control("Collate").value);
  EXPECT_EQ("True", d.panel->Settings()["Collate"]);
  Lines lines;
  d.panel->GetSummary(&lines);
  EXPECT_EQ("On", lines[0].second);
}

TEST(Constraints, ChoosingStaplingDisablesConflictingBinsAndChoosingBackEnablesThem) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  EXPECT_TRUE(d.Enabled("OutputBin", "UpperBin"));
  EXPECT_FALSE(d.Enabled("OutputBin", "OEMFinisher"));  // the external finisher is not installed

  std::string error;
  ASSERT_TRUE(d.panel->Choose("StapleWhen", "EndOfSet", &error)) << error;
  EXPECT_FALSE(d.Enabled("OutputBin", "UpperBin"));
  EXPECT_TRUE(d.Enabled("OutputBin", "Finisher"));
  EXPECT_EQ("EndOfSet", d.panel->Settings()["StapleWhen"]);
  EXPECT_FALSE(d.panel->Choose("OutputBin", "UpperBin", &error));
  EXPECT_NE(std::string::npos, error.find("disabled")) << error;
  EXPECT_EQ("PrintersDefault", d.panel->Settings()["OutputBin"]);

  ASSERT_TRUE(d.panel->Choose("StapleWhen", "None", &error)) << error;
  EXPECT_TRUE(d.Enabled("OutputBin", "UpperBin"));
  ASSERT_TRUE(d.panel->Choose("OutputBin", "UpperBin", &error)) << error;
  EXPECT_FALSE(d.Enabled("StapleWhen", "EndOfSet"));
}

TEST(Constraints, ThePPDMarksFollowTheSettingsAfterEveryClick) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  ASSERT_TRUE(d.panel->Choose("OutputBin", "Finisher", nullptr));
  ASSERT_TRUE(d.panel->Choose("Jog", "EndOfSet", nullptr));
  for (const auto& kv : d.panel->Settings()) {
    ppd_choice_t* marked = ppdFindMarkedChoice(d.ppd, kv.first.c_str());
    ASSERT_NE(nullptr, marked) << kv.first;
    EXPECT_EQ(kv.second, marked->choice) << kv.first;
  }
  EXPECT_EQ(0, ppdConflicts(d.ppd));
}

TEST(Sync, SettingsThatMatchNoChoiceExactlyGiveTheDefault) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  d.panel->SetSetting("StapleWhen", "endofset");  // differs in letter case only
  d.panel->SetSetting("OutputBin", "NoSuchBin");
  d.panel->SetSetting("Jog", "EndOfSet");
  EXPECT_EQ(noErr, d.panel->Sync(true));
  EXPECT_EQ(2, d.Control("StapleWhen").value);
  EXPECT_EQ(1, d.Control("OutputBin").value);
  EXPECT_EQ(1, d.Control("Jog").value);
}

TEST(Sync, SettingsAlreadyInTheTicketSurviveInitialize) {
  Dialog d(DataPath("oce-op3073.ppd"));
  d.panel->SetSetting("StapleWhen", "EndOfSet");
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ(1, d.Control("StapleWhen").value);
  EXPECT_EQ("EndOfSet", d.panel->Settings()["StapleWhen"]);
  EXPECT_FALSE(d.Enabled("OutputBin", "UpperBin"));
}

TEST(Sync, AnInactiveControlIsNeitherWrittenNorSummarised) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  ControlRef jog = d.Control("Jog").control;
  DeactivateControl(jog);
  SetControlValue(jog, 1);
  EXPECT_EQ(noErr, d.panel->Sync(false));
  EXPECT_EQ("None", d.panel->Settings()["Jog"]);
  Lines lines;
  EXPECT_EQ(noErr, d.panel->GetSummary(&lines));
  Lines expected{{"Collate", "On"}, {"Output Bin", "Printer's Default"}, {"Staple", "Off"}};
  EXPECT_EQ(expected, lines);
  EXPECT_EQ(errControlInactive, ClickControl(jog, 1));
}

TEST(Summary, TitlesAndTextsFollowTheLanguage) {
  PMBundleSetPreferredLanguages({"de"});
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  ASSERT_TRUE(d.panel->Choose("Jog", "EndOfSet", nullptr));
  Lines lines;
  EXPECT_EQ(noErr, d.panel->GetSummary(&lines));
  Lines expected{{"Sortieren", "Ein"}, {"Ausgabefach", "Printer's Default"}, {"Versatz", "Enabled"}, {"Staple", "Aus"}};
  EXPECT_EQ(expected, lines);
  PMBundleSetPreferredLanguages({"en"});
}

TEST(ShiftJIS, JapaneseTextsComeOutReadable) {
  Dialog d(DataPath("epson-eplp960s.ppd"));
  ASSERT_EQ(noErr, d.Show());
  auto bin = d.Control("OutputBin");
  ASSERT_GE(bin.items.size(), 2u);
  EXPECT_EQ("FaceUp", bin.items[1].choice);
  EXPECT_EQ("\u30D5\u30A7\u30A4\u30B9\u30A2\u30C3\u30D7\u30C8\u30EC\u30A4", bin.items[1].text);  // フェイスアップトレイ
  EXPECT_EQ("\u30B9\u30C6\u30FC\u30D7\u30EB\u65B9\u5411", d.Control("BindEdge").title);  // ステープル方向
  EXPECT_FALSE(bin.items[1].enabled);  // the face-up tray is not installed
}

TEST(Failures, APopUpWithoutMenuKeepsTheLayoutAndStopsTheSummary) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.panel->Prologue());
  tarvell::testing::FailNext(tarvell::toolbox::Call::kCreateMenu, 1);  // OutputBin's menu
  ASSERT_EQ(noErr, d.panel->Initialize());
  tarvell::testing::FailNext(tarvell::toolbox::Call::kCreateMenu, 0);
  std::vector<ControlRef> popups;
  std::vector<ControlRef> all;
  for (UInt16 i = 1; i <= CountSubControls(d.panel->pane()); ++i) {
    ControlRef c = GetIndexedSubControl(d.panel->pane(), i);
    if (GetControlKind(c) == kControlKindPopupButton) popups.push_back(c);
  }
  // The pop-up without a menu is neither embedded nor shown; the next one sits where it would.
  ASSERT_EQ(2u, popups.size());
  ExpectRect(Bounds(popups[0]), 86, 209, 106, 414);
  Lines lines;
  EXPECT_EQ(menuItemNotFoundErr, d.panel->GetSummary(&lines));
  Lines expected{{"Collate", "On"}};
  EXPECT_EQ(expected, lines);
  EXPECT_EQ(noErr, d.panel->Sync(false));  // the pop-up without items is left out
  EXPECT_EQ(0u, d.panel->Settings().count("OutputBin"));
}

TEST(Failures, AHandlerThatCannotBeInstalledLeavesTheRestWithout) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.panel->Prologue());
  tarvell::testing::FailNext(tarvell::toolbox::Call::kInstallHandler, 2);  // on OutputBin
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(noErr, d.panel->Initialize());
  EXPECT_EQ("Trouble installing event handler!\n", ::testing::internal::GetCapturedStderr());
  tarvell::testing::FailNext(tarvell::toolbox::Call::kInstallHandler, 0);
  ASSERT_TRUE(d.panel->Choose("Collate", "False", nullptr));
  EXPECT_EQ("False", d.panel->Settings()["Collate"]);  // handled: written at once
  ASSERT_TRUE(d.panel->Choose("Jog", "EndOfSet", nullptr));
  EXPECT_EQ("None", d.panel->Settings()["Jog"]);  // no handler: written on the next sync
  EXPECT_EQ(noErr, d.panel->Sync(false));
  EXPECT_EQ("EndOfSet", d.panel->Settings()["Jog"]);
}

OSStatus DialogHandler(EventHandlerCallRef next, EventRef event, void* userData) {
  ++*static_cast<int*>(userData);
  return CallNextEventHandler(next, event);
}

TEST(Handler, PassesTheHitOnAndThenSyncs) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  int calls = 0;
  EventTypeSpec hit{kEventClassControl, kEventControlHit};
  ControlRef jog = d.Control("Jog").control;
  // Installed after the panel's handler, it runs first and passes the hit on to it.
  ASSERT_EQ(noErr, InstallEventHandler(GetControlEventTarget(jog), NewEventHandlerUPP(DialogHandler), 1, &hit, &calls,
                                       nullptr));
  EXPECT_EQ(eventNotHandledErr, ClickControl(jog, 1));
  EXPECT_EQ(1, calls);
  EXPECT_EQ("EndOfSet", d.panel->Settings()["Jog"]);
}

}  // namespace
