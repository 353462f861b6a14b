// GTK for in-process window tests: a private X server (Xvfb on a display number it picks itself),
// a private home and runtime folder, software rendering, no accessibility bus, no settings
// daemon, and a CUPS server name that reaches no server; GTK's own test set-up on top. Every message GTK or GLib logs
// is kept so a test can insist that there was none.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace tarvell::testing {

// Starts the server and GTK on first use (once per process); false with a message if it cannot.
bool StartGtk(std::string* error);
// The log lines of level message or worse since the start.
const std::vector<std::string>& GtkMessages();
// Runs the main loop until nothing is pending and for at least `milliseconds`.
void SpinGtk(int milliseconds = 0);
// The environment a GTK program started by a test needs to use the same server, quietly.
std::vector<std::string> GtkEnvironment();

}  // namespace tarvell::testing
