// Dispatcher: the thread that carries a site's outbound application texts from the input message
// queue into its session's pipe, forwarding only while the site's cell shows the session up ('O',
// 'H', 'T'). A session creates one after its logon and stops it at its end.
// Thread contract: the owning session calls Setup, Start, stop and the take* operations; the
// dispatcher thread only reads the cell's status, receives from its own queue object and writes
// the pipe. The record of forwarded types is the only state both touch, under a lock. A queue,
// table or pipe failure on the dispatcher thread ends the whole process with status 255.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "MsgQueue.h"
#include "Pipe.h"
#include "Shm.h"
#include "Thread.h"

class Dispatcher : public Thread {
  public:
    Dispatcher(Shm& shm, Pipe& p, std::string& qin);

    // The site whose cell gates forwarding, and the queue message type to take (0: any).
    void Setup(std::string& site, long mtype);
    // Creates the thread; returns pthread_create's result.
    int Start();
    void Run() override { dispatch(); }
    // The thread's body: returns only once stop() asked it to.
    void dispatch();

    // Makes the thread stop receiving and waits until it has ended. A receive that is waiting is
    // interrupted, so no message is taken off the queue after this returns. Safe to call when the
    // thread was never started, and more than once.
    void stop();

    // The queue type of the oldest forwarded text the session has not yet taken from the pipe;
    // the session calls it once per text it reads, so texts can go back under their own type.
    long takeForwardedType();
    // A text the thread had taken off the queue but could not write into the pipe because stop()
    // interrupted the write; false when there is none. Call after stop().
    bool takeUnsent(std::string& text, long& type);

  private:
    void forwardOne();

    Shm* shm;
    Pipe* p;
    std::unique_ptr<MsgQueue> q;
    long mtype;
    std::string qname;
    std::string site;

    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    std::mutex typesLock;
    std::deque<long> forwardedTypes;
    std::string unsent;
    long unsentType = 0;
};
