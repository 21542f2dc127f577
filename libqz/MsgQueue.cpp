#include "MsgQueue.h"

#include <cerrno>
#include <cstring>

#include "Key.h"

MsgQueue::MsgQueue() : qid(0), lastReadType(0) {
    mbuf.mtype = 0;
}

MsgQueue::MsgQueue(const std::string& name, long /*type*/, int flags, const IpcAccess& access)
    : queueName(name), qid(0), lastReadType(0) {
    mbuf.mtype = 0;
    bool create = (flags & IPC_CREAT) != 0;
    const char* failed =
        create ? "Fail to create the message queue." : "Fail to connect the message queue.";
    key_t key = Key(name).get_ipc_key();
    // Key 0 is IPC_PRIVATE: a fresh queue no other program could ever find by name.
    if (key == IPC_PRIVATE) throw MQException(failure(failed, EINVAL));
    int id = -1;
    bool created = false;
    if (!create) {
        id = msgget(key, defaultMode);
    } else {
        // Exclusively first, to know whether the queue is new; bounded, as the queue may be
        // removed between the two calls.
        for (int attempt = 0; attempt < 3 && id < 0; ++attempt) {
            id = msgget(key, IPC_CREAT | IPC_EXCL | access.mode);
            created = id >= 0;
            if (id < 0 && errno == EEXIST) id = msgget(key, defaultMode);
            if (id < 0 && errno != ENOENT) break;
        }
    }
    if (id < 0) throw MQException(failure(failed, errno));
    qid = id;
    if (create && (created ? access.groupGiven : access.explicitly())) {
        msqid_ds ds{};
        bool set = msgctl(qid, IPC_STAT, &ds) == 0;
        if (set) {
            if (access.modeGiven) ds.msg_perm.mode = static_cast<mode_t>(access.mode);
            if (access.groupGiven) ds.msg_perm.gid = access.group;
            set = msgctl(qid, IPC_SET, &ds) == 0;
        }
        if (!set) throw MQException(failure("Fail to set the access of the message queue", errno));
    }
}

std::string MsgQueue::failure(const char* what, int error) const {
    // E2BIG's own text speaks of argument lists.
    if (error == E2BIG) return std::string(what) + " [" + queueName + "]: message too long";
    return IpcAccess::failure(what, queueName, error);
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
        throw MQException(failure("Fail to read from MsgQueue.", errno));
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
    if (result < 0) throw MQException(failure("Fail to write MsgQueue.", errno));
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
    throw MQException(failure("Fail to write MsgQueue.", errno));
}

unsigned long MsgQueue::byteLimit() const {
    msqid_ds ds{};
    if (msgctl(qid, IPC_STAT, &ds) < 0) {
        throw MQException(failure("Fail to read the MsgQueue limit.", errno));
    }
    return ds.msg_qbytes;
}

bool MsgQueue::setByteLimit(unsigned long bytes) {
    msqid_ds ds{};
    if (msgctl(qid, IPC_STAT, &ds) < 0) {
        throw MQException(failure("Fail to read the MsgQueue limit.", errno));
    }
    ds.msg_qbytes = bytes;
    if (msgctl(qid, IPC_SET, &ds) == 0) return true;
    if (errno == EPERM) return false;
    throw MQException(failure("Fail to set the MsgQueue limit.", errno));
}
