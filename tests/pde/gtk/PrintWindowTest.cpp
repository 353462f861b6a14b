// print-dialog-gtk's window in-process under a private X server: the widgets mirror the toolbox
// pane, a click on them is the plug-in's click, the plug-in's greyed-out items stay unchosen, and
// Print… and Save as Defaults reach a private CUPS scheduler.
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
using Rows = std::map<std::string, bool>;  // a menu's row texts, and whether each can be picked

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
  std::string Shown(const std::string& dropDown) {
    GObject* item = static_cast<GObject*>(gtk_drop_down_get_selected_item(GTK_DROP_DOWN(Widget(dropDown))));
    return item ? gtk_string_object_get_string(GTK_STRING_OBJECT(item)) : "";
  }
  // The rows of the drop-down `keyword` as the open menu shows them.
  Rows OpenedRows(const std::string& keyword) {
    EXPECT_TRUE(window->OpenMenu(keyword));
    SpinGtk(200);
    Rows rows;
    for (GtkWidget* w = gtk_widget_get_first_child(Widget(keyword)); w; w = gtk_widget_get_next_sibling(w))
      if (GTK_IS_POPOVER(w)) {
        Labels(w, &rows);
        gtk_popover_popdown(GTK_POPOVER(w));
      }
    SpinGtk(50);
    return rows;
  }
  void Labels(GtkWidget* w, Rows* out, bool inList = false) {
    inList = inList || GTK_IS_LIST_VIEW(w);
    // The row's text; a greyed row's reason is its second, "caption" label.
    if (inList && GTK_IS_LABEL(w) && !gtk_widget_has_css_class(w, "caption"))
      (*out)[gtk_label_get_text(GTK_LABEL(w))] = gtk_widget_is_sensitive(w);
    if (inList && GTK_IS_LABEL(w) && gtk_widget_has_css_class(w, "caption") && gtk_widget_get_visible(w))
      reasons_.push_back(gtk_label_get_text(GTK_LABEL(w)));
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) Labels(c, out, inList);
  }

  std::unique_ptr<PrintWindow> window;
  long controls_ = 0;
  std::vector<std::string> reasons_;  // the reasons the rows of the menus opened show
};

TEST_F(PrintWindowTest, DrawsEveryControlOfThePaneInItsOrderAndLayout) {
  Open("oce-op3073.ppd");
  ASSERT_TRUE(GTK_IS_CHECK_BUTTON(Widget("Collate")));
  EXPECT_TRUE(gtk_check_button_get_active(GTK_CHECK_BUTTON(Widget("Collate"))));
  // Rows follow the pane from top to bottom; each pop-up has its right-aligned label left of it.
  GtkGrid* grid = GTK_GRID(gtk_widget_get_parent(Widget("Collate")));
  int lastRow = -1, column, row, labelColumn, labelRow, span;
  for (const std::string keyword : {"Collate", "OutputBin", "Jog", "StapleWhen"}) {
    gtk_grid_query_child(grid, Widget(keyword), &column, &row, &span, &span);
    EXPECT_GT(row, lastRow) << keyword;
    lastRow = row;
    if (keyword == "Collate") continue;
    ASSERT_TRUE(GTK_IS_DROP_DOWN(Widget(keyword)));
    gtk_grid_query_child(grid, Widget(keyword + "-label"), &labelColumn, &labelRow, &span, &span);
    EXPECT_TRUE(labelRow == row && labelColumn < column) << keyword;
    EXPECT_EQ(1.0f, gtk_label_get_xalign(GTK_LABEL(Widget(keyword + "-label")))) << keyword;
  }
  EXPECT_STREQ("Output Bin:", gtk_label_get_text(GTK_LABEL(Widget("OutputBin-label"))));
  EXPECT_EQ("Collate: On\nOutput Bin: Printer's Default\nOffset: Off\nStaple: Off", window->Summary());
  // The PPD's own constraint already excludes the external finisher.
  Rows rows = OpenedRows("OutputBin");
  EXPECT_EQ(
      (Rows{{"Printer's Default", true}, {"Finisher", true}, {"Upper Output Bin", true}, {"External Finisher", false}}),
      rows);

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
  // Stapling disables the upper bin at once; picking it anyway is refused and undone.
  EXPECT_FALSE(OpenedRows("OutputBin").at("Upper Output Bin"));
  gtk_drop_down_set_selected(GTK_DROP_DOWN(Widget("OutputBin")), 2);
  SpinGtk();
  EXPECT_EQ("Printer's Default", Shown("OutputBin"));
  EXPECT_NE(std::string::npos, window->Status().find("“Upper Output Bin” cannot be chosen")) << window->Status();
  EXPECT_NE(std::string::npos, window->Summary().find("Staple: Staple Portrait")) << window->Summary();

  std::map<std::string, std::string> settings = window->Settings();
  EXPECT_EQ((std::map<std::string, std::string>{
                {"Collate", "False"}, {"Jog", "None"}, {"OutputBin", "PrintersDefault"}, {"StapleWhen", "EndOfSet"}}),
            settings);
  // The same clicks through print-dialog's --set.
  ProgramRun cli = RunProgram(
      {PRINT_DIALOG, "--ppd", DataPath("oce-op3073.ppd"), "--set", "Collate=False", "--set", "StapleWhen=EndOfSet"});
  ASSERT_EQ(0, cli.status) << cli.err;
  std::string options;
  for (const auto& kv : settings) options += " -o " + kv.first + "=" + kv.second;
  EXPECT_NE(std::string::npos, cli.out.find("Settings\n " + options + "\n")) << cli.out;
}

