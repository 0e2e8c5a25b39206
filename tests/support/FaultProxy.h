#pragma once
// A TCP proxy between a client and PostgreSQL that injects the faults a real
// network and server produce: it passes everything through, or drops the
// server's reply to the Nth COMMIT (the server has committed, the client
// never hears it), or cuts the connection when the Nth COMMIT comes (the
// server never sees it), or stops forwarding, or refuses new connections.
// One thread; POSIX sockets; for tests only.

#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace telvoro {

class FaultProxy {
public:
    enum class Mode { Pass, DropReplyToCommit, CutAtCommit, Stall };

    explicit FaultProxy(int upstreamPort) : upstreamPort_(upstreamPort) {
        listener_ = telvoro::testing::ListenOnLoopback(64, port_, "fault proxy");
        if (pipe(wake_) != 0) throw std::runtime_error("fault proxy: no pipe");
        thread_ = std::thread([this] { Loop(); });
    }
    ~FaultProxy() {
        stop_ = true;
        Wake();
        thread_.join();
        for (Pair& p : pairs_)
            Close(p);
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    int port() const { return port_; }

    // `n` counts the COMMITs from this call on, over all connections.
    void Set(Mode mode, int n = 1) {
        std::lock_guard lock(mutex_);
        mode_ = mode;
        commitTarget_ = n;
        commitsSeen_ = 0;
        struck_ = false;
        Wake();
    }
    // New connections are closed at once, as a server that is away.
    void RefuseNew(bool refuse) { refuse_ = refuse; }
    // Whether the fault of the last Set has struck.
    bool Struck() const { return struck_; }

private:
    struct Pair {
        int client = -1, server = -1;
        std::string fromClient; // bytes not yet forwarded, up to a whole message
        bool startup = true;    // the untyped start-up messages come first
        bool swallow = false;   // the server's answers are dropped, then both ends cut
        bool dead = false;
    };

    void Wake() {
        const char c = 0;
        (void)!write(wake_[1], &c, 1);
    }
    static void Close(Pair& p) {
        if (p.client >= 0) close(p.client);
        if (p.server >= 0) close(p.server);
        p.client = p.server = -1;
        p.dead = true;
    }
    static void SendAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    static std::uint32_t BigEndian(const char* p) {
        return (std::uint32_t(std::uint8_t(p[0])) << 24) |
               (std::uint32_t(std::uint8_t(p[1])) << 16) |
               (std::uint32_t(std::uint8_t(p[2])) << 8) | std::uint32_t(std::uint8_t(p[3]));
    }
    static bool IsCommit(const std::string& message) {
        if (message.size() < 5 || message[0] != 'Q') return false;
        std::string text;
        for (std::size_t i = 5; i < message.size() && message[i] != '\0'; ++i)
            text += static_cast<char>(std::toupper(static_cast<unsigned char>(message[i])));
        text.erase(0, text.find_first_not_of(" \t\r\n"));
        return text.rfind("COMMIT", 0) == 0 || text.rfind("END", 0) == 0;
    }

    void Accept() {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        if (refuse_) {
            close(client);
            return;
        }
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(server);
            close(client);
            return;
        }
        Pair p;
        p.client = client;
        p.server = server;
        pairs_.push_back(p);
    }

    // Forwards the client's whole messages, watching for COMMIT.
    void FromClient(Pair& p) {
        char buffer[65536];
        const ssize_t n = recv(p.client, buffer, sizeof buffer, 0);
        if (n <= 0) return Close(p);
        std::lock_guard lock(mutex_);
        if (mode_ == Mode::Stall) return;
        p.fromClient.append(buffer, static_cast<std::size_t>(n));
        for (;;) {
            std::size_t size = 0;
            if (p.startup) {
                if (p.fromClient.size() < 8) return;
                size = BigEndian(p.fromClient.data());
                const std::uint32_t code = BigEndian(p.fromClient.data() + 4);
                // SSL and GSS requests come before the start-up message proper.
                if (code != 80877103 && code != 80877104) p.startup = false;
            } else {
                if (p.fromClient.size() < 5) return;
                size = 1 + BigEndian(p.fromClient.data() + 1);
            }
            if (p.fromClient.size() < size) return;
            const std::string message = p.fromClient.substr(0, size);
            p.fromClient.erase(0, size);
            if (!p.startup && IsCommit(message) &&
                (mode_ == Mode::DropReplyToCommit || mode_ == Mode::CutAtCommit) &&
                ++commitsSeen_ == commitTarget_) {
                struck_ = true;
                if (mode_ == Mode::CutAtCommit) return Close(p);
                SendAll(p.server, message.data(), message.size());
                p.swallow = true;
                continue;
            }
            if (!p.swallow) SendAll(p.server, message.data(), message.size());
        }
    }

    void FromServer(Pair& p) {
        char buffer[65536];
        const ssize_t n = recv(p.server, buffer, sizeof buffer, 0);
        if (n <= 0) return Close(p);
        std::lock_guard lock(mutex_);
        if (p.swallow) {
            // The server has answered the COMMIT: it is final; the client never hears it.
            if (std::memchr(buffer, 'Z', static_cast<std::size_t>(n))) Close(p);
            return;
        }
        if (mode_ == Mode::Stall) return;
        SendAll(p.client, buffer, static_cast<std::size_t>(n));
    }

    void Loop() {
        while (!stop_) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const Pair& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 200) <= 0) continue;
            if (fds[0].revents) {
                char drain[64];
                (void)!read(wake_[0], drain, sizeof drain);
            }
            if (fds[1].revents & POLLIN) Accept();
            for (std::size_t i = 0; i < pairs_.size() && 2 + 2 * i + 1 < fds.size(); ++i) {
                Pair& p = pairs_[i];
                if (!p.dead && fds[2 + 2 * i].revents) FromClient(p);
                if (!p.dead && fds[2 + 2 * i + 1].revents) FromServer(p);
            }
            pairs_.erase(
                std::remove_if(pairs_.begin(), pairs_.end(), [](const Pair& p) { return p.dead; }),
                pairs_.end());
        }
    }

    int upstreamPort_, port_ = 0, listener_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    Mode mode_ = Mode::Pass;
    int commitTarget_ = 0, commitsSeen_ = 0;
    std::atomic<bool> stop_{false}, refuse_{false}, struck_{false};
    std::vector<Pair> pairs_;
    std::thread thread_;
};

} // namespace telvoro
