#include "MsgQueue.h"

#include <cerrno>
#include <cstring>

#include "Key.h"

MsgQueue::MsgQueue() : qid(0), lastReadType(0) {
    mbuf.mtype = 0;
}

MsgQueue::MsgQueue(const std::string& name, long /*type*/, int flags) : qid(0), lastReadType(0) {
    mbuf.mtype = 0;
    bool create = (flags & IPC_CREAT) != 0;
    key_t key = Key(name).get_ipc_key();
    // Key 0 is IPC_PRIVATE: a fresh queue no other program could ever find by name.
    int id = key == IPC_PRIVATE ? -1 : msgget(key, flags | defaultMode);
    if (id < 0) {
        throw MQException(create ? "Fail to create the message queue."
                                 : "Fail to connect the message queue.");
    }
    qid = id;
}

std::string MsgQueue::read(long type, int mode) {
    int length = receive(mbuf, type, mode);
    if (length < 0) return std::string();
    return std::string(mbuf.mtext, strnlen(mbuf.mtext, static_cast<size_t>(length)));
}

int MsgQueue::receive(MBUF& into, long type, int mode, int most) {
    lastReadType = 0;
    // The whole buffer is offered: a foreign message of exactly 4096 bytes arrives whole, since
    // the text is the received length and never needs a terminator in mtext.
    ssize_t received = msgrcv(qid, &into, static_cast<size_t>(most), type, mode);
    if (received < 0) {
        if ((mode == NoWaitMode && errno == ENOMSG) || errno == EINTR) return -1;
        if (errno == E2BIG && most < msgBufferSize) return -1;
        throw MQException("Fail to read from MsgQueue.");
    }
    lastReadType = into.mtype;
    return static_cast<int>(received);
}

void MsgQueue::write(const std::string& text, int mode, long type) {
    if (text.size() > static_cast<size_t>(maxMsgText)) throw MQException("Fail to write MsgQueue.");
    mbuf.mtype = type == 0 ? writeType : type;
    std::memcpy(mbuf.mtext, text.data(), text.size());
    int result = msgsnd(qid, &mbuf, text.size(), mode == 0 ? 0 : IPC_NOWAIT);
    if (result < 0 && (errno == EAGAIN || errno == EIDRM || errno == EINTR)) {
        do {
            result = msgsnd(qid, &mbuf, text.size(), 0);
        } while (result < 0 && errno == EINTR);
    }
    if (result < 0) throw MQException("Fail to write MsgQueue.");
}

bool MsgQueue::offer(const std::string& text, long type) {
    if (text.size() > static_cast<size_t>(maxMsgText)) throw MQException("Fail to write MsgQueue.");
    mbuf.mtype = type == 0 ? writeType : type;
    std::memcpy(mbuf.mtext, text.data(), text.size());
    int result;
    do {
        result = msgsnd(qid, &mbuf, text.size(), IPC_NOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno == EAGAIN) return false;
    throw MQException("Fail to write MsgQueue.");
}

unsigned long MsgQueue::byteLimit() const {
    msqid_ds ds{};
    if (msgctl(qid, IPC_STAT, &ds) < 0) throw MQException("Fail to read the MsgQueue limit.");
    return ds.msg_qbytes;
}

bool MsgQueue::setByteLimit(unsigned long bytes) {
    msqid_ds ds{};
    if (msgctl(qid, IPC_STAT, &ds) < 0) throw MQException("Fail to read the MsgQueue limit.");
    ds.msg_qbytes = bytes;
    if (msgctl(qid, IPC_SET, &ds) == 0) return true;
    if (errno == EPERM) return false;
    throw MQException("Fail to set the MsgQueue limit.");
}
