#ifndef TARVELL_XML_SEMAPHORE_H
#define TARVELL_XML_SEMAPHORE_H

#include <semaphore.h>

// Counting semaphore over a process-private unnamed POSIX semaphore. Failures are written
// to standard error; wait() and signal() return -1 after a failure (errno set) instead of
// retrying, except for interruptions by a signal handler, which are retried silently.
class Semaphore {
 public:
  explicit Semaphore(int count);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Waits until the count is positive and decrements it. 0 on success, -1 on failure.
  int wait();
  // Increments the count, releasing one waiter. 0 on success, -1 on failure.
  int signal();
  // The underlying semaphore.
  sem_t* getInstance();
  // The count the semaphore was created with.
  int initialCount() const { return _count; }

 private:
  sem_t _sem;
  int _count;
  // False when sem_init failed; the semaphore must then never be touched again.
  bool _valid;
};

#endif
