// One list of requests through the three doors: each door either gives the page the others give
// (the same pixels at the same, true resolution) or does what its policy says instead.
#include "host/ScanRules.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cli/ScanRequest.h"
#include "sane/SaneOptions.h"

namespace {

using tarvell::host::ScanMode;
using tarvell::host::ScanPlan;
using tarvell::host::ScanSpace;

// What a door makes of a request: the page (width, height, resolution) and what the user is told
// (the notice), or no page and why it was refused.
using Outcome = std::tuple<UInt32, UInt32, UInt32, std::string>;

struct Asked {
  const char* mode;  // as the command line and SANE spell it
  UInt32 dpi;
  double left, top, width, height;  // millimetres
};

Outcome From(bool planned, const ScanPlan& plan, const std::string& why) {
  return planned ? Outcome{plan.page.width, plan.page.height, plan.page.resolution, plan.notice}
                 : Outcome{0, 0, 0, why};
}

Outcome CommandLine(const Asked& a) {
  std::vector<std::string> words = {"scanner-module",
                                    "scan",
                                    "--mode",
                                    a.mode,
                                    "--resolution",
                                    std::to_string(a.dpi),
                                    "-l",
                                    std::to_string(a.left),
                                    "-t",
                                    std::to_string(a.top),
                                    "-x",
                                    std::to_string(a.width),
                                    "-y",
                                    std::to_string(a.height)};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  tarvell::ica::HostOptions options;
  tarvell::ica::ScanRequest request;
  std::string why;
  EXPECT_TRUE(tarvell::ica::ParseCommandLine(int(argv.size()), argv.data(), &options, &why)) << why;
  ScanPlan plan;
  if (!tarvell::ica::ParseScanRequest(options, &request, &why)) return {0, 0, 0, why};
  return From(tarvell::ica::PlanRequest(request, ScanSpace(), &plan, &why), plan, why);
}

Outcome Sane(const Asked& a) {
  using namespace tarvell::sane;
  OptionSet options{ScanSpace()};
  char mode[16] = {};
  std::snprintf(mode, sizeof mode, "%s", a.mode);
  EXPECT_EQ(options.Control(kOptMode, SANE_ACTION_SET_VALUE, mode, nullptr), SANE_STATUS_GOOD);
  const SANE_Int indices[] = {kOptResolution, kOptTlX, kOptTlY, kOptBrX, kOptBrY};
  SANE_Word values[] = {SANE_Word(a.dpi), SANE_FIX(a.left), SANE_FIX(a.top), SANE_FIX(a.left + a.width),
                        SANE_FIX(a.top + a.height)};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(options.Control(indices[i], SANE_ACTION_SET_VALUE, &values[i], nullptr), SANE_STATUS_GOOD);
  ScanPlan plan;
  std::string why;
  const bool planned = PlanFor(options.settings(), ScanSpace(), &plan, &why);
  // The frame promised to the frontend is the page, and the resolution option says its resolution.
  EXPECT_EQ(UInt32(PredictParameters(options.settings()).pixels_per_line), planned ? plan.page.width : 0);
  EXPECT_EQ(UInt32(options.settings().resolution), planned ? plan.page.resolution : 0);
  return From(planned, plan, why);
}

Outcome Escl(const Asked& a) {
  tarvell::host::Request request;
  request.mode = a.mode[0] == 'C' ? ScanMode::kColor : a.mode[0] == 'G' ? ScanMode::kGray : ScanMode::kLineart;
  request.resolution = a.dpi;
  request.left = a.left, request.top = a.top, request.width = a.width, request.height = a.height;
  ScanPlan plan;
  std::string why;
  return From(tarvell::host::PlanScan(ScanSpace(), request, tarvell::host::kEsclPolicy, &plan, &why), plan, why);
}

TEST(ScanRules, EveryDoorGivesTheSamePageOrItsOwnRefusal) {
  const Outcome letter300{2550, 3300, 300, ""};
  const Outcome square300{591, 591, 300, ""};
  const std::string offGlass = "the scan area leaves the glass (215.9 x 296.9 mm)";
  const struct {
    Asked asked;
    Outcome commandLine, sane, escl;
  } cases[] = {
      {{"Color", 300, 0, 0, 215.9, 279.4}, letter300, letter300, letter300},
      {{"Gray", 150, 10, 20, 70, 40}, {413, 236, 150, ""}, {413, 236, 150, ""}, {413, 236, 150, ""}},
      {{"Lineart", 600, 0, 0, 25.4, 25.4}, {600, 600, 600, ""}, {600, 600, 600, ""}, {600, 600, 600, ""}},
      // Between the listed resolutions: the command line scans the next step up and says so; SANE
      // snaps to the nearest (the lower on a tie); eSCL takes only what it lists.
      {{"Gray", 250, 0, 0, 50, 50},
       {591, 591, 300, "250 dpi is scanned at 300 dpi"},
       {394, 394, 200, ""},
       {0, 0, 0, "250 dpi is not offered: give one of 75, 150, 200, 300, 400, 600 dpi"}},
      // Colour above 300 dpi: scanned at 300 and labelled so; eSCL scales the scan up to the
      // resolution asked for.
      {{"Color", 600, 0, 0, 50, 50},
       {591, 591, 300, "colour is scanned at 300 dpi at most: 600 dpi is scanned at 300 dpi"},
       square300,
       {1182, 1182, 600, ""}},
      {{"Color", 400, 0, 0, 50, 50},
       {591, 591, 300, "colour is scanned at 300 dpi at most: 400 dpi is scanned at 300 dpi"},
       square300,
       {788, 788, 400, ""}},
      // Off the glass: refused by the command line, kept on it by SANE's ranges and eSCL's trim.
      {{"Gray", 75, 100, 250, 100, 60}, {0, 0, 0, offGlass}, {295, 139, 75, ""}, {295, 139, 75, ""}},
      // Above the device: refused as malformed, snapped to the highest, refused as unlisted.
      {{"Gray", 1200, 0, 0, 10, 10},
       {0, 0, 0, "bad --resolution '1200': give dots per inch from 75 to 600"},
       {236, 236, 600, ""},
       {0, 0, 0, "1200 dpi is not offered: give one of 75, 150, 200, 300, 400, 600 dpi"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.asked.mode) + " " + std::to_string(c.asked.dpi) + " dpi at " +
                 std::to_string(c.asked.left) + "," + std::to_string(c.asked.top));
    EXPECT_EQ(CommandLine(c.asked), c.commandLine) << "command line";
    EXPECT_EQ(Sane(c.asked), c.sane) << "SANE";
    EXPECT_EQ(Escl(c.asked), c.escl) << "eSCL";
  }
}

}  // namespace
