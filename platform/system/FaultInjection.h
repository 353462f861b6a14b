// Failures on demand, for tests. Every stand-in that can fail offers, in a part of its header
// marked as test hooks,
//   tarvell::testing::FailNext(operation, n[, status][, how])
// which makes the n-th call of `operation` from now on fail (1 is the next; 0 disarms), with
// `status` where the operation reports one. With Fails::kFromThenOn every later call fails too,
// until the operation is disarmed.
#pragma once

namespace tarvell::testing {

enum class Fails { kOnce, kFromThenOn };

// The armed failure of one operation; the stand-in asks Fire() at each call.
class FaultPoint {
 public:
  void Arm(int n, Fails how = Fails::kOnce) {
    countdown_ = n > 0 ? n : 0;
    how_ = how;
    firing_ = false;
  }
  // Whether this call fails.
  bool Fire() {
    if (firing_) return true;
    if (countdown_ <= 0 || --countdown_ > 0) return false;
    firing_ = how_ == Fails::kFromThenOn;
    return true;
  }

 private:
  int countdown_ = 0;
  Fails how_ = Fails::kOnce;
  bool firing_ = false;
};

}  // namespace tarvell::testing
