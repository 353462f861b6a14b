// The driver's log: printf-style lines that go to a replaceable sink. Silent by default.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

// Formats one line and hands it to the sink, if one is installed.
void BridgeNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace tarvell {

using LogSink = std::function<void(const std::string& line)>;

// A printf-style line made from `format` and `args` (which it leaves as they were: the caller
// ends them).
std::string FormatLine(const char* format, va_list args);

// Installs the sink (an empty function silences the log). Returns the previous sink.
LogSink SetLogSink(LogSink sink);

// Sends every line to standard error (the host's --verbose).
void LogToStandardError();

// Collects the lines written while it lives, for tests; restores the previous sink when destroyed.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }
  // True when some captured line equals `line` exactly.
  bool contains(const std::string& line) const;
  void clear() { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
  LogSink previous_;
};

}  // namespace tarvell
