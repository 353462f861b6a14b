#include "cli/ScanRequest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/system/Parse.h"

namespace tarvell {
namespace ica {
namespace {

bool ParseMillimetres(const std::string& text, double* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) return false;
  *out = value;
  return true;
}

bool ParseWhole(const std::string& text, UInt32 low, UInt32 high, UInt32* out) {
  unsigned long long value = 0;
  if (!ParseUnsigned(text, high, &value, 10) || value < low) return false;
  *out = static_cast<UInt32>(value);
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseScanRequest(const HostOptions& options, ScanRequest* request, std::string* error) {
  auto value = [&](const char* name) -> const std::string* {
    auto it = options.values.find(name);
    return it == options.values.end() ? nullptr : &it->second;
  };
  if (const std::string* mode = value("mode")) {
    const std::string m = Lower(*mode);
    if (m == "lineart")
      request->mode = ScanRequest::kLineart;
    else if (m == "gray" || m == "grey")
      request->mode = ScanRequest::kGray;
    else if (m == "color" || m == "colour")
      request->mode = ScanRequest::kColor;
    else {
      *error = "bad --mode '" + *mode + "': give Lineart, Gray or Color";
      return false;
    }
  }
  if (const std::string* dpi = value("resolution")) {
    const tarvell::host::ScanSpace space;
    const UInt32 lowest = space.resolutions.front(), highest = space.resolutions.back();
    if (!ParseWhole(*dpi, lowest, highest, &request->resolution)) {
      *error = "bad --resolution '" + *dpi + "': give dots per inch from " + std::to_string(lowest) + " to " +
               std::to_string(highest);
      return false;
    }
  }
  if (const std::string* scale = value("scale")) {
    if (!ParseWhole(*scale, 10, 1000, &request->scale)) {
      *error = "bad --scale '" + *scale + "': give a percentage from 10 to 1000";
      return false;
    }
  }
  const struct {
    const char* name;
    char flag;
    double* field;
  } lengths[] = {{"left", 'l', &request->left},
                 {"top", 't', &request->top},
                 {"width", 'x', &request->width},
                 {"height", 'y', &request->height}};
  for (const auto& length : lengths) {
    if (const std::string* text = value(length.name)) {
      if (!ParseMillimetres(*text, length.field)) {
        *error = std::string("bad -") + length.flag + " '" + *text + "': give millimetres, e.g. 25.4";
        return false;
      }
    }
  }
  const SInt32 minimum = request->mode == ScanRequest::kLineart ? 8 : 1;
  if (Pixels(request->width, request->resolution) < minimum || Pixels(request->height, request->resolution) < 1) {
    *error = "the scan area is too small for one pixel at " + std::to_string(request->resolution) + " dpi";
    return false;
  }
  if (const std::string* output = value("output")) {
    if (output->empty()) {
      *error = "bad -o '': give a file name";
      return false;
    }
    request->output = *output;
  }
  if (!(request->format = ChooseOutputFormat(request->output, value("format"), error))) return false;
  request->progress = value("progress") != nullptr;
  request->endAtJobEnd = value("end-at-job-end") != nullptr;
  return true;
}

bool PlanRequest(const ScanRequest& request, const tarvell::host::ScanSpace& space, tarvell::host::ScanPlan* plan,
                 std::string* error) {
  return tarvell::host::PlanScan(space, request, tarvell::host::kCommandLinePolicy, plan, error);
}

}  // namespace ica
}  // namespace tarvell
