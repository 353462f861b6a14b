#include "xml/Runnable.h"
#include "xml/Semaphore.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <atomic>
#include <stdexcept>

namespace {

struct Record {
  Semaphore done{0};
  std::atomic<bool> ran{false};
  std::atomic<bool> ranBeforeDestroyed{false};
  pthread_t runThread{};
  pthread_t destroyThread{};
};

class RecordingTask : public Runnable {
 public:
  RecordingTask(Record& record, bool fail) : _record(record), _fail(fail) {}
  ~RecordingTask() override {
    _record.ranBeforeDestroyed = _record.ran.load();
    _record.destroyThread = pthread_self();
    _record.done.signal();
  }
  int run() override {
    _record.runThread = pthread_self();
    _record.ran = true;
    if (_fail) throw std::runtime_error("task failed");
    return 7;
  }

 private:
  Record& _record;
  bool _fail;
};

TEST(Runnable, RunsOnItsOwnThreadAndIsDestroyedThereAfterRun) {
  Record record;
  ASSERT_EQ(0, (new RecordingTask(record, false))->start());
  ASSERT_EQ(0, record.done.wait());
  EXPECT_TRUE(record.ranBeforeDestroyed.load());
  EXPECT_FALSE(pthread_equal(record.runThread, pthread_self()));
  EXPECT_TRUE(pthread_equal(record.runThread, record.destroyThread));
}

TEST(Runnable, ThrowingTaskIsStillDestroyedAndDoesNotEndTheProcess) {
  Record record;
  ASSERT_EQ(0, (new RecordingTask(record, true))->start());
  ASSERT_EQ(0, record.done.wait());
  EXPECT_TRUE(record.ranBeforeDestroyed.load());
}

TEST(Runnable, BaseRunDoesNothing) {
  Runnable plain;
  EXPECT_EQ(0, plain.run());
}

}  // namespace
