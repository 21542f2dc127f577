#include "ServerSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

ServerSocket::ServerSocket(int servicePort, int listenBacklogs)
    : ServerSocket(servicePort, listenBacklogs, std::string()) {}

ServerSocket::ServerSocket(int servicePort, int listenBacklogs, const std::string& address)
    : Socket() {
    try {
        // Lets a restarted acceptor take its port back while connections of its previous run
        // linger in TIME_WAIT; a port that another socket is listening on still fails to bind.
        setOption(SO_REUSEADDR, optionOn);
        bindAddressPort(servicePort, address);
        setListenBacklog(listenBacklogs);
    } catch (...) {
        // A constructor that throws leaves no object, so nobody else could close this descriptor.
        ::close(sock);
        sock = -1;
        throw;
    }
}

int ServerSocket::accept() {
    return acceptNewSocket();
}

int ServerSocket::maxBacklog() {
    int configured = 0;
    std::ifstream("/proc/sys/net/core/somaxconn") >> configured;
    return std::max(configured, SOMAXCONN);
}
