#include "host/DriverThread.h"

namespace tarvell::host {

DriverThread::~DriverThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DriverThread::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  if (!thread_.joinable()) {
    thread_ = std::thread([this] { Loop(); });
    id_ = thread_.get_id();
  }
  wake_.notify_one();
}

bool DriverThread::OnThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable() && id_ == std::this_thread::get_id();
}

void DriverThread::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A posted task keeps its failures to itself; the thread must go on serving the others.
    }
    lock.lock();
  }
}

}  // namespace tarvell::host
