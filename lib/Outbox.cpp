#include "Outbox.h"

#include <ctime>

Outbox::Outbox(SessionCore& c, Log& log, Comm& stream, MemoryCell* const& siteCell,
               const std::unique_ptr<Journal>& j, const int& day)
    : core(c), outLog(log), comm(stream), cell(siteCell), journal(j), logDay(day) {}

void Outbox::sleep(std::unique_lock<std::mutex>& hold, const std::function<void()>& wait) {
    sleeping = true;
    hold.unlock();
    wait();
    hold.lock();
    sleeping = false;
}

bool Outbox::sendFromPipe(Pipe& p, const std::function<int()>& slotOf) {
    std::string text = p.readMsg();
    // An empty line is the dispatcher's wake-up after a direct send left output pending.
    while (text.empty() && p.hasMessage()) text = p.readMsg();
    if (text.empty()) return false;
    std::size_t n = 0;
    int seq = cell->Out.seq;
    for (;;) {
        seq = SessionCore::nextAfter(seq);
        stage(n++, slotOf(), text, seq);
        if (n == maxBatch || !p.hasMessage()) break;
        text = p.readMsg();
        if (text.empty()) break;
    }
    logAndSend(n);
    return true;
}

void Outbox::stage(std::size_t i, int slot, const std::string& text, int seq) {
    if (batch.size() <= i) {
        batch.resize(i + 1);
        slots.resize(i + 1);
    }
    batch[i] = core.buildApplication(text, seq);
    slots[i] = slot;
    if (slot >= 0 && journal) journal->stamp(slot, seq, logDay);
}

void Outbox::logAndSend(std::size_t n) {
    try {
        if (gate) gate(batch.data(), slots.data(), n);
        outLog.writeAll(batch, n);
    } catch (const LogException&) {
        // Not logged, so neither sent nor numbered: the texts stay held for the next session.
        for (std::size_t i = 0; i < n; ++i) {
            if (slots[i] >= 0 && journal) journal->stamp(slots[i], 0, 0);
        }
        throw;
    }
    if (afterLog) afterLog();
    cell->Out.seq = outLog.getLastSeq();
    for (std::size_t i = 0; i < n; ++i) {
        if (slots[i] >= 0 && journal) journal->release(slots[i]);
        if (i + 1 < n) comm.queue(batch[i]);
    }
    comm.send(batch[n - 1]);
    cell->Out.last = std::time(nullptr);
    cell->Out.proc += static_cast<int>(n);
}

void Outbox::sendNew(const std::string& msg) {
    try {
        if (gate) {
            const int none = -1;
            gate(&msg, &none, 1);
        }
        outLog.write(msg);
    } catch (const LogException&) {
        cell->Out.seq = Log::getSeq(msg) - 1;
        throw;
    }
    if (afterLog) afterLog();
    comm.send(msg);
    cell->Out.last = std::time(nullptr);
}

void Outbox::sendAgain(const std::string& msg) {
    if (gate) gate(nullptr, nullptr, 0);
    comm.send(msg);
    cell->Out.last = std::time(nullptr);
}

bool Outbox::sendDirect(int slot, const std::string& text, bool& wake) {
    wake = false;
    std::unique_lock<std::mutex> hold(work, std::try_to_lock);
    if (!hold.owns_lock() || !sleeping || !directAllowed || !directAllowed()) return false;
    try {
        stage(0, slot, text, core.nextOutSeq());
        logAndSend(1);
    } catch (const LogException&) {
        // Not logged: the text goes the long way, and the loop meets the failure itself.
        return false;
    } catch (const SocketException&) {
        // Logged and numbered: the loop's next read finds the connection gone, and the message
        // goes again on the counterparty's resend request.
        return true;
    } catch (const std::exception&) {
        return false;
    }
    wake = comm.pending() > 0;
    return true;
}
