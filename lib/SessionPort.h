// SessionPort: what the session rules (SessionCore) ask of the world around them. The gateway's
// Session implements it with the logs, the socket, the output queue and the console; the rules'
// tests implement it with lists they can read back. Nothing else passes between rules and I/O.
// Thread contract: called only from the session's own thread.
#pragma once

#include <functional>
#include <string>

class SessionPort {
  public:
    virtual ~SessionPort() = default;

    // Logs a new outbound message, then sends it. Throws LogException when the log cannot take
    // it; then nothing was sent.
    virtual void sendNew(const std::string& msg) = 0;
    // Sends a message again (a resend or a gap fill); it is not logged.
    virtual void sendAgain(const std::string& msg) = 0;
    // Offers an inbound application message to the application without waiting: false when it
    // cannot take it now. May throw when it never can (the queue is gone).
    virtual bool deliver(const std::string& msg) = 0;
    // Calls `each` with every line of the outgoing log, oldest first.
    virtual void replayOutgoing(const std::function<void(const std::string&)>& each) = 0;
    // In.seq has moved: it must survive a restart.
    virtual void inboundCounted() = 0;
    // Both numbers start again at 1 (a Logon with ResetSeqNumFlag): the records of the numbers
    // used so far are put aside, so a restart resumes the new numbering and a resend answer never
    // replays a message of the old one. Throws LogException when the records cannot be.
    virtual void numbersReset() = 0;
    // The idle rule starts a new quiet interval, as if something had just moved both ways.
    virtual void restartQuietInterval() = 0;
    // One console line; level 0 is protocol tracing.
    virtual void console(const std::string& line, int level) = 0;
};
