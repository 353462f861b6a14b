// print-dialog-gtk's window in-process under a private X server: the widgets mirror the toolbox
// pane, a click on them is the plug-in's click, and the plug-in's greyed-out items stay unchosen.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "pde/gtk/PrintWindow.h"
#include "tests/pde/CupsServer.h"
#include "tests/pde/PanelFixture.h"
#include "tests/pde/gtk/GtkTestDisplay.h"

// GTK's and its libraries' allocations made once per process and kept to the end, by name.
extern "C" const char* __lsan_default_options() { return "suppressions=" GTK_LSAN_SUPPRESSIONS; }

namespace tarvell::testing {
namespace {

using gtk::PrintWindow;

class PrintWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(StartGtk(&error)) << error;
    controls_ = toolbox::LiveControlCount();
  }
  void TearDown() override {
    window.reset();
    SpinGtk(50);
    EXPECT_EQ(controls_, toolbox::LiveControlCount()) << "the panel's controls outlived the window";
    std::string all;
    for (const std::string& m : GtkMessages()) all += m + "\n";
    EXPECT_EQ("", all) << "GTK logged messages";
  }
  void Open(const std::string& ppd) {
    std::string error;
    window = PrintWindow::Create({FINISHING_BUNDLE, ppd.empty() ? "" : DataPath(ppd), ""}, &error);
    ASSERT_TRUE(window) << error;
    gtk_window_present(window->window());
    SpinGtk(100);
  }
  GtkWidget* Widget(const std::string& name) {
    GtkWidget* w = window->Find(name);
    EXPECT_TRUE(w) << "no widget named " << name;
    return w;
  }
  // The rows the drop-down `keyword` lists when it is opened: text and whether it can be picked.
  std::vector<std::pair<std::string, bool>> OpenedRows(const std::string& keyword) {
    GtkWidget* popover = nullptr;
    for (GtkWidget* c = gtk_widget_get_first_child(Widget(keyword)); c; c = gtk_widget_get_next_sibling(c))
      if (GTK_IS_POPOVER(c)) popover = c;
    if (!popover) return {};
    gtk_popover_popup(GTK_POPOVER(popover));
    SpinGtk(200);
    std::vector<std::pair<std::string, bool>> rows;
    Labels(popover, &rows);
    gtk_popover_popdown(GTK_POPOVER(popover));
    SpinGtk(50);
    return rows;
  }
  static void Labels(GtkWidget* w, std::vector<std::pair<std::string, bool>>* out) {
    if (GTK_IS_LABEL(w)) out->emplace_back(gtk_label_get_text(GTK_LABEL(w)), gtk_widget_is_sensitive(w));
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) Labels(c, out);
  }

  std::unique_ptr<PrintWindow> window;
  long controls_ = 0;
};

TEST_F(PrintWindowTest, DrawsEveryControlOfThePaneInItsOrderAndLayout) {
  Open("oce-op3073.ppd");
  GtkWidget* collate = Widget("Collate");
  ASSERT_TRUE(GTK_IS_CHECK_BUTTON(collate));
  EXPECT_TRUE(gtk_check_button_get_active(GTK_CHECK_BUTTON(collate)));
  // Rows follow the pane from top to bottom; each pop-up has its right-aligned label left of it.
  GtkGrid* grid = GTK_GRID(gtk_widget_get_parent(collate));
  int lastRow = -1;
  for (const char* keyword : {"Collate", "OutputBin", "Jog", "StapleWhen"}) {
    int column, row, width, height;
    gtk_grid_query_child(grid, Widget(keyword), &column, &row, &width, &height);
    EXPECT_GT(row, lastRow) << keyword;
    lastRow = row;
    if (std::string(keyword) == "Collate") continue;
    ASSERT_TRUE(GTK_IS_DROP_DOWN(Widget(keyword)));
    GtkWidget* label = Widget(std::string(keyword) + "-label");
    int labelColumn, labelRow;
    gtk_grid_query_child(grid, label, &labelColumn, &labelRow, &width, &height);
    EXPECT_EQ(row, labelRow) << keyword;
    EXPECT_LT(labelColumn, column) << keyword;
    EXPECT_EQ(1.0f, gtk_label_get_xalign(GTK_LABEL(label))) << keyword;
  }
  EXPECT_STREQ("Output Bin:", gtk_label_get_text(GTK_LABEL(Widget("OutputBin-label"))));
  EXPECT_EQ("Collate: On\nOutput Bin: Printer's Default\nOffset: Off\nStaple: Off", window->Summary());
  // The PPD's own constraint already excludes the external finisher.
  std::vector<std::pair<std::string, bool>> rows = OpenedRows("OutputBin");
  EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), std::make_pair(std::string("Finisher"), true)));
  EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), std::make_pair(std::string("External Finisher"), false)));

  TempDir dir;
  std::string error;
  ASSERT_TRUE(window->SavePng(dir / "window.png", &error)) << error;
  EXPECT_EQ(0u, ReadFile(dir / "window.png").find("\x89PNG"));
}

