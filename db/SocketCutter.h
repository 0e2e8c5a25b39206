#pragma once
// Finding a connection's TCP sockets and cutting them from another thread, so
// a call blocked in a driver returns at once. Drivers that keep their socket
// to themselves are found by what appeared in /proc/self/fd while they connected.

#include <cstdint>
#include <vector>

namespace telvoro {

// A socket by descriptor and inode: a descriptor the driver closed and the
// process reused is never taken for it.
struct Socket {
    int fd;
    std::uint64_t inode;
    bool operator==(const Socket&) const = default;
};

// The process's TCP sockets that are connected or connecting (listening ones
// left out); `peerPort` (when not 0) keeps those connected to that port or
// still connecting.
std::vector<Socket> TcpSockets(int peerPort);
// The sockets of TcpSockets(peerPort) that are not in `before`.
std::vector<Socket> NewSockets(const std::vector<Socket>& before, int peerPort);

// Ends whatever the socket is doing: a blocked read or write returns at once;
// a connect still under way is dissolved.
void CutSocket(int fd);

// Lets the kernel notice a dead peer between calls.
void KeepAlive(int fd);

// The sockets of one connection, cut together.
class SocketCutter {
public:
    // Adds the socket behind `fd`; nothing when it is not one.
    void Add(int fd);
    void Add(const Socket& socket) { sockets_.push_back(socket); }
    void Clear() { sockets_.clear(); }
    // Cuts every socket still the same one (same inode). Safe from any thread
    // while the owner does not change the set.
    void CutAll() const;

private:
    std::vector<Socket> sockets_;
};

} // namespace telvoro
