// Windows: a process cannot list its own sockets the way /proc/self/fd lets
// Linux, so a driver's sockets stay unknown and a call blocked in a driver
// ends by the driver's own time-outs (login, query) instead. SQLite's calls
// are still broken off, through sqlite3_interrupt.
#include "db/SocketCutter.h"

namespace telvoro {

std::vector<Socket> TcpSockets(int) {
    return {};
}

std::vector<Socket> NewSockets(const std::vector<Socket>&, int) {
    return {};
}

void CutSocket(int) {}

void KeepAlive(int) {}

void SocketCutter::Add(int) {}

void SocketCutter::CutAll() const {}

} // namespace telvoro