TEST_F(PrintWindowTest, AFifteenControlPanelScrollsOnASmallScreenAndSaysWhyRowsAreGreyed) {
  Open("sharp-mx6240n.ppd");  // the test's screen is 1024 x 768
  EXPECT_EQ(15u, window->Settings().size());
  GtkWidget* print = Widget("print");
  graphene_rect_t bounds;
  ASSERT_TRUE(gtk_widget_compute_bounds(print, GTK_WIDGET(window->window()), &bounds));
  EXPECT_LE(gtk_widget_get_height(GTK_WIDGET(window->window())), 768);
  EXPECT_LE(bounds.origin.y + bounds.size.height, gtk_widget_get_height(GTK_WIDGET(window->window())));
  EXPECT_TRUE(gtk_widget_get_mapped(print) && gtk_widget_get_child_visible(print) && gtk_widget_is_sensitive(print));
  GtkAdjustment* scroll = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(Widget("scroller")));
  EXPECT_GT(gtk_adjustment_get_upper(scroll), gtk_adjustment_get_page_size(scroll)) << "the panel does not scroll";
  ASSERT_TRUE(gtk_widget_activate(print));  // pressed and, once the press is shown, released
  for (int i = 0; i < 400 && window->Status().empty(); ++i) SpinGtk(25);
  EXPECT_EQ(0u, window->Status().find("Not printed: cannot reach the CUPS server")) << window->Status();

  EXPECT_FALSE(OpenedRows("ARStaple").at("1 Staple"));
  EXPECT_EQ(3u, reasons_.size());
  EXPECT_EQ("Not available with Output Bin: Output Tray (OutputBin=Output0).", reasons_.at(0));
  std::string note = gtk_label_get_text(GTK_LABEL(Widget("hardware-note")));
  EXPECT_TRUE(gtk_widget_get_visible(Widget("hardware-note")));
  EXPECT_NE(std::string::npos, note.find("Output Tray Options: Not Installed (Option1=NotInstalled)")) << note;
}

TEST_F(PrintWindowTest, WithoutAServerOrFinishingOptionsTheWindowSaysSo) {
  Open("pxlmono.ppd");
  EXPECT_TRUE(GTK_IS_LABEL(gtk_frame_get_child(GTK_FRAME(Widget("panel")))));
  EXPECT_EQ("No finishing options.", window->Summary());
  EXPECT_TRUE(window->Settings().empty());
  EXPECT_FALSE(gtk_widget_get_sensitive(Widget("printer")));
  EXPECT_EQ(0u, Shown("printer").find("No printer: cannot reach the CUPS server")) << Shown("printer");
  EXPECT_FALSE(window->PrintFile(DataPath("pxlmono.ppd")));
  EXPECT_EQ(0u, window->Status().find("Not printed: cannot reach the CUPS server")) << window->Status();
}

TEST_F(PrintWindowTest, PrintsAndSavesOnTheChosenQueueAndRefusesConflicts) {
  CupsServer server;
  ASSERT_TRUE(server.running()) << ReadFile(server.dir() / "log/error_log");
  for (const char* q : {"oce", "conflict"})
    server.Run({"/usr/sbin/lpadmin", "-p", q, "-E", "-v", "file:///dev/null", "-P", DataPath("oce-op3073.ppd")});
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
  EXPECT_EQ(0u, Shown("printer").find("oce (default)")) << Shown("printer");
  gtk_check_button_set_active(GTK_CHECK_BUTTON(Widget("Collate")), FALSE);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(Widget("StapleWhen")), 0);  // EndOfSet
  // Print… asks for the file first; the chooser goes with the window.
  guint windows = g_list_model_get_n_items(gtk_window_get_toplevels());
  g_signal_emit_by_name(Widget("print"), "clicked");
  SpinGtk(200);
  EXPECT_EQ(windows + 1, g_list_model_get_n_items(gtk_window_get_toplevels()));
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
  for (const char* option : {"Collate=False", "StapleWhen=EndOfSet"})
    EXPECT_NE(std::string::npos, saved.find(option)) << saved;

  // The other queue opens with its saved options, which conflict: nothing leaves.
  ASSERT_TRUE(window->ChoosePrinter("conflict")) << window->Status();
  EXPECT_EQ("Upper Output Bin", Shown("OutputBin"));
  EXPECT_FALSE(window->PrintFile(page));
  EXPECT_NE(std::string::npos, window->Status().find("OutputBin=UpperBin (Output Bin: Upper Output Bin) conflicts with "
                                                     "StapleWhen=EndOfSet (Staple: Staple Portrait)"))
      << window->Status();
  EXPECT_EQ("", server.Run({"lpstat", "-W", "all", "-o", "conflict"}).out);
  window.reset();
  setenv("CUPS_SERVER", noServer.c_str(), 1);
  cupsSetServer(nullptr);
}

TEST_F(PrintWindowTest, AnUnreadablePPDOrBundleExitsWithStatus2BeforeAnyWindow) {
  std::vector<std::string> env = GtkEnvironment();
  env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" GTK_LSAN_SUPPRESSIONS);
  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"--ppd", DataPath("no-such.ppd")}, {"--bundle", "/nonexistent"}}) {
    std::vector<std::string> argv = {PRINT_DIALOG_GTK, "--ppd", DataPath("oce-op3073.ppd")};
    argv.insert(argv.end(), bad.begin(), bad.end());
    ProgramRun run = RunProgram(argv, {env, "", "", 60, nullptr});
    EXPECT_EQ(2, run.status) << run.err;
    EXPECT_EQ(0u, run.err.find("print-dialog-gtk: cannot ")) << run.err;
    EXPECT_EQ(run.err.size() - 1, run.err.find('\n')) << "one line: " << run.err;
  }
}

}  // namespace
}  // namespace tarvell::testing
