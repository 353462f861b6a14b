// `scan --progress`: the image's bytes the bus delivers to the module, counted on their way (out of
// the packets they travel in, past the image's header) against the byte count the header gives,
// and shown on standard error.
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
  ProgressMeter() : terminal_(isatty(2) == 1) {}
  ~ProgressMeter() { Finish(); }
  // The image's size, once its header has come.
  void Expect(UInt64 bytes) { expected_ = bytes; }
  void Add(UInt64 bytes) {
    received_ += bytes;
    int percent = expected_ ? int(std::min<UInt64>(100, received_ * 100 / expected_)) : 0;
    if (!terminal_) percent -= percent % 25;
    if (percent == shown_) return;
    shown_ = percent;
    std::fprintf(stderr, "%sscanning: %llu of %llu bytes (%d%%)%s", terminal_ ? "\r" : "",
                 (unsigned long long)received_, (unsigned long long)expected_, percent, terminal_ ? "" : "\n");
    std::fflush(stderr);
    started_ = true;
  }
  void Finish() {
    if (!started_) return;
    std::fprintf(stderr, "%sscanning: %llu bytes received%*s\n", terminal_ ? "\r" : "", (unsigned long long)received_,
                 terminal_ ? 24 : 0, "");
    started_ = false;
  }

 private:
  UInt64 expected_ = 0;
  bool terminal_;
  UInt64 received_ = 0;
  int shown_ = -1;
  bool started_ = false;
};

// `inner` seen through `meter`: what reads of the image endpoint bring of the image is counted.
std::shared_ptr<usb::Bus> MeteredBus(std::shared_ptr<usb::Bus> inner, ProgressMeter* meter);

}  // namespace ica
}  // namespace tarvell
