// Running a program from a test: its output and status collected, a time-out that kills it, and a
// private temporary folder that is removed with everything in it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvell::testing {

struct ProgramRun {
  int status = -1;        // exit status, or -1 when the program did not exit on its own
  int signal = 0;         // the signal that ended it, if one did
  bool timedOut = false;  // killed at the time-out
  std::string out, err;
};

struct ProgramOptions {
  std::vector<std::string> env;  // NAME=VALUE entries added to (or replacing) the environment
  std::string dir;               // working folder; empty keeps the test's
  std::string input;             // written to standard input, which is then closed
  int timeoutSeconds = 120;
  // Called about every 10 ms while the program runs (for example to serve an emulated device).
  std::function<void()> whileRunning;
};

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A folder under /tmp made for one test; the destructor removes it and all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarvell-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` to the file `name` inside the folder; its path.
  std::string Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// Appends `option` to the ASAN_OPTIONS entry in `env` (taken from the environment when absent).
void AddAsanOption(std::vector<std::string>& env, const std::string& option);

}  // namespace tarvell::testing
