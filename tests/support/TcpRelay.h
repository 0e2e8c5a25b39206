#pragma once
// What every relay of the tests and benchmarks shares: a listener on
// 127.0.0.1, one upstream connection per client, one thread serving them all
// through epoll (smsbox keeps hundreds of connections open: a poll over all
// of them at every wake-up costs a benchmark on a busy machine).
// The owner's hooks decide what each chunk of bytes does (forward it with
// SendAll, keep it, cut the link); the relay only moves and closes sockets.
// Declare the relay as its owner's last member: it is then made after and
// stopped before everything its hooks use. POSIX sockets; for tests only.
// The tests start programs while a relay runs: a forked child holds the
// relay's sockets until its exec, and epoll keeps a closed socket's events
// while another process holds it. So the sockets close at exec, and an
// event names its link by number, never by address: a late event for a
// link already gone finds nothing.

#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

namespace telvoro::testing {

template <class State> class TcpRelay {
public:
    struct Link {
        int client = -1, server = -1; // -1: closed; a link without its client is gone
        State state{};
    };
    using Bytes = std::function<void(Link&, const char* data, std::size_t size)>;
    struct Hooks {
        Bytes fromClient, fromServer;     // size 0: that end closed
        std::function<bool()> admit = {}; // false: a new client is closed at once
    };

    TcpRelay(int upstreamPort, const std::string& who, Hooks hooks)
        : upstreamPort_(upstreamPort), hooks_(std::move(hooks)) {
        listener_ = ListenOnLoopback(1024, port_, who);
        if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(who + ": no pipe");
        thread_ = std::thread([this] { Loop(); });
    }
    ~TcpRelay() {
        stop_ = true;
        Wake();
        thread_.join();
        for (const auto& [id, l] : links_)
            Close(*l);
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int port() const { return port_; }
    // The loop looks again at once (after its owner changed what the hooks do).
    void Wake() { (void)!write(wake_[1], "", 1); }

    static void SendAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    static void CloseServer(Link& l) {
        if (l.server >= 0) close(l.server);
        l.server = -1;
    }
    static void Close(Link& l) {
        CloseServer(l);
        if (l.client >= 0) close(l.client);
        l.client = -1;
    }

private:
    // An event's tag: the wake pipe, the listener, or a link's end (its
    // number, from 2 on, shifted left; the low bit set for the server's end).
    static constexpr std::uint64_t kWake = 0, kListener = 2;
    void Watch(int fd, std::uint64_t tag) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = tag;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
    }

    void Accept() {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        if (hooks_.admit && !hooks_.admit()) {
            close(client);
            return;
        }
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(server);
            close(client); // as the server itself would refuse
            return;
        }
        const std::uint64_t id = nextId_++;
        links_.emplace(id, std::make_unique<Link>(Link{client, server, {}}));
        Watch(client, id << 1);
        Watch(server, (id << 1) | 1);
    }

    void Loop() {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        Watch(wake_[0], kWake);
        Watch(listener_, kListener);
        epoll_event events[256];
        while (!stop_) {
            const int n = epoll_wait(epoll_, events, 256, 200);
            for (int e = 0; e < n; ++e) {
                const std::uint64_t tag = events[e].data.u64;
                if (tag == kWake) {
                    char drain[64];
                    (void)!read(wake_[0], drain, sizeof drain);
                } else if (tag == kListener) {
                    Accept();
                } else {
                    // A link closed earlier in this batch is still there to
                    // look at; one gone in an earlier batch is not.
                    const auto it = links_.find(tag >> 1);
                    if (it == links_.end()) continue;
                    Link& l = *it->second;
                    const bool fromClient = (tag & 1) == 0;
                    if (l.client < 0 || (!fromClient && l.server < 0)) continue;
                    char buffer[65536];
                    const ssize_t got =
                        recv(fromClient ? l.client : l.server, buffer, sizeof buffer, 0);
                    (fromClient ? hooks_.fromClient : hooks_.fromServer)(
                        l, buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
                }
            }
            std::erase_if(links_, [](const auto& entry) { return entry.second->client < 0; });
        }
        close(epoll_);
    }

    int upstreamPort_, port_ = 0, listener_ = -1;
    int wake_[2] = {-1, -1}, epoll_ = -1;
    Hooks hooks_;
    std::atomic<bool> stop_{false};
    std::unordered_map<std::uint64_t, std::unique_ptr<Link>> links_; // the loop's own, by number
    std::uint64_t nextId_ = 2;
    std::thread thread_;
};

} // namespace telvoro::testing
