#include "xml/Semaphore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Messages are written in two pieces, a "1: " prefix and the text, with no line end.
void reportFailure(const char* format, int err) {
  std::fprintf(stderr, "%d: ", 1);
  std::fprintf(stderr, format, std::strerror(err));
}

}  // namespace

Semaphore::Semaphore(int count) : _count(count), _valid(true) {
  if (sem_init(&_sem, 0, static_cast<unsigned int>(count)) != 0) {
    _valid = false;
    reportFailure("sem_init failed: %s", errno);
  }
}

Semaphore::~Semaphore() {
  if (_valid) sem_destroy(&_sem);
}

int Semaphore::wait() {
  if (!_valid) {
    reportFailure("sem_wait() failed: %s", EINVAL);
    errno = EINVAL;
    return -1;
  }
  for (;;) {
    if (sem_wait(&_sem) == 0) return 0;
    if (errno == EINTR) continue;
    const int err = errno;
    reportFailure("sem_wait() failed: %s", err);
    errno = err;
    return -1;
  }
}

int Semaphore::signal() {
  if (!_valid) {
    reportFailure("sem_post() failed: %s", EINVAL);
    errno = EINVAL;
    return -1;
  }
  for (;;) {
    if (sem_post(&_sem) == 0) return 0;
    if (errno == EINTR) continue;
    const int err = errno;
    reportFailure("sem_post() failed: %s", err);
    errno = err;
    return -1;
  }
}

sem_t* Semaphore::getInstance() { return &_sem; }
