#pragma once
// A TCP relay on 127.0.0.1 that times each exchange passing through it: from
// a request's first byte to the first byte of the answer. Put between smsbox
// and the queue server's report endpoint, which answers a report only once it
// is stored, it measures how long a report waits to be stored, from outside.
// One thread; epoll; no pipelining (smsbox sends one report at a time
// on a connection).

#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace telvoro::bench {

class TimingRelay {
public:
    explicit TimingRelay(int upstreamPort) : upstreamPort_(upstreamPort) {
        listener_ = telvoro::testing::ListenOnLoopback(1024, port_, "timing relay");
        thread_ = std::thread([this] { Loop(); });
    }
    ~TimingRelay() {
        stop_ = true;
        thread_.join();
        for (const auto& p : pairs_)
            Close(*p);
        close(listener_);
    }
    TimingRelay(const TimingRelay&) = delete;
    TimingRelay& operator=(const TimingRelay&) = delete;

    int port() const { return port_; }

    // When the last answer began.
    std::chrono::steady_clock::time_point LastAnswer() {
        std::lock_guard lock(mutex_);
        return last_;
    }

    // The exchanges' times in milliseconds since the last call, sorted.
    std::vector<double> Take() {
        std::lock_guard lock(mutex_);
        std::vector<double> ms;
        ms.swap(ms_);
        std::sort(ms.begin(), ms.end());
        return ms;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Pair {
        int client = -1, server = -1;
        bool waiting = false; // a request has begun and no answer yet
        Clock::time_point since;
    };

    static void Close(Pair& p) {
        if (p.client >= 0) close(p.client);
        if (p.server >= 0) close(p.server);
        p.client = p.server = -1;
    }

    int Connect() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(upstreamPort_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Moves what `from` has to `to`; false when either end is done.
    static bool Move(int from, int to) {
        char buffer[65536];
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }

    // epoll: smsbox keeps hundreds of connections open, and a poll over all
    // of them at every wake-up would cost the bench more CPU than the relay
    // is worth on a machine Kannel already keeps busy.
    void Loop() {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event listen{};
        listen.events = EPOLLIN;
        listen.data.ptr = nullptr;
        epoll_ctl(ep, EPOLL_CTL_ADD, listener_, &listen);
        epoll_event events[256];
        while (!stop_) {
            const int n = epoll_wait(ep, events, 256, 100);
            for (int e = 0; e < n; ++e) {
                if (events[e].data.ptr == nullptr) {
                    auto p = std::make_unique<Pair>();
                    p->client = accept(listener_, nullptr, nullptr);
                    p->server = p->client >= 0 ? Connect() : -1;
                    if (p->server < 0) {
                        Close(*p);
                        continue;
                    }
                    for (const int fd : {p->client, p->server}) {
                        epoll_event add{};
                        add.events = EPOLLIN;
                        add.data.u64 = 0;
                        add.data.ptr = p.get();
                        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &add);
                    }
                    pairs_.push_back(std::move(p));
                    continue;
                }
                Pair& p = *static_cast<Pair*>(events[e].data.ptr);
                if (p.client < 0) continue; // closed earlier in this round
                // Which end is ready is not in the event: both are looked at.
                pollfd ends[2] = {{p.client, POLLIN, 0}, {p.server, POLLIN, 0}};
                ::poll(ends, 2, 0);
                bool alive = true;
                if (ends[0].revents) {
                    if (!p.waiting) p.waiting = true, p.since = Clock::now();
                    alive = Move(p.client, p.server);
                }
                if (alive && ends[1].revents) {
                    if (p.waiting) {
                        const std::chrono::duration<double, std::milli> took =
                            Clock::now() - p.since;
                        std::lock_guard lock(mutex_);
                        ms_.push_back(took.count());
                        last_ = Clock::now();
                        p.waiting = false;
                    }
                    alive = Move(p.server, p.client);
                }
                if (!alive) Close(p); // closing removes both from the epoll set
            }
            pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(),
                                        [](const auto& p) { return p->client < 0; }),
                         pairs_.end());
        }
        close(ep);
    }

    int upstreamPort_, listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::unique_ptr<Pair>> pairs_; // the loop's own
    std::mutex mutex_;
    std::vector<double> ms_;
    Clock::time_point last_;
};

} // namespace telvoro::bench
