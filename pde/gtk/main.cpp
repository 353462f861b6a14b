// print-dialog-gtk: the Finishing panel in a GTK window, for a CUPS printer or a PPD file.
#include <cstdio>
#include <string>
#include <vector>

#include "pde/gtk/PrintWindow.h"

namespace {

const char kUsage[] =
    "usage: print-dialog-gtk [--printer NAME] [--ppd FILE] [--bundle DIR] [--lang LANG]\n"
    "                        [--set OPTION=CHOICE]... [--snapshot FILE.png [--open OPTION]]\n";

int Fail(const std::string& message, int code = 2) {
  std::fprintf(stderr, "print-dialog-gtk: %s\n", message.c_str());
  return code;
}

// A word that is not an option, or an option without its value: one line and where help is.
int BadArgument(const std::string& arg) {
  bool valued = false;
  for (const char* name : {"--ppd", "--printer", "--bundle", "--lang", "--set", "--open", "--snapshot"})
    valued |= arg == name;
  Fail(valued ? "option '" + arg + "' needs a value" : "unknown option '" + arg + "'");
  std::fputs("Try 'print-dialog-gtk --help'.\n", stderr);
  return 2;
}

struct Run {
  tarvell::gtk::PrintWindow* window;
  std::string snapshot, openMenu;
  bool done = false;
  int frames = 0;
  int status = 0;
};

void OnDestroy(GtkWidget*, gpointer data) { static_cast<Run*>(data)->done = true; }

// The picture is taken once the window has been laid out and drawn.
gboolean OnFrame(GtkWidget*, GdkFrameClock*, gpointer data) {
  auto* run = static_cast<Run*>(data);
  try {
    if (++run->frames == 2 && !run->openMenu.empty() && !run->window->OpenMenu(run->openMenu)) {
      run->status = Fail("there is no menu " + run->openMenu + " on the panel");
    } else if (run->frames < 6) {
      return G_SOURCE_CONTINUE;
    } else {
      std::string error;
      if (!run->window->SavePng(run->snapshot, &error)) run->status = Fail(error);
    }
  } catch (...) {
    run->status = Fail("the picture could not be made");
  }
  gtk_window_close(run->window->window());
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  tarvell::dialog::DialogArguments args;
  args.bundle = tarvell::dialog::DefaultBundle();
  std::string snapshot, openMenu, error;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (int read = tarvell::dialog::ReadDialogArgument(argc, argv, &i, &args, &error)) {
      if (read < 0) return Fail(error);
    } else if (arg == "--open" && hasValue) {
      openMenu = argv[++i];
    } else if (arg == "--snapshot" && hasValue) {
      snapshot = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::printf("LANG is one of %s.\n", tarvell::dialog::PanelLanguageList().c_str());
      return 0;
    } else {
      return BadArgument(arg);
    }
  }
  if (!args.language.empty()) PMBundleSetPreferredLanguages({args.language});
  tarvell::gtk::WindowOptions options;
  options.ppd = args.ppd;
  options.printer = args.printer;
  options.bundle = args.bundle;
  std::unique_ptr<tarvell::gtk::PrintWindow> window = tarvell::gtk::PrintWindow::Load(options, &error);
  if (!window) return Fail(error);
  if (!gtk_init_check()) return Fail("cannot open a display (is DISPLAY or WAYLAND_DISPLAY set?)");
  window->Build();
  for (const auto& choice : args.choices)
    if (!window->Choose(choice.first, choice.second, &error)) return Fail(error, 3);

  Run run{window.get(), snapshot, openMenu};
  g_signal_connect(window->window(), "destroy", G_CALLBACK(OnDestroy), &run);
  if (!snapshot.empty()) gtk_widget_add_tick_callback(GTK_WIDGET(window->window()), OnFrame, &run, nullptr);
  gtk_window_present(window->window());
  while (!run.done) g_main_context_iteration(nullptr, TRUE);
  window.reset();
  return run.status;
}