TEST_F(PrintWindowTest, ClicksAreThePluginsAndItsGreyedItemsCannotBeChosen) {
  Open("oce-op3073.ppd");
  gtk_check_button_set_active(GTK_CHECK_BUTTON(Widget("Collate")), FALSE);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(Widget("StapleWhen")), 0);  // EndOfSet
  SpinGtk();
  // Stapling disables the upper bin at once.
  std::vector<std::pair<std::string, bool>> rows = OpenedRows("OutputBin");
  EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), std::make_pair(std::string("Upper Output Bin"), false)));
  EXPECT_NE(rows.end(), std::find(rows.begin(), rows.end(), std::make_pair(std::string("Finisher"), true)));
  // Picking it anyway is refused by the toolbox and the drop-down goes back.
  GtkDropDown* bin = GTK_DROP_DOWN(Widget("OutputBin"));
  gtk_drop_down_set_selected(bin, 2);
  SpinGtk();
  EXPECT_EQ(0u, gtk_drop_down_get_selected(bin));
  EXPECT_NE(std::string::npos, window->Status().find("“Upper Output Bin” cannot be chosen")) << window->Status();
  EXPECT_NE(std::string::npos, window->Summary().find("Staple: Staple Portrait")) << window->Summary();

  std::map<std::string, std::string> settings = window->Settings();
  EXPECT_EQ("False", settings["Collate"]);
  EXPECT_EQ("EndOfSet", settings["StapleWhen"]);
  EXPECT_EQ("PrintersDefault", settings["OutputBin"]);
  // The same clicks through print-dialog's --set.
  ProgramRun cli = RunProgram({PRINT_DIALOG, "--ppd", DataPath("oce-op3073.ppd"), "--set", "Collate=False", "--set",
                               "StapleWhen=EndOfSet"});
  ASSERT_EQ(0, cli.status) << cli.err;
  std::string options;
  for (const auto& kv : settings) options += " -o " + kv.first + "=" + kv.second;
  EXPECT_NE(std::string::npos, cli.out.find("Settings\n " + options + "\n")) << cli.out;
}

TEST_F(PrintWindowTest, WithoutAServerOrFinishingOptionsTheWindowSaysSo) {
  Open("pxlmono.ppd");
  EXPECT_TRUE(GTK_IS_LABEL(gtk_frame_get_child(GTK_FRAME(Widget("panel")))));
  EXPECT_EQ("No finishing options.", window->Summary());
  EXPECT_TRUE(window->Settings().empty());
  GtkDropDown* printers = GTK_DROP_DOWN(Widget("printer"));
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(printers)));
  std::string shown = gtk_string_object_get_string(GTK_STRING_OBJECT(gtk_drop_down_get_selected_item(printers)));
  EXPECT_EQ(0u, shown.find("No printer: cannot reach the CUPS server")) << shown;
  EXPECT_FALSE(window->PrintFile(DataPath("pxlmono.ppd")));
  EXPECT_EQ(0u, window->Status().find("Not printed: cannot reach the CUPS server")) << window->Status();
}

