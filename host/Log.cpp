#include "host/Log.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace tarvell::host {
namespace {

struct LogState {
  std::mutex mutex;
  std::string tag;
  int level = int(LogLevel::kInfo);
  LogOutput output;
};

LogState& State() {
  static LogState state;
  return state;
}

}  // namespace

void ConfigureLog(std::string tag, int level) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.tag = std::move(tag);
  state.level = level;
}

bool LogEnabled(LogLevel level) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return int(level) <= state.level;
}

void Log(LogLevel level, const std::string& line) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (int(level) > state.level) return;
  if (state.output) return state.output(state.tag + line);
  // One write a line, so that lines of several threads never mix.
  const std::string whole = state.tag + line + "\n";
  for (size_t at = 0; at < whole.size();) {
    const ssize_t n = write(STDERR_FILENO, whole.data() + at, whole.size() - at);
    if (n <= 0) break;
    at += size_t(n);
  }
}

LogOutput SetLogOutput(LogOutput output) {
  LogState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  LogOutput previous = std::move(state.output);
  state.output = std::move(output);
  return previous;
}

std::string Quoted(std::string_view text, size_t max) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(std::min(text.size(), max) + 8);
  for (size_t i = 0; i < text.size() && i < max; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += char(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (text.size() > max) out += "...";
  return out;
}

}  // namespace tarvell::host
