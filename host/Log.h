// The one log of every front door: lines for people, on standard error, each led by the program's
// own tag ("tarvell-escl: ", "[tarvell] ", "scanner-module: "), kept or dropped by level. Text that
// came from outside (a client's request, a file's line) goes in only through Quoted, so no one can
// forge a line or make one long.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarvell::host {

enum class LogLevel {
  kError = 1,   // something failed or was refused
  kInfo = 2,    // what a person running the program wants to know (listening on, serving)
  kStep = 3,    // the host's steps
  kDriver = 5,  // the driver's own log lines
};

// The tag in front of every line and the highest level written (lines above it are dropped).
void ConfigureLog(std::string tag, int level);
bool LogEnabled(LogLevel level);
// Writes one line (a line feed is added) when its level is enabled; safe from any thread.
void Log(LogLevel level, const std::string& line);

// Where lines go instead of standard error (tests); an empty function restores standard error.
// Returns the previous one.
using LogOutput = std::function<void(const std::string& line)>;
LogOutput SetLogOutput(LogOutput output);

// Outside text made safe for one log line: printable ASCII stays, a backslash and every other byte
// become \xNN, and anything past `max` bytes of the input is cut and marked "...".
std::string Quoted(std::string_view text, size_t max = 64);

}  // namespace tarvell::host
