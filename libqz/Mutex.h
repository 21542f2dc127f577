// The suite's one lock: a default POSIX mutex (not recursive, no error checking) that the gateways
// hold around each write to their shared output queue.
// Thread contract: lock/unlock from any thread; unlock only by the thread holding the lock.
#pragma once

#include <pthread.h>

class Mutex {
  public:
    Mutex() { pthread_mutex_init(&mutex, nullptr); }
    ~Mutex() { pthread_mutex_destroy(&mutex); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

  private:
    pthread_mutex_t mutex;
};
