// A clock for a paced simulated scanner that makes its timing deterministic: virtual time (a
// sleep ends at once, time jumps) up to a gate; a sleep past the gate waits until the gate is
// moved or opened. With the gate at a point of the page, the scanner stops there, whatever the
// speed of the machine, and a test can see what reached the reader before it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

#include "platform/usb/SimBus.h"

namespace tarvell::testing {

class GateClock : public tarvell::usb::SimClock {
 public:
  UInt64 NowMicros() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void SleepUntil(UInt64 micros) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return micros <= gate_; });
    --waiting_;
    if (micros > now_) now_ = micros;
  }
  // Time may run up to `micros` (and no further) from now on.
  void SetGate(UInt64 micros) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_ = micros;
    changed_.notify_all();
  }
  void Open() { SetGate(std::numeric_limits<UInt64>::max()); }
  // Waits until a sleep is held at the gate: everything before it has happened.
  void AwaitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ > 0; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  UInt64 now_ = 0;
  UInt64 gate_ = std::numeric_limits<UInt64>::max();
  int waiting_ = 0;
};

}  // namespace tarvell::testing
