#pragma once
// A TCP proxy between a client and PostgreSQL that injects the faults a real
// network and server produce: it passes everything through, or drops the
// server's reply to the Nth COMMIT (the server has committed, the client
// never hears it), or cuts the connection when the Nth COMMIT comes (the
// server never sees it), or stops forwarding, or refuses new connections.
// For tests only.

#include "tests/support/TcpRelay.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

namespace telvoro {

class FaultProxy {
public:
    enum class Mode { Pass, DropReplyToCommit, CutAtCommit, Stall };

    explicit FaultProxy(int upstreamPort)
        : relay_(upstreamPort, "fault proxy",
                 {[this](Link& l, const char* d, std::size_t n) { FromClient(l, d, n); },
                  [this](Link& l, const char* d, std::size_t n) { FromServer(l, d, n); },
                  [this] { return !refuse_; }}) {}

    int port() const { return relay_.port(); }

    // `n` counts the COMMITs from this call on, over all connections.
    void Set(Mode mode, int n = 1) {
        {
            std::lock_guard lock(mutex_);
            mode_ = mode;
            commitTarget_ = n;
            commitsSeen_ = 0;
            struck_ = false;
        }
        relay_.Wake();
    }
    // New connections are closed at once, as a server that is away.
    void RefuseNew(bool refuse) { refuse_ = refuse; }
    // Whether the fault of the last Set has struck.
    bool Struck() const { return struck_; }

private:
    struct State {
        std::string fromClient; // bytes not yet forwarded, up to a whole message
        bool startup = true;    // the untyped start-up messages come first
        bool swallow = false;   // the server's answers are dropped, then both ends cut
    };
    using Relay = telvoro::testing::TcpRelay<State>;
    using Link = Relay::Link;

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

    // Forwards the client's whole messages, watching for COMMIT.
    void FromClient(Link& l, const char* data, std::size_t n) {
        if (n == 0) return Relay::Close(l);
        State& p = l.state;
        std::lock_guard lock(mutex_);
        if (mode_ == Mode::Stall) return;
        p.fromClient.append(data, n);
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
                if (mode_ == Mode::CutAtCommit) return Relay::Close(l);
                Relay::SendAll(l.server, message.data(), message.size());
                p.swallow = true;
                continue;
            }
            if (!p.swallow) Relay::SendAll(l.server, message.data(), message.size());
        }
    }

    void FromServer(Link& l, const char* data, std::size_t n) {
        if (n == 0) return Relay::Close(l);
        std::lock_guard lock(mutex_);
        if (l.state.swallow) {
            // The server has answered the COMMIT: it is final; the client never hears it.
            if (std::memchr(data, 'Z', n)) Relay::Close(l);
            return;
        }
        if (mode_ == Mode::Stall) return;
        Relay::SendAll(l.client, data, n);
    }

    std::mutex mutex_;
    Mode mode_ = Mode::Pass;
    int commitTarget_ = 0, commitsSeen_ = 0;
    std::atomic<bool> refuse_{false}, struck_{false};
    Relay relay_; // last: stopped before the rest goes
};

} // namespace telvoro
