// A System V message queue opened by name: the road between local applications and the gateways.
// A message is a type (at least 1; the routing key) and a text of at most 4095 bytes sent without
// terminator. Destroying a MsgQueue leaves the queue in the system.
// Thread contract: one object holds one message buffer, so calls on one object must be serialised
// by the caller (the gateways guard their shared output queue with a Mutex). Distinct objects on
// the same queue may be used from different threads and processes. Throws MQException; a failed
// system call names the queue and the reason ("Fail to connect the message queue. [c.0]:
// Permission denied").
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>

#include <exception>
#include <string>

#include "IpcAccess.h"

constexpr int msgBufferSize = 4096;  // size of a message buffer's text
constexpr int maxMsgText = 4095;     // the longest text write accepts
constexpr int NoWaitMode = IPC_NOWAIT;
constexpr int WaitMode = 0;
constexpr long readerType = 0;  // a reader given this type takes messages of any type
constexpr long writeType = 1;   // the type a message gets when the writer gives 0

class MQException : public std::exception {
  public:
    explicit MQException(const std::string& text) : MQmessage(text) {}
    virtual ~MQException() {}
    virtual const char* what() const noexcept override { return MQmessage.c_str(); }

  private:
    std::string MQmessage;
};

struct MBUF {
    long mtype;
    char mtext[msgBufferSize];
};

class MsgQueue {
  public:
    // The rights asked for when connecting, and a new queue's mode unless told otherwise.
    static constexpr int defaultMode = IpcAccess::defaultMode;

    // An unopened object (id 0).
    MsgQueue();
    // flags 0 connects to an existing queue; IPC_CREAT creates it when absent, with the access
    // given, and gives an existing queue that access only where it was given explicitly (which
    // takes its owner or a privileged process). type is unused.
    MsgQueue(const std::string& name, long type, int flags, const IpcAccess& access = IpcAccess());

    int getId() const { return qid; }

    // Takes one message: type 0 any, positive exactly that type, negative the lowest type not
    // above its absolute value. Returns "" when a NoWaitMode read finds nothing or a signal
    // interrupts the call; the text ends at its first NUL. A message of more than 4096 bytes
    // throws and stays on the queue. One system call.
    std::string read(long type, int mode);
    // As read, into a caller's buffer, which may live in a file mapping so the message is kept
    // there the moment the queue gives it up: the number of text bytes received (a NUL among them
    // included, so the caller can see it), or -1 when nothing was taken: a NoWaitMode receive
    // found nothing, or a signal interrupted the wait and the caller's loop decides whether to
    // wait again. The type is in into.mtype. With `most` below the buffer's size, a longer
    // message is not taken either (-1): it stays first on the queue.
    int receive(MBUF& into, long type, int mode, int most = msgBufferSize);
    // Sends text with the type (0 means 1). A non-waiting send that finds the queue full or
    // removed is retried waiting, and a wait cut short by a signal is resumed, so nothing is
    // dropped. Texts over 4095 bytes are refused.
    void write(const std::string& text, int mode, long type);
    // Sends text with the type (0 means 1) only if the queue has room now: false when it is full
    // and nothing was sent. Throws as write on any other failure.
    bool offer(const std::string& text, long type);

    // The most text bytes the queue holds at once (msg_qbytes). Throws MQException.
    unsigned long byteLimit() const;
    // Sets that limit. False when the system refuses because raising it above
    // /proc/sys/kernel/msgmnb takes a privileged process; the limit is then unchanged. Throws
    // MQException on any other failure.
    bool setByteLimit(unsigned long bytes);

    // The type of the last message read returns, 0 when the last read took nothing; lets a
    // caller put a text back under its own type.
    long lastType() const { return lastReadType; }

  private:
    // The text of an MQException for the failed call, with the queue's name and the reason.
    std::string failure(const char* what, int error) const;

    std::string queueName;
    int qid;
    long lastReadType;
    MBUF mbuf;
};
