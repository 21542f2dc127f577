// Two connected TCP sockets over 127.0.0.1 for tests of the socket layer and the FIX stream:
// `near` is the side under test (made by connecting, as the initiator does), `far` the accepted
// peer. Both descriptors are closed when the object ends, unless a test closed them already.
//
// Thread contract: one object per test thread.
#pragma once

#include "Socket.h"

class LoopbackPair {
  public:
    // Connects through a listener on a port the system picks; throws SocketException on failure.
    LoopbackPair();
    ~LoopbackPair();
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    Socket& near() { return nearSock; }
    Socket& far() { return farSock; }

    // Writes all of bytes on the far side (blocking); false when the connection failed.
    bool farWrite(const std::string& bytes);
    // Reads what has arrived on the far side within timeoutMs, up to max bytes.
    std::string farRead(int timeoutMs, std::size_t max = 65536);
    // Closes the far side normally (the near side sees end of file).
    void closeFar();
    // Closes the far side with a reset (SO_LINGER 0): the near side's next calls fail.
    void resetFar();
    // Shrinks a socket's send or receive buffer (the kernel keeps its own minimum).
    static void setBuffers(Socket& s, int sendBytes, int recvBytes);

  private:
    Socket nearSock{-1};
    Socket farSock{-1};
};
