// `scan --progress`: the image bytes the bus delivers to the module, counted on their way and
// shown on standard error.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/system/Types.h"
#include "platform/usb/USB.h"

namespace tarvell {
namespace ica {

// On a terminal one line is redrawn at every percent; into a file or pipe a line is written at
// every quarter, so logs stay readable.
class ProgressMeter {
 public:
  explicit ProgressMeter(UInt64 expected) : expected_(expected), terminal_(isatty(2) == 1) {}
  ~ProgressMeter() { Finish(); }
  void Add(UInt64 bytes) {
    received_ += bytes;
    int percent = expected_ ? int(std::min<UInt64>(100, received_ * 100 / expected_)) : 0;
    if (!terminal_) percent -= percent % 25;
    if (percent == shown_) return;
    shown_ = percent;
    std::fprintf(stderr, "%sscanning: %llu of %llu bytes (%d%%)%s", terminal_ ? "\r" : "",
                 (unsigned long long)received_, (unsigned long long)expected_, percent,
                 terminal_ ? "" : "\n");
    std::fflush(stderr);
    started_ = true;
  }
  void Finish() {
    if (!started_) return;
    std::fprintf(stderr, "%sscanning: %llu bytes received%*s\n", terminal_ ? "\r" : "",
                 (unsigned long long)received_, terminal_ ? 24 : 0, "");
    started_ = false;
  }

 private:
  UInt64 expected_;
  bool terminal_;
  UInt64 received_ = 0;
  int shown_ = -1;
  bool started_ = false;
};

// `inner` seen through `meter`: reads of the image endpoint are counted.
std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter);

}  // namespace ica
}  // namespace tarvell
