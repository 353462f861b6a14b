// print-dialog on the queues of a private CUPS scheduler: listing and opening them, the user's
// saved defaults, saving, printing, conflicts and the errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/pde/CupsServer.h"
#include "tests/pde/PanelFixture.h"

using tarvell::testing::CupsServer;
using tarvell::testing::DataPath;
using tarvell::testing::ProgramRun;

namespace {

const auto npos = std::string::npos;

class CupsDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new CupsServer;
    if (!server->running()) return;
    for (const char* q : {"oce", "conflict"}) server->AddQueue(q, DataPath("oce-op3073.ppd"));
    server->AddQueue("epson", DataPath("epson-eplp960s.ppd"));
    server->AddQueue("raw");
    server->Run({"/usr/sbin/lpadmin", "-d", "oce"});
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->running()) << tarvell::testing::ReadFile(server->dir() / "log/error_log");
  }
  static ProgramRun Dialog(std::vector<std::string> args, CupsServer* on = server) {
    args.insert(args.begin(), PRINT_DIALOG);
    return on->Run(args);
  }
  static std::string Lpoptions(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/lpoptions");
    return server->Run(args).out;
  }
  static CupsServer* server;
};

CupsServer* CupsDialog::server = nullptr;

TEST_F(CupsDialog, ListsTheQueuesWithAPPDAndOpensThemAsTheirPPDFiles) {
  ProgramRun list = Dialog({"--list"});
  ASSERT_EQ(0, list.status) << list.err;
  EXPECT_NE(npos, list.out.find("* oce                      Oce PPC for 3073 PS3\n")) << list.out;
  EXPECT_NE(npos, list.out.find("  epson ")) << list.out;
  EXPECT_EQ(npos, list.out.find("raw")) << list.out;
  for (const char* q : {"oce", "epson"}) {
    ProgramRun queue = Dialog({"--printer", q, "--json"});
    ProgramRun file = Dialog({"--ppd", DataPath(q == std::string("oce") ? "oce-op3073.ppd" : "epson-eplp960s.ppd"),
                              "--json"});
    EXPECT_EQ(0, queue.status) << queue.err;
    EXPECT_EQ(file.out, queue.out);
  }
  EXPECT_TRUE(std::filesystem::is_empty(server->dir() / "tmp"));  // the fetched PPDs are gone
}

TEST_F(CupsDialog, OpensWithTheSavedDefaultsAndSavesOnlyThePanelsOptions) {
  Lpoptions({"-p", "epson", "-o", "Jog=EndOfJob", "-o", "Collate=True", "-o", "media=A4"});
  ProgramRun shown = Dialog({"--printer", "epson"});
  EXPECT_NE(npos, shown.out.find("Collate: checkbox [x]")) << shown.out;
  EXPECT_NE(npos, shown.out.find("    * 2 EndOfJob ")) << shown.out;

  ProgramRun saved = Dialog({"--printer", "epson", "--set", "Jog=None", "--set", "Collate=False", "--save"});
  ASSERT_EQ(0, saved.status) << saved.err;
  std::string options = Lpoptions({"-p", "epson"});
  for (const char* o : {" Jog=None", " Collate=False", " media=A4", " StapleLocation=None"})
    EXPECT_NE(npos, options.find(o)) << o << " in " << options;
}

TEST_F(CupsDialog, PrintsAJobThatCarriesTheChosenOptions) {
  std::string page = server->dir().Write("page.txt", "A page\n");
  ProgramRun r = Dialog({"--printer", "oce", "--set", "StapleWhen=None", "--set", "OutputBin=UpperBin", "--set",
                         "Jog=EndOfSet", "--print", page, "--title", "Finishing test", "--copies", "2"});
  ASSERT_EQ(0, r.status) << r.err;
  size_t at = r.out.find("request id is oce-");
  ASSERT_NE(npos, at) << r.out;
  std::map<std::string, std::string> job = server->JobAttributes(std::stoi(r.out.substr(at + 18)));
  EXPECT_EQ("UpperBin", job["OutputBin"]);
  EXPECT_EQ("None", job["StapleWhen"]);
  EXPECT_EQ("EndOfSet", job["Jog"]);
  EXPECT_EQ("true", job["Collate"]);  // a boolean in IPP
  EXPECT_EQ("2", job["copies"]);
  EXPECT_EQ("Finishing test", job["job-name"]);
}

TEST_F(CupsDialog, RefusesAConflictingPresetAndNothingLeaves) {
  Lpoptions({"-p", "conflict", "-o", "OutputBin=UpperBin", "-o", "StapleWhen=EndOfSet"});
  std::string before = Lpoptions({"-p", "conflict"});
  std::string page = server->dir().Write("page.txt", "A page\n");
  for (std::vector<std::string> action : {std::vector<std::string>{"--print", page}, {"--save", "--set", "Jog=EndOfSet"}}) {
    action.insert(action.begin(), {"--printer", "conflict"});
    ProgramRun r = Dialog(action);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("print-dialog: the settings conflict (OutputBin=UpperBin conflicts with StapleWhen=EndOfSet); "
              "nothing saved or printed\n", r.err);
  }
  EXPECT_TRUE(server->Jobs("conflict").empty());
  EXPECT_EQ(before, Lpoptions({"-p", "conflict"}));
}

TEST_F(CupsDialog, ClearErrorsAreOneLineAndLeaveNothing) {
  std::string at = " on the CUPS server at " + server->socket() + "\n";
  std::string missing = server->dir() / "missing.txt";
  CupsServer stopped;
  stopped.Stop();
  std::string down = "print-dialog: cannot reach the CUPS server at " + stopped.socket() + ": ";
  struct Case {
    std::vector<std::string> args;
    std::string error;
    CupsServer* on;
  } cases[] = {
      {{"--printer", "nope"}, "print-dialog: unknown printer nope" + at, server},
      {{"--printer", "raw"}, "print-dialog: printer raw has no PPD (a raw or driverless queue)\n", server},
      {{"--printer", "oce", "--print", missing}, "print-dialog: cannot read " + missing + ": No such file or directory\n", server},
      {{"--printer", "oce", "--print", server->dir().path()}, "print-dialog: cannot read " + server->dir().path() + ": not a regular file\n", server},
      {{"--list"}, down, &stopped},
      {{"--printer", "oce", "--save"}, down, &stopped},
  };
  size_t jobs = server->Jobs("oce").size();
  for (const Case& c : cases) {
    ProgramRun r = Dialog(c.args, c.on);
    EXPECT_EQ(2, r.status) << c.args[1];
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find(c.error)) << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
  }
  EXPECT_EQ(jobs, server->Jobs("oce").size());
}

}  // namespace
