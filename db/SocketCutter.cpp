#include "db/SocketCutter.h"

#include <algorithm>
#include <cstdlib>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvoro {

namespace {

// The peer's port, 0 while still connecting; nothing for a socket that is
// neither an IP stream nor connecting (listening, Unix domain).
bool PeerPort(int fd, int& port) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
        if (peer.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
        else if (peer.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
        else
            return false;
        return true;
    }
    sockaddr_storage self{};
    socklen_t selfLength = sizeof self;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
        (self.ss_family != AF_INET && self.ss_family != AF_INET6))
        return false;
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening)
        return false;
    port = 0;
    return true;
}

} // namespace

std::vector<Socket> TcpSockets(int peerPort) {
    std::vector<Socket> sockets;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return sockets;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        const int fd = static_cast<int>(number);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        int port = 0;
        if (!PeerPort(fd, port)) continue;
        if (peerPort != 0 && port != 0 && port != peerPort) continue;
        sockets.push_back({fd, static_cast<std::uint64_t>(st.st_ino)});
    }
    closedir(dir);
    return sockets;
}

std::vector<Socket> NewSockets(const std::vector<Socket>& before, int peerPort) {
    std::vector<Socket> fresh;
    for (const Socket& s : TcpSockets(peerPort))
        if (std::find(before.begin(), before.end(), s) == before.end()) fresh.push_back(s);
    return fresh;
}

void CutSocket(int fd) {
    if (shutdown(fd, SHUT_RDWR) == 0) return;
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    (void)connect(fd, &none, sizeof none);
}

void KeepAlive(int fd) {
    const int on = 1, idle = 60, interval = 10, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void SocketCutter::Add(int fd) {
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
        sockets_.push_back({fd, static_cast<std::uint64_t>(st.st_ino)});
}

void SocketCutter::CutAll() const {
    for (const Socket& s : sockets_) {
        struct stat st {};
        if (fstat(s.fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_ino) == s.inode)
            CutSocket(s.fd);
    }
}

} // namespace telvoro
