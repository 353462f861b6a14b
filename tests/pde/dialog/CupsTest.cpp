// print-dialog on the queues of a private CUPS scheduler: listing and opening them, the saved
// defaults, saving, printing, conflicts and the errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/pde/CupsServer.h"
#include "tests/pde/PanelFixture.h"

using namespace tarvell::testing;

namespace {

class CupsDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new CupsServer;
    for (const char* q : {"oce", "conflict", "epson", "raw"}) {
      std::vector<std::string> add = {"/usr/sbin/lpadmin", "-p", q, "-E", "-v", "file:///dev/null"};
      if (q[0] != 'r') add.insert(add.end(), {"-P", DataPath(q[0] == 'e' ? "epson-eplp960s.ppd" : "oce-op3073.ppd")});
      server->Run(add);
    }
    server->Run({"/usr/sbin/lpadmin", "-d", "oce"});
  }
  static void TearDownTestSuite() { delete server; }
  void SetUp() override { ASSERT_TRUE(server->running()) << ReadFile(server->dir() / "log/error_log"); }
  static ProgramRun Dialog(std::vector<std::string> args, CupsServer* on = server) {
    args.insert(args.begin(), PRINT_DIALOG);
    return on->Run(args);
  }
  static std::string Lp(std::vector<std::string> args) { return server->Run(args).out; }
  static CupsServer* server;
};

CupsServer* CupsDialog::server = nullptr;
const auto npos = std::string::npos;

TEST_F(CupsDialog, ListsTheQueuesWithAPPDAndOpensThemAsTheirPPDFiles) {
  ProgramRun list = Dialog({"--list"});
  EXPECT_EQ(
      "  conflict                 Oce PPC for 3073 PS3\n  epson                    EPSON LP-9600SPD v3010.106\n"
      "* oce                      Oce PPC for 3073 PS3\n",
      list.out)
      << list.err;
  for (const char* q : {"oce", "epson"})
    EXPECT_EQ(Dialog({"--ppd", DataPath(q[0] == 'e' ? "epson-eplp960s.ppd" : "oce-op3073.ppd"), "--json"}).out,
              Dialog({"--printer", q, "--json"}).out);
  EXPECT_TRUE(std::filesystem::is_empty(server->dir() / "tmp"));  // the fetched PPDs are gone
}

TEST_F(CupsDialog, OpensWithTheSavedDefaultsAndSavesOnlyThePanelsOptions) {
  Lp({"lpoptions", "-p", "epson", "-o", "Jog=EndOfJob", "-o", "Collate=True", "-o", "media=A4"});
  std::string shown = Dialog({"--printer", "epson"}).out;
  EXPECT_NE(npos, shown.find("Collate: checkbox [x]")) << shown;
  EXPECT_NE(npos, shown.find("    * 2 EndOfJob ")) << shown;

  ASSERT_EQ(0, Dialog({"--printer", "epson", "--set", "Jog=None", "--set", "Collate=False", "--save"}).status);
  std::string saved = Lp({"lpoptions", "-p", "epson"});
  for (const char* o : {" Jog=None", " Collate=False", " media=A4", " StapleLocation=None"})
    EXPECT_NE(npos, saved.find(o)) << o << " in " << saved;
}

TEST_F(CupsDialog, PrintsAJobThatCarriesTheChosenOptions) {
  ProgramRun r = Dialog({"--printer", "oce", "--set", "OutputBin=UpperBin", "--set", "Jog=EndOfSet", "--print",
                         server->dir().Write("page.txt", "A page\n"), "--title", "Finishing test", "--copies", "2"});
  size_t at = r.out.find("request id is oce-");
  ASSERT_NE(npos, at) << r.out << r.err;
  std::map<std::string, std::string> job = server->JobAttributes(std::stoi(r.out.substr(at + 18)));
  std::map<std::string, std::string> want = {{"OutputBin", "UpperBin"}, {"StapleWhen", "None"},
                                             {"Jog", "EndOfSet"},       {"Collate", "true"},
                                             {"copies", "2"},           {"job-name", "Finishing test"}};
  for (const auto& kv : want) EXPECT_EQ(kv.second, job[kv.first]) << kv.first;
}

