#pragma once
// A TCP proxy in front of an HTTP/1.0 server (Kannel's sendsms) that stops one
// exchange at a chosen point and keeps it there: the whole request kept from
// the server, only the first half of it forwarded, or the request forwarded
// and the server's answer kept from the client. What the test does at that
// point runs on the proxy's thread the moment the hold begins, not a poll
// later. Every other exchange passes. One request per connection, as HTTP/1.0
// has it. One thread; POSIX sockets; for tests only.

#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace telvoro {

class HttpFaultProxy {
public:
    enum class Hold { Nothing, Request, HalfRequest, Answer };

    explicit HttpFaultProxy(int upstreamPort) : upstreamPort_(upstreamPort) {
        listener_ = telvoro::testing::ListenOnLoopback(64, port_, "HTTP fault proxy");
        if (pipe(wake_) != 0) throw std::runtime_error("HTTP fault proxy: no pipe");
        thread_ = std::thread([this] { Loop(); });
    }
    ~HttpFaultProxy() {
        stop_ = true;
        (void)!write(wake_[1], "", 1);
        thread_.join();
        for (Pair& p : pairs_)
            Close(p);
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }
    HttpFaultProxy(const HttpFaultProxy&) = delete;
    HttpFaultProxy& operator=(const HttpFaultProxy&) = delete;

    int port() const { return port_; }

    // Holds the `n`th request that arrives whole from this call on and then
    // runs `then`.
    void Set(Hold hold, int n = 1, std::function<void()> then = {}) {
        std::lock_guard lock(mutex_);
        hold_ = hold;
        target_ = n;
        seen_ = 0;
        then_ = std::move(then);
        holding_ = false;
    }
    // Whether the hold of the last Set is in place: the request is in hand
    // (and half of it forwarded), or the server has begun to answer.
    bool Holding() const { return holding_; }

private:
    struct Pair {
        int client = -1, server = -1;
        std::string head;     // the request until its blank line: then it is decided
        bool decided = false; // passed or held
        bool keep = false;    // the client's bytes go no further
        bool silence = false; // the server's answer goes no further
        bool dead = false;
    };

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

    void Accept() {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
        if (connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(server);
            close(client); // as the server itself would refuse
            return;
        }
        Pair p;
        p.client = client;
        p.server = server;
        pairs_.push_back(p);
    }

    void FromClient(Pair& p) {
        char buffer[65536];
        const ssize_t n = recv(p.client, buffer, sizeof buffer, 0);
        // The client gone (killed): the server sees its end of the request too.
        if (n <= 0) return Close(p);
        if (p.decided) {
            if (!p.keep) SendAll(p.server, buffer, static_cast<std::size_t>(n));
            return;
        }
        p.head.append(buffer, static_cast<std::size_t>(n));
        if (p.head.find("\r\n\r\n") == std::string::npos) return;
        p.decided = true;
        Hold hold = Hold::Nothing;
        {
            std::lock_guard lock(mutex_);
            if (hold_ != Hold::Nothing && seen_ < target_ && ++seen_ == target_) hold = hold_;
        }
        if (hold == Hold::Nothing || hold == Hold::Answer)
            SendAll(p.server, p.head.data(), p.head.size());
        else if (hold == Hold::HalfRequest)
            SendAll(p.server, p.head.data(), p.head.size() / 2);
        p.keep = hold == Hold::Request || hold == Hold::HalfRequest;
        p.silence = hold == Hold::Answer;
        if (p.keep) Begin();
    }

    void Begin() {
        if (holding_.exchange(true)) return;
        std::function<void()> then;
        {
            std::lock_guard lock(mutex_);
            then = then_;
        }
        if (then) then();
    }

    void FromServer(Pair& p) {
        char buffer[65536];
        const ssize_t n = recv(p.server, buffer, sizeof buffer, 0);
        if (p.silence) {
            // The server has answered: the client waits on, unanswered.
            Begin();
            if (n <= 0) {
                close(p.server);
                p.server = -1;
            }
            return;
        }
        if (n <= 0) return Close(p);
        SendAll(p.client, buffer, static_cast<std::size_t>(n));
    }

    void Loop() {
        while (!stop_) {
            // A closed server side stays in the list as -1, which poll passes over.
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const Pair& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 200) <= 0) continue;
            if (fds[1].revents & POLLIN) Accept();
            for (std::size_t i = 0; i < pairs_.size() && 2 + 2 * i + 1 < fds.size(); ++i) {
                Pair& p = pairs_[i];
                if (!p.dead && fds[2 + 2 * i].revents) FromClient(p);
                if (!p.dead && p.server >= 0 && fds[2 + 2 * i + 1].revents) FromServer(p);
            }
            pairs_.erase(
                std::remove_if(pairs_.begin(), pairs_.end(), [](const Pair& p) { return p.dead; }),
                pairs_.end());
        }
    }

    int upstreamPort_, port_ = 0, listener_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    Hold hold_ = Hold::Nothing;
    std::function<void()> then_;
    int target_ = 0, seen_ = 0;
    std::atomic<bool> stop_{false}, holding_{false};
    std::vector<Pair> pairs_;
    std::thread thread_;
};

} // namespace telvoro
