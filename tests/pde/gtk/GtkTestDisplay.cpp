#include "tests/pde/gtk/GtkTestDisplay.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/Program.h"

namespace tarvell::testing {

namespace {

std::vector<std::string> gMessages;

GLogWriterOutput Keep(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data) {
  if (!(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE)))
    return G_LOG_WRITER_HANDLED;  // debugging chatter, e.g. that no session bus is there
  gchar* line = g_log_writer_format_fields(level, fields, count, FALSE);
  gMessages.push_back(line);
  g_free(line);
  return g_log_writer_standard_streams(level, fields, count, data);
}

// This process's X server, on the display number it picks itself; it goes with the process.
struct Session {
  ~Session() {
    if (xvfb > 0) {
      kill(xvfb, SIGTERM);
      waitpid(xvfb, nullptr, 0);
    }
  }
  pid_t xvfb = -1;
  TempDir home{"tarvell-gtk"};
  std::vector<std::string> env;
  std::string error = "Xvfb did not start (Debian package xvfb)";
};

Session& TheSession() {
  static Session session;
  return session;
}

std::string StartXvfb(Session& s) {
  int ready[2];
  if (pipe(ready) != 0) return "";
  s.xvfb = fork();
  if (s.xvfb == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(ready[0]);
    std::string fd = std::to_string(ready[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24", nullptr);
    _exit(127);
  }
  close(ready[1]);
  std::string number;
  pollfd p{ready[0], POLLIN, 0};
  for (char c = 0; s.xvfb > 0 && poll(&p, 1, 30000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n';) number += c;
  close(ready[0]);
  return number;
}

}  // namespace

bool StartGtk(std::string* error) {
  Session& s = TheSession();
  static bool tried = false, ok = false;
  *error = s.error;
  if (tried) return ok;
  tried = true;
  std::string display = StartXvfb(s);
  if (display.empty()) return false;
  // GL stays off altogether (the cairo renderer needs none, and probing loads the GPU drivers);
  // the CUPS server and the session bus named are ones that do not exist (a test may start its
  // own scheduler), so nothing of the machine's is reached.
  mkdir((s.home / "cups").c_str(), 0700);
  s.env = {"DISPLAY=:" + display,
           "GDK_BACKEND=x11",
           "GSK_RENDERER=cairo",
           "GDK_DEBUG=gl-disable",
           "GTK_A11Y=none",
           "CUPS_SERVER=" + s.home / "no-cupsd.sock",
           "CUPS_SERVERROOT=" + s.home / "cups",
           "NO_AT_BRIDGE=1",
           "GSETTINGS_BACKEND=memory",
           "GIO_USE_VFS=local",
           "HOME=" + s.home.path(),
           "XDG_RUNTIME_DIR=" + s.home.path(),
           "XDG_CONFIG_HOME=" + s.home / "config",
           "XDG_CACHE_HOME=" + s.home / "cache",
           "XDG_DATA_HOME=" + s.home / "data",
           "DBUS_SESSION_BUS_ADDRESS=unix:path=" + s.home / "no-bus"};
  for (const std::string& e : s.env) setenv(e.substr(0, e.find('=')).c_str(), e.c_str() + e.find('=') + 1, 1);
  unsetenv("WAYLAND_DISPLAY");
  g_log_set_writer_func(Keep, nullptr, nullptr);
  int argc = 1;
  char name[] = "gtk-test";
  char* args[] = {name, nullptr};
  char** argv = args;
  gtk_test_init(&argc, &argv, nullptr);
  return ok = true;
}

const std::vector<std::string>& GtkMessages() { return gMessages; }

void SpinGtk(int milliseconds) {
  gint64 until = g_get_monotonic_time() + gint64(milliseconds) * 1000;
  do {
    while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
    if (g_get_monotonic_time() < until) g_usleep(5000);
  } while (g_get_monotonic_time() < until);
}

std::vector<std::string> GtkEnvironment() { return TheSession().env; }

}  // namespace tarvell::testing
