#include "host/DriverThread.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <stdexcept>
#include <string>

namespace tarvell::host {
namespace {

TEST(DriverThread, RunsTasksInOrderHandsBackResultsAndBoundsItsCalls) {
  DriverThread thread;
  std::string order;
  thread.Post([&] { order += 'a'; });
  thread.Post([] { throw std::runtime_error("dropped"); });  // the thread serves on
  thread.Post([&] { order += 'b'; });
  EXPECT_EQ(thread.Call([&] { return order + 'c'; }), "abc");
  EXPECT_THROW(thread.Call([]() -> int { throw std::runtime_error("handed back"); }), std::runtime_error);
  EXPECT_TRUE(thread.Call([&] { return thread.Call([&] { return thread.OnThread(); }); }));  // at once, on it

  std::promise<void> release;
  thread.Post([gate = release.get_future().share()] { gate.wait(); });  // a driver call that hangs
  EXPECT_THROW(thread.CallFor(std::chrono::milliseconds(0), [] { return 1; }), DriverThread::Timeout);
  release.set_value();
  EXPECT_EQ(thread.CallFor(std::chrono::hours(1), [] { return 2; }), 2);
}

TEST(DriverThread, AChildForkedAfterTheFirstCallGetsAThreadOfItsOwn) {
  DriverThread thread;
  const pid_t parent = thread.Call([] { return getpid(); });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);  // a hang ends the child instead of the test run
    _exit(thread.Call([] { return getpid(); }) == getpid() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(thread.Call([] { return getpid(); }), parent);  // the parent's thread serves on
}

}  // namespace
}  // namespace tarvell::host
