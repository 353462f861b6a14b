// Why the panel greys a choice: the blockers the PPD's constraints give, for an option of the job
// and for installable hardware, gone with the greying, and the PPD's marks left as they were.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <gtest/gtest.h>

#include <map>

#include "tests/pde/PanelFixture.h"

using namespace tarvell::testing;
using Names = std::vector<std::string>;

namespace {

Names Named(const tarvell::dialog::PanelItem& item) {
  Names out;
  for (const auto& b : item.blockedBy)
    out.push_back(b.option + "=" + b.choice + " " + b.optionText + ": " + b.choiceText +
                  (b.installable ? " [hw]" : ""));
  return out;
}

std::map<std::string, std::string> Marks(ppd_file_t* ppd) {
  std::map<std::string, std::string> marks;
  for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd))
    if (ppd_choice_t* c = ppdFindMarkedChoice(ppd, o->keyword)) marks[o->keyword] = c->choice;
  return marks;
}

TEST(Reasons, AnOptionOfTheJobBlocksUntilItChangesAndTheMarksStay) {
  Dialog d(DataPath("oce-op3073.ppd"));
  ASSERT_EQ(noErr, d.Show());
  std::string error;
  ASSERT_TRUE(d.panel->Choose("StapleWhen", "EndOfSet", &error)) << error;
  tarvell::dialog::PanelItem upper = d.Item("OutputBin", "UpperBin");
  EXPECT_FALSE(upper.enabled);
  EXPECT_EQ(Names{"StapleWhen=EndOfSet Staple: Staple Portrait"}, Named(upper));
  EXPECT_EQ("Not available with Staple: Staple Portrait (StapleWhen=EndOfSet).", upper.reason);
  std::map<std::string, std::string> marks = Marks(d.ppd);
  EXPECT_EQ("EndOfSet", marks["StapleWhen"]);
  d.panel->Sync(true);  // every item's state and reason worked out again
  EXPECT_EQ(marks, Marks(d.ppd));

  ASSERT_TRUE(d.panel->Choose("StapleWhen", "None", &error)) << error;
  upper = d.Item("OutputBin", "UpperBin");
  EXPECT_TRUE(upper.enabled);
  EXPECT_EQ("", upper.reason);
  EXPECT_EQ(Names{}, Named(upper));
}

TEST(Reasons, InstallableHardwareIsToldApartFromOptionsOfTheJob) {
  Dialog d(DataPath("sharp-mx6240n.ppd"));
  ASSERT_EQ(noErr, d.Show());
  EXPECT_EQ(Names{"Option1=NotInstalled Output Tray Options: Not Installed [hw]"},
            Named(d.Item("OutputBin", "Output2")));
  EXPECT_EQ(
      (Names{"Option9=NotInstalled Punch Module: Not Installed [hw]", "OutputBin=Output0 Output Bin: Output Tray"}),
      Named(d.Item("ARPunch", "Punch2")));
  EXPECT_EQ("Not available with Output Bin: Output Tray (OutputBin=Output0).", d.Item("ARStaple", "Staple1").reason);
}

TEST(Reasons, ConstraintsOnAnyChoiceAndOnSeveralOptions) {
  TempDir dir;
  std::string ppd = ReadFile(DataPath("pxlmono.ppd")) +
                    "*OpenUI *OutputBin/Output Bin: PickOne\n*DefaultOutputBin: Upper\n*OutputBin Upper/Upper: \"\"\n"
                    "*OutputBin Lower/Lower: \"\"\n*OutputBin Side/Side: \"\"\n*CloseUI: *OutputBin\n"
                    "*OpenUI *Media/Paper: PickOne\n*DefaultMedia: Labels\n*Media Plain/Plain: \"\"\n"
                    "*Media Labels/Labels\xC7\xD1: \"\"\n*CloseUI: *Media\n"
                    "*UIConstraints: *Duplex *OutputBin Lower\n"
                    "*cupsUIConstraints side: \"*OutputBin Side *Duplex DuplexNoTumble *Media Labels\"\n"
                    "*cupsUIConstraints upper: \"*OutputBin Upper *Duplex DuplexNoTumble *Media Plain\"\n";
  // Texts libcups leaves unconverted (bytes that are no UTF-8) are read as ISO Latin 1.
  ppd.replace(ppd.find("*LanguageEncoding: ISOLatin1"), 28, "*LanguageEncoding: None");
  Dialog d(dir.Write("job.ppd", ppd));
  ASSERT_EQ(noErr, d.Show());
  ppdMarkOption(d.ppd, "Duplex", "DuplexNoTumble");
  d.panel->Sync(true);
  EXPECT_EQ(Names{"Duplex=DuplexNoTumble Double-Sided Printing: Long Edge (Standard)"},
            Named(d.Item("OutputBin", "Lower")));
  EXPECT_EQ((Names{"Duplex=DuplexNoTumble Double-Sided Printing: Long Edge (Standard)",
                   "Media=Labels Paper: Labels\u00c7\u00d1"}),
            Named(d.Item("OutputBin", "Side")));
  EXPECT_TRUE(d.Item("OutputBin", "Upper").enabled);
}

}  // namespace
