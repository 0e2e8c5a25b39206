#pragma once
// A listening TCP socket on 127.0.0.1 at a free port, for the tests' own peers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace telvoro::testing {

// Returns the socket and sets `port`; throws naming `who` when it cannot listen.
inline int ListenOnLoopback(int backlog, int& port, const std::string& who) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        if (listener >= 0) close(listener);
        throw std::runtime_error(who + ": cannot listen");
    }
    port = ntohs(addr.sin_port);
    return listener;
}

} // namespace telvoro::testing
