#include "xml/Semaphore.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(Semaphore, CountsDownAndUp) {
  Semaphore s(2);
  int value = -1;
  ASSERT_EQ(0, sem_getvalue(s.getInstance(), &value));
  EXPECT_EQ(2, value);
  EXPECT_EQ(0, s.wait());
  EXPECT_EQ(0, s.wait());
  EXPECT_EQ(0, s.signal());
  ASSERT_EQ(0, sem_getvalue(s.getInstance(), &value));
  EXPECT_EQ(1, value);
}

TEST(Semaphore, WaitOnZeroBlocksUntilAnotherThreadSignals) {
  Semaphore s(0);
  std::atomic<bool> passed{false};
  std::thread waiter([&] {
    EXPECT_EQ(0, s.wait());
    passed = true;
  });
  usleep(20000);
  EXPECT_FALSE(passed.load());
  EXPECT_EQ(0, s.signal());
  waiter.join();
  EXPECT_TRUE(passed.load());
}

std::atomic<int> gInterrupts{0};
extern "C" void countInterrupt(int) { ++gInterrupts; }

TEST(Semaphore, WaitInterruptedBySignalHandlerKeepsWaitingSilently) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = countInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: sem_wait comes back with EINTR
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
  gInterrupts = 0;

  Semaphore s(0);
  std::atomic<int> result{-2};
  testing::internal::CaptureStderr();
  std::thread waiter([&] { result = s.wait(); });
  for (int i = 0; i < 5; ++i) {
    usleep(10000);
    pthread_kill(waiter.native_handle(), SIGUSR1);
  }
  usleep(10000);
  EXPECT_EQ(-2, result.load());  // still waiting after the interruptions
  EXPECT_EQ(0, s.signal());
  waiter.join();
  const std::string err = testing::internal::GetCapturedStderr();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(0, result.load());
  EXPECT_GT(gInterrupts.load(), 0);
  EXPECT_EQ("", err);
}

TEST(Semaphore, FailedInitIsReportedAndLaterCallsFailWithoutTouchingIt) {
  testing::internal::CaptureStderr();
  Semaphore s(-1);  // far above SEM_VALUE_MAX once unsigned
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string("1: sem_init failed: ") + std::strerror(EINVAL), err);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, s.wait());
  EXPECT_EQ(-1, s.signal());
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      std::string("1: sem_wait() failed: ") + std::strerror(EINVAL) + "1: sem_post() failed: " + std::strerror(EINVAL),
      err);
}

TEST(Semaphore, SignalPastTheMaximumFailsOnceAndReturns) {
  Semaphore s(SEM_VALUE_MAX);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, s.signal());
  EXPECT_EQ(EOVERFLOW, errno);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string("1: sem_post() failed: ") + std::strerror(EOVERFLOW), err);
  EXPECT_EQ(0, s.wait());  // still usable
}

}  // namespace