TEST_F(PrintWindowTest, PrintsAndSavesOnTheChosenQueueAndRefusesConflicts) {
  CupsServer server;
  ASSERT_TRUE(server.running()) << ReadFile(server.dir() / "log/error_log");
  for (const char* q : {"oce", "conflict"}) server.AddQueue(q, DataPath("oce-op3073.ppd"));
  server.Run({"/usr/sbin/lpadmin", "-d", "oce"});
  std::vector<std::string> env = GtkEnvironment();
  env.push_back("CUPS_SERVER=" + server.socket());
  auto lpoptions = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/lpoptions");
    return RunProgram(args, {env, "", "", 60, nullptr}).out;
  };
  lpoptions({"-p", "conflict", "-o", "OutputBin=UpperBin", "-o", "StapleWhen=EndOfSet"});
  std::string noServer = getenv("CUPS_SERVER");
  setenv("CUPS_SERVER", server.socket().c_str(), 1);
  cupsSetServer(nullptr);  // libcups reads the name again

  Open("");  // the default queue's panel
  EXPECT_EQ("oce", window->Printer());
  GtkDropDown* printers = GTK_DROP_DOWN(Widget("printer"));
  EXPECT_EQ(0u, std::string(gtk_string_object_get_string(GTK_STRING_OBJECT(gtk_drop_down_get_selected_item(printers))))
                    .find("oce (default)"));
  gtk_check_button_set_active(GTK_CHECK_BUTTON(Widget("Collate")), FALSE);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(Widget("StapleWhen")), 0);  // EndOfSet
  // Print… asks for the file first (the chooser goes with the window).
  g_signal_emit_by_name(Widget("print"), "clicked");
  SpinGtk(200);
  bool asked = false;
  GListModel* toplevels = gtk_window_get_toplevels();
  for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
    auto* top = static_cast<GtkWindow*>(g_list_model_get_item(toplevels, i));
    asked = asked || std::string("Print a File") == (gtk_window_get_title(top) ? gtk_window_get_title(top) : "");
    g_object_unref(top);
  }
  EXPECT_TRUE(asked);
  TempDir dir;
  std::string page = dir.Write("page.txt", "A page\n");
  ASSERT_TRUE(window->PrintFile(page)) << window->Status();
  size_t at = window->Status().find("request id is oce-");
  ASSERT_NE(std::string::npos, at) << window->Status();
  std::map<std::string, std::string> job = server.JobAttributes(std::atoi(window->Status().c_str() + at + 18));
  EXPECT_EQ("EndOfSet", job["StapleWhen"]);
  EXPECT_EQ("false", job["Collate"]);
  EXPECT_EQ("PrintersDefault", job["OutputBin"]);
  ASSERT_TRUE(window->SaveAsDefaults()) << window->Status();
  std::string saved = lpoptions({"-p", "oce"});
  EXPECT_NE(std::string::npos, saved.find("StapleWhen=EndOfSet")) << saved;
  EXPECT_NE(std::string::npos, saved.find("Collate=False")) << saved;

  // The other queue opens with its saved options, which conflict: nothing leaves.
  ASSERT_TRUE(window->ChoosePrinter("conflict")) << window->Status();
  EXPECT_EQ(3u, gtk_drop_down_get_selected(GTK_DROP_DOWN(Widget("OutputBin"))) + 1);  // UpperBin
  EXPECT_FALSE(window->PrintFile(page));
  EXPECT_NE(std::string::npos, window->Status().find("OutputBin=UpperBin conflicts with StapleWhen=EndOfSet"))
      << window->Status();
  EXPECT_TRUE(server.Jobs("conflict").empty());
  window.reset();
  setenv("CUPS_SERVER", noServer.c_str(), 1);
  cupsSetServer(nullptr);
}

TEST_F(PrintWindowTest, AnUnreadablePPDOrBundleExitsWithStatus2AndNoWindow) {
  std::vector<std::string> env = GtkEnvironment();
  env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" GTK_LSAN_SUPPRESSIONS);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--ppd", DataPath("no-such.ppd")},
        std::vector<std::string>{"--ppd", DataPath("oce-op3073.ppd"), "--bundle", "/nonexistent"}}) {
    std::vector<std::string> argv = {PRINT_DIALOG_GTK};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramRun run = RunProgram(argv, {env, "", "", 60, nullptr});
    EXPECT_EQ(2, run.status) << run.err;
    EXPECT_EQ(0u, run.err.find("print-dialog-gtk: cannot ")) << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("\n", run.err.find('\n') + 1)) << "one line: " << run.err;
  }
}

}  // namespace
}  // namespace tarvell::testing
