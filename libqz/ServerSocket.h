// ServerSocket: the listening socket of the acceptor. It binds a port on every local address, or
// on one, and listens; accept() hands out the descriptor of each new connection, to be wrapped in a
// Socket.
//
// Thread contract: owned by the accepting thread; getRemoteIp() must be read before the next
// accept().
#pragma once

#include <string>

#include "Socket.h"

class ServerSocket : public Socket {
  public:
    // Binds servicePort (0 picks a free one) and listens with the given backlog. SO_REUSEADDR is
    // not set. On failure the descriptor is closed and the SocketException leaves
    // ("Failed to bind socket." or "Failed to set listen backlog.").
    ServerSocket(int servicePort, int listenBacklogs);
    // The same on one local dotted-decimal IPv4 address ("": every address).
    ServerSocket(int servicePort, int listenBacklogs, const std::string& address);

    // Blocks until a connection arrives; returns its descriptor.
    int accept();

    // The longest queue of pending connections the system grants: the larger of SOMAXCONN and
    // /proc/sys/net/core/somaxconn (listen() caps a backlog at the latter anyway).
    static int maxBacklog();
};