TEST_F(CupsDialog, HardwareTheQueueReportsMissingIsNamedUntilTheAdministratorAddsIt) {
  server->Run({"/usr/sbin/lpadmin", "-p", "mfp", "-E", "-v", "file:///dev/null", "-P", DataPath("sharp-mx6240n.ppd")});
  std::string shown = Dialog({"--printer", "mfp"}).out;
  EXPECT_NE(npos, shown.find("(Option1=NotInstalled)")) << shown;
  EXPECT_NE(npos, shown.find("“Set Default Options” in the CUPS web interface: lpadmin -p mfp -o Option2=…\n"))
      << shown;
  server->Run({"/usr/sbin/lpadmin", "-p", "mfp", "-o", "Option1=SSFinisher"});
  shown = Dialog({"--printer", "mfp"}).out;
  server->Run({"/usr/sbin/lpadmin", "-x", "mfp"});
  EXPECT_NE(npos, shown.find("\"Finisher Upper Tray\"\n")) << shown;  // enabled, no reason below
  EXPECT_EQ(npos, shown.find("(Option1=NotInstalled)")) << shown;
}

TEST_F(CupsDialog, RefusesAConflictingPresetAndNothingLeaves) {
  Lp({"lpoptions", "-p", "conflict", "-o", "OutputBin=UpperBin", "-o", "StapleWhen=EndOfSet"});
  std::string before = Lp({"lpoptions", "-p", "conflict"});
  std::string page = server->dir().Write("p.txt", "A page\n");
  for (std::vector<std::string> action : {std::vector<std::string>{"--print", page}, {"--save"}}) {
    action.insert(action.begin(), {"--printer", "conflict", "--set", "Jog=EndOfSet"});
    ProgramRun r = Dialog(action);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(
        "print-dialog: the settings conflict (OutputBin=UpperBin (Output Bin: Upper Output Bin) conflicts with "
        "StapleWhen=EndOfSet (Staple: Staple Portrait)); nothing saved or printed\n",
        r.err);
  }
  EXPECT_EQ("", Lp({"lpstat", "-W", "all", "-o", "conflict"}));
  EXPECT_EQ(before, Lp({"lpoptions", "-p", "conflict"}));
}

TEST_F(CupsDialog, ClearErrorsAreOneLineAndLeaveNothing) {
  std::string missing = server->dir() / "missing.txt", folder = server->dir().path();
  CupsServer stopped;
  stopped.Stop();
  std::string down = "print-dialog: cannot reach the CUPS server at " + stopped.socket() + ": ";
  const struct {
    std::vector<std::string> args;
    std::string error;
    CupsServer* on;
  } cases[] = {
      {{"--printer", "nope"}, "print-dialog: unknown printer nope on the CUPS server at " + server->socket(), server},
      {{"--printer", "raw"}, "print-dialog: printer raw has no PPD (a raw or driverless queue)", server},
      {{"--printer", "oce", "--print", missing}, "print-dialog: cannot read " + missing + ": No such file", server},
      {{"--printer", "oce", "--print", folder}, "print-dialog: cannot read " + folder + ": not a regular file", server},
      {{"--list"}, down, &stopped},
      {{"--printer", "oce", "--save"}, down, &stopped},
  };
  std::string jobs = Lp({"lpstat", "-W", "all", "-o", "oce"});
  for (const auto& c : cases) {
    ProgramRun r = Dialog(c.args, c.on);
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find(c.error)) << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
  }
  EXPECT_EQ(jobs, Lp({"lpstat", "-W", "all", "-o", "oce"}));
}

}  // namespace
