// Every call into the driver, made on one thread of the host's own. The driver takes its calls
// one at a time on one thread; a host whose callers come on several threads, or that must go on
// answering them while a scan runs, hands all its driver calls to this thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace tarvell::host {

class DriverThread {
 public:
  DriverThread() = default;
  // Runs what was posted, then ends the thread.
  ~DriverThread();
  DriverThread(const DriverThread&) = delete;
  DriverThread& operator=(const DriverThread&) = delete;

  // Runs `task` on the thread after everything posted before it, without waiting for it (an
  // exception it throws is dropped). The thread starts with the first task, not before, so that
  // a process may still fork after making one.
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

  bool OnThread() const;

 private:
  void Loop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace tarvell::host
