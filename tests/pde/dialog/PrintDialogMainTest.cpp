// The print-dialog program from end to end on a real PPD with stapling.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/pde/PanelFixture.h"
#include "tests/support/Program.h"

using tarvell::testing::DataPath;

namespace {

struct Result {
  int status;
  std::string out;  // standard output, then standard error
};

Result PrintDialog(const std::string& args) {
  std::vector<std::string> argv = {PRINT_DIALOG};
  std::istringstream words(args);
  for (std::string w; words >> w;) argv.push_back(w);
  tarvell::testing::ProgramRun run = tarvell::testing::RunProgram(argv);
  return {run.status, run.out + run.err};
}

TEST(PrintDialog, ShowsThePanelSummaryAndLpOptions) {
  Result r = PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --set StapleWhen=EndOfSet --set Collate=False");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Panel \"Finishing\"")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("StapleWhen: pop-up \"Staple\", value 1")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("3 UpperBin                 \"Upper Output Bin\"  (disabled)")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  Staple: Staple Portrait\n")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("-o Collate=False -o Jog=None -o OutputBin=PrintersDefault -o StapleWhen=EndOfSet"))
      << r.out;
}

TEST(PrintDialog, JsonCarriesControlsItemsSummaryAndSettings) {
  Result r = PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --json --set Jog=EndOfSet");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ(0u, r.out.find("{\"controls\": [{\"keyword\": \"Collate\", \"kind\": \"checkbox\", \"value\": 1}, "
                           "{\"keyword\": \"OutputBin\", \"kind\": \"popup\", \"value\": 1, \"items\": "
                           "[{\"choice\": \"PrintersDefault\", \"text\": \"Printer's Default\", \"enabled\": true}"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("{\"title\": \"Offset\", \"text\": \"Enabled\"}")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"settings\": {\"Collate\": \"True\", \"Jog\": \"EndOfSet\", "
                                          "\"OutputBin\": \"PrintersDefault\", \"StapleWhen\": \"None\"}}"))
      << r.out;
}

TEST(PrintDialog, RefusesDisabledChoicesUnknownOptionsAndUnreadablePPDs) {
  Result disabled =
      PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --set StapleWhen=EndOfSet --set OutputBin=UpperBin");
  EXPECT_NE(0, disabled.status);
  EXPECT_NE(std::string::npos, disabled.out.find("choice UpperBin of OutputBin is disabled")) << disabled.out;

  Result unknown = PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --set Stapling=On");
  EXPECT_NE(0, unknown.status);
  EXPECT_NE(std::string::npos, unknown.out.find("the PPD has no option Stapling")) << unknown.out;

  Result badChoice = PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --set StapleWhen=Twice");
  EXPECT_NE(0, badChoice.status);
  EXPECT_NE(std::string::npos, badChoice.out.find("has no choice Twice (choices: EndOfSet, None)")) << badChoice.out;

  Result missing = PrintDialog("--ppd " + DataPath("no-such.ppd"));
  EXPECT_NE(0, missing.status);
  EXPECT_NE(std::string::npos, missing.out.find("cannot read PPD")) << missing.out;

  Result garbage = PrintDialog("--ppd " + std::string(TARVELL_SOURCE_DIR) + "/tests/pde/data/README.md");
  EXPECT_NE(0, garbage.status);
  EXPECT_NE(std::string::npos, garbage.out.find("cannot read PPD")) << garbage.out;

  Result noBundle = PrintDialog("--ppd " + DataPath("oce-op3073.ppd") + " --bundle /nonexistent");
  EXPECT_NE(0, noBundle.status);
  EXPECT_NE(std::string::npos, noBundle.out.find("cannot load the plug-in bundle")) << noBundle.out;
}

TEST(PrintDialog, WrongInputsGetOneLineThatSaysWhatToDo) {
  const tarvell::testing::TempDir dir("print-dialog");
  const std::string ppd = DataPath("oce-op3073.ppd"), folder = dir.path(), help = "\nTry 'print-dialog --help'.";
  const std::pair<std::string, std::string> cases[] = {
      {"--ppd " + folder + "/none.ppd", "cannot read PPD " + folder + "/none.ppd: No such file or directory"},
      {"--ppd " + folder, "cannot read PPD " + folder + ": it is a folder; give the PPD file"},
      {"--ppd " + ppd + " --lang xx", "there are no texts in language 'xx': give --lang en (English), de (German)"},
      {"--ppd " + ppd + " --bundle " + folder,
       "cannot load the plug-in bundle: " + folder +
           "/Contents/Info.plist is missing: give --bundle the folder of a plug-in bundle (it holds "
           "Contents/Info.plist)"},
      {"--ppd " + ppd + " --frobnicate", "unknown option '--frobnicate'" + help},
      {"--ppd", "option '--ppd' needs a value" + help},
  };
  for (const auto& c : cases) {
    Result r = PrintDialog(c.first);
    EXPECT_EQ(2, r.status) << c.first;
    EXPECT_EQ("print-dialog: " + c.second + "\n", r.out);  // nothing on standard output
  }
}

TEST(PrintDialog, SaysWhyItemsAreDisabledInTextGermanRefusalsAndValidJson) {
  const std::string mfp = "--ppd " + DataPath("sharp-mx6240n.ppd");
  Result text = PrintDialog(mfp);
  EXPECT_NE(std::string::npos,
            text.out.find("\"Finisher Upper Tray\"  (disabled)\n        Not available with Output Tray "
                          "Options: Not Installed (Option1=NotInstalled), an installable option "
                          "(the printer's hardware).\n"))
      << text.out;
  EXPECT_NE(std::string::npos,
            text.out.find("\nNote: The printer reports as not installed: Right Tray: Not Installed "
                          "(Option2=False); Output Tray Options: Not Installed (Option1=NotInstalled)"))
      << text.out;
  EXPECT_NE(std::string::npos, text.out.find("for a PPD file they are changed in the file.\nSummary\n")) << text.out;
  Result german = PrintDialog(mfp + " --lang de");
  EXPECT_NE(std::string::npos, german.out.find("Nicht verfügbar mit Ausgabefach: Output Tray (OutputBin=Output0).\n"))
      << german.out;
  Result refused = PrintDialog(mfp + " --set ARStaple=Staple1");
  EXPECT_EQ(3, refused.status);
  EXPECT_NE(std::string::npos, refused.out.find("print-dialog: choice Staple1 of ARStaple is disabled: Not available "
                                                "with Output Bin: Output Tray (OutputBin=Output0).\n"))
      << refused.out;

  tarvell::testing::TempDir dir;
  for (const char* ppd : {"sharp-mx6240n.ppd", "oce-op3073.ppd", "epson-eplp960s.ppd", "pxlmono.ppd"}) {
    tarvell::testing::ProgramRun json = tarvell::testing::RunProgram({PRINT_DIALOG, "--ppd", DataPath(ppd), "--json"});
    tarvell::testing::ProgramRun check = tarvell::testing::RunProgram(
        {"/usr/bin/python3", "-c",  // Debian's, with python3-jsonschema
         "import json, sys, jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))",
         dir.Write("panel.json", json.out), std::string(TARVELL_SOURCE_DIR) + "/doc/print-dialog.schema.json"});
    EXPECT_EQ(0, check.status) << ppd << ": " << check.err;
  }
}

TEST(PrintDialog, APrinterWithoutFinishingShowsAnEmptyPanel) {
  Result r = PrintDialog("--ppd " + DataPath("pxlmono.ppd") + " --json");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ("{\"controls\": [], \"summary\": [], \"settings\": {}}\n", r.out);
}

}  // namespace
