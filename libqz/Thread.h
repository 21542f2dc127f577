// Base for the classes that run a POSIX thread (the dispatcher and the sessions): derive, override
// Run() with the thread's body, call Start(), and either join() or detach() the thread.
// Thread contract: Start, join and detach are called by the thread that owns the object, never
// from the running thread itself; the object must outlive a thread that has not been joined.
#pragma once

#include <pthread.h>

class Thread {
  public:
    Thread() : id(), started(false) {}
    virtual ~Thread() {}
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates the thread with default attributes; returns pthread_create's result (0 on success).
    int Start();
    // The new thread's entry: object is the Thread whose Run() it executes.
    static void* EntryPoint(void* object);
    virtual void Run() {}

    // Ends the calling thread at once; the other threads and the process go on.
    static void pexit(int code);

    // Waits for a started, not yet joined or detached thread to end; returns pthread_join's
    // result (0 on success, EINVAL when there is nothing to join).
    int join();
    // Lets a started thread release itself when it ends; same results as join().
    int detach();
    bool joinable() const { return started; }

  protected:
    pthread_t id;

  private:
    bool started;
};
