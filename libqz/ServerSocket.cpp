#include "ServerSocket.h"

#include <unistd.h>

ServerSocket::ServerSocket(int servicePort, int listenBacklogs) : Socket() {
    try {
        bindAddressPort(servicePort);
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
