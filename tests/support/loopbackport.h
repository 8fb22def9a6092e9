// A TCP port on 127.0.0.1 that no server holds, for a throwaway server a test starts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>

namespace testsupport {

inline sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Below the kernel's ephemeral range (32768 and up), so that no outgoing connection of
// a test running beside holds it, and checked by bind(), so that no listening server
// does. Another test may still take it before the caller's server binds: callers try
// again with a new port when their server does not start.
inline int FreeLoopbackPort() {
    for (;;) {
        const int port = int(QRandomGenerator::global()->bounded(20000, 32000));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return port;  // unchecked: the server's own start then says why it failed
        const sockaddr_in addr = Loopback(port);
        const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) return port;
    }
}

}  // namespace testsupport
