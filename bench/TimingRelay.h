#pragma once
// A TCP relay on 127.0.0.1 that times each exchange passing through it: from
// a request's first byte to the first byte of the answer. Put between smsbox
// and the queue server's report endpoint, which answers a report only once it
// is stored, it measures how long a report waits to be stored, from outside.
// One thread; POSIX sockets; no pipelining (smsbox sends one report at a time
// on a connection).

#include "tests/support/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
        for (Pair& p : pairs_)
            Close(p);
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

    void Loop() {
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.assign(1, pollfd{listener_, POLLIN, 0});
            for (const Pair& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 100) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                Pair p;
                p.client = accept(listener_, nullptr, nullptr);
                p.server = p.client >= 0 ? Connect() : -1;
                if (p.server >= 0)
                    pairs_.push_back(p);
                else
                    Close(p);
            }
            for (size_t i = 0; i + 1 < fds.size(); i += 2) {
                Pair& p = pairs_[i / 2];
                bool alive = true;
                if (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) {
                    if (!p.waiting) p.waiting = true, p.since = Clock::now();
                    alive = Move(p.client, p.server);
                }
                if (alive && fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
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
                if (!alive) Close(p);
            }
            pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(),
                                        [](const Pair& p) { return p.client < 0; }),
                         pairs_.end());
        }
    }

    int upstreamPort_, listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<Pair> pairs_; // the loop's own
    std::mutex mutex_;
    std::vector<double> ms_;
    Clock::time_point last_;
};

} // namespace telvoro::bench
