#include "host/Log.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tarvell::host::LogLevel;

TEST(HostLog, OutsideTextCannotForgeOrStretchALine) {
  const struct {
    std::string in;
    size_t max;
    std::string out;
  } cases[] = {
      {"RGB24", 64, "RGB24"},
      {"Gray\nfake: line", 64, "Gray\\x0afake: line"},
      {"a\\x0ab", 64, "a\\x5cx0ab"},
      {"\x1b[31m\xc3\xa9", 64, "\\x1b[31m\\xc3\\xa9"},
      {std::string(1000, 'x'), 8, "xxxxxxxx..."},
  };
  for (const auto& c : cases) EXPECT_EQ(tarvell::host::Quoted(c.in, c.max), c.out) << c.in.substr(0, 20);
}

TEST(HostLog, LinesCarryTheTagAndFollowTheLevel) {
  std::vector<std::string> lines;
  tarvell::host::SetLogOutput([&](const std::string& line) { lines.push_back(line); });
  tarvell::host::ConfigureLog("prog: ", int(LogLevel::kInfo));
  tarvell::host::Log(LogLevel::kError, "refused");
  tarvell::host::Log(LogLevel::kInfo, "listening on 127.0.0.1:8090");
  tarvell::host::Log(LogLevel::kStep, "not shown");
  tarvell::host::SetLogOutput(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"prog: refused", "prog: listening on 127.0.0.1:8090"}));
  EXPECT_FALSE(tarvell::host::LogEnabled(LogLevel::kDriver));
}

}  // namespace
