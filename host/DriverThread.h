// Every call into the driver, made on one thread of the host's own. The driver takes its calls
// one at a time on one thread; a host whose callers come on several threads, or that must go on
// answering them while a scan runs, hands all its driver calls to this thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace tarvell::host {

class DriverThread {
 public:
  // A bounded call whose task did not end in time.
  struct Timeout : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  DriverThread();
  // Runs what was posted, then ends the thread.
  ~DriverThread();
  DriverThread(const DriverThread&) = delete;
  DriverThread& operator=(const DriverThread&) = delete;

  // Runs `task` on the thread after everything posted before it, without waiting for it (an
  // exception it throws is dropped). The thread starts with the first task, so that a process may
  // still fork after making one; in a child forked after that, the parent's thread and its queue
  // are left behind and a fresh thread serves the child. Throws std::system_error, queueing
  // nothing, when the thread cannot be started.
  void Post(std::function<void()> task);

  // Runs `task` on the thread and waits for it: its result, or the exception it threw. Called
  // on the thread itself, it runs the task at once.
  template <class F>
  auto Call(F&& task) -> std::invoke_result_t<F&> {
    using Result = std::invoke_result_t<F&>;
    if (OnThread()) return task();
    std::packaged_task<Result()> packaged(std::forward<F>(task));
    std::future<Result> result = packaged.get_future();
    Post([&packaged] { packaged(); });
    return result.get();
  }

  // Call, waiting at most `bound`: throws Timeout when the task has not ended by then. The task
  // may then still run later, so it must own what it uses (no references to the caller's frame).
  template <class F>
  auto CallFor(std::chrono::milliseconds bound, F task) -> std::invoke_result_t<F&> {
    using Result = std::invoke_result_t<F&>;
    if (OnThread()) return task();
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    std::future<Result> result = packaged->get_future();
    Post([packaged] { (*packaged)(); });
    if (result.wait_for(bound) != std::future_status::ready)
      throw Timeout("the driver did not answer within " + std::to_string(bound.count()) + " ms");
    return result.get();
  }

  bool OnThread() const;

 private:
  // The thread and what it serves. A forked child leaves its parent's behind (its thread does not
  // exist there, and its lock and condition may be held by it), never touching them again.
  struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::thread thread;
    std::thread::id id;
    pid_t pid = 0;  // the process the thread runs in
  };
  static void Loop(Worker* worker);
  // This process's worker (a fresh one in a forked child).
  Worker& Current();

  std::atomic<Worker*> worker_;
};

}  // namespace tarvell::host
