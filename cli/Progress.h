// `scan --progress`: the page's progress as the bus delivers it to the module (host/PageProgress.h),
// shown on standard error.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "host/PageProgress.h"
#include "platform/system/Types.h"

namespace tarvell {
namespace ica {

// On a terminal one line is redrawn at every percent; into a file or pipe a line is written at
// every quarter, so logs stay readable.
class ProgressMeter : public host::PageProgress {
 public:
  ProgressMeter() : terminal_(isatty(2) == 1) {}
  ~ProgressMeter() override { Finish(); }
  void Expect(UInt64 bytes) override { expected_ = bytes; }
  void Add(UInt64 bytes) override {
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

using host::MeteredBus;

}  // namespace ica
}  // namespace tarvell
