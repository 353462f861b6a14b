#include "xml/Runnable.h"

#include <pthread.h>

Runnable::~Runnable() = default;

int Runnable::run() { return 0; }

int Runnable::start() {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) {
    pthread_t thread;
    rc = pthread_create(&thread, &attr, runfunction, this);
  }
  pthread_attr_destroy(&attr);
  return rc;
}

extern "C" void* runfunction(void* arg) {
  Runnable* task = static_cast<Runnable*>(arg);
  try {
    task->run();
  } catch (...) {
    // Nobody can join this thread to hear about the failure; the task still ends.
  }
  delete task;
  return nullptr;
}
