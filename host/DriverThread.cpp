#include "host/DriverThread.h"

#include <unistd.h>

namespace tarvell::host {
namespace {

// Held only while a forked child puts a fresh worker in place, so never at a fork in the parent.
std::mutex gForkGuard;

}  // namespace

DriverThread::DriverThread() : worker_(new Worker()) { worker_.load()->pid = getpid(); }

DriverThread::~DriverThread() {
  Worker* worker = worker_.load();
  if (worker->pid != getpid()) return;  // the parent's, left behind in a forked child
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->stopping = true;
  }
  worker->wake.notify_all();
  if (worker->thread.joinable()) worker->thread.join();
  delete worker;
}

DriverThread::Worker& DriverThread::Current() {
  Worker* worker = worker_.load();
  const pid_t pid = getpid();
  if (worker->pid == pid) return *worker;
  std::lock_guard<std::mutex> guard(gForkGuard);
  worker = worker_.load();
  if (worker->pid != pid) {
    // Forked: the old worker's thread is not in this process; its tasks were the parent's.
    Worker* fresh = new Worker();
    fresh->pid = pid;
    worker_.store(fresh);
    worker = fresh;
  }
  return *worker;
}

void DriverThread::Post(std::function<void()> task) {
  Worker& worker = Current();
  std::lock_guard<std::mutex> lock(worker.mutex);
  if (!worker.thread.joinable()) {
    // Started before anything is queued: when it cannot start, nothing is left waiting for it.
    worker.thread = std::thread(&DriverThread::Loop, &worker);
    worker.id = worker.thread.get_id();
  }
  worker.tasks.push_back(std::move(task));
  worker.wake.notify_one();
}

bool DriverThread::OnThread() const {
  Worker* worker = worker_.load();
  if (worker->pid != getpid()) return false;
  std::lock_guard<std::mutex> lock(worker->mutex);
  return worker->thread.joinable() && worker->id == std::this_thread::get_id();
}

void DriverThread::Loop(Worker* worker) {
  std::unique_lock<std::mutex> lock(worker->mutex);
  for (;;) {
    worker->wake.wait(lock, [worker] { return worker->stopping || !worker->tasks.empty(); });
    if (worker->tasks.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(worker->tasks.front());
    worker->tasks.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A posted task keeps its failures to itself; the thread must go on serving the others.
    }
    task = nullptr;  // what it held goes here, not under the lock
    lock.lock();
  }
}

}  // namespace tarvell::host
