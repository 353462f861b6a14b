#ifndef TARVELL_XML_RUNNABLE_H
#define TARVELL_XML_RUNNABLE_H

// A task that runs on a detached thread of its own. A started Runnable must come from
// `new`: the thread deletes it through the virtual destructor once run() returns, so nobody
// may touch it after a successful start().
class Runnable {
 public:
  virtual ~Runnable();
  // The task body; the base does nothing and returns 0.
  virtual int run();

  // Starts the detached thread. Returns pthread_create's result (0 on success); on failure
  // the object stays with its owner.
  int start();
};

// Thread entry handed to pthread_create: runs the task, deletes it, returns null. An
// exception escaping run() is stopped here so it never reaches the thread library.
extern "C" void* runfunction(void* runnable);

#endif
