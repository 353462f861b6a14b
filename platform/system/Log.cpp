#include "platform/system/Log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace tarvell {
namespace {
LogSink& Sink() {
  static LogSink sink;
  return sink;
}
}  // namespace

std::string FormatLine(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (n > 0) {
    line.resize(size_t(n) + 1);
    va_copy(copy, args);
    std::vsnprintf(&line[0], line.size(), format, copy);
    va_end(copy);
    line.resize(size_t(n));
  }
  return line;
}

LogSink SetLogSink(LogSink sink) {
  LogSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

void LogToStandardError() {
  SetLogSink([](const std::string& line) {
    std::fputs(line.c_str(), stderr);
    if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
  });
}

LogCapture::LogCapture() {
  previous_ = SetLogSink([this](const std::string& line) { lines_.push_back(line); });
}

LogCapture::~LogCapture() { SetLogSink(std::move(previous_)); }

bool LogCapture::contains(const std::string& line) const {
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

}  // namespace tarvell

void BridgeNSLog(const char* format, ...) {
  tarvell::LogSink& sink = tarvell::Sink();
  if (!sink) return;  // the common case: formatting costs nothing when nobody listens
  va_list args;
  va_start(args, format);
  std::string line = tarvell::FormatLine(format, args);
  va_end(args);
  sink(line);
}
