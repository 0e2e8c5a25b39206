#pragma once
// A TCP relay on 127.0.0.1 that times each exchange passing through it: from
// a request's first byte to the first byte of the answer. Put between smsbox
// and the queue server's report endpoint, which answers a report only once it
// is stored, it measures how long a report waits to be stored, from outside.
// No pipelining (smsbox sends one report at a time on a connection).

#include "tests/support/TcpRelay.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

namespace telvoro::bench {

class TimingRelay {
public:
    explicit TimingRelay(int upstreamPort)
        : relay_(upstreamPort, "timing relay",
                 {[this](Link& l, const char* d, std::size_t n) { FromClient(l, d, n); },
                  [this](Link& l, const char* d, std::size_t n) { FromServer(l, d, n); }}) {}

    int port() const { return relay_.port(); }

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
    struct State {
        bool waiting = false; // a request has begun and no answer yet
        Clock::time_point since;
    };
    using Relay = telvoro::testing::TcpRelay<State>;
    using Link = Relay::Link;

    void FromClient(Link& l, const char* data, std::size_t n) {
        if (n == 0) return Relay::Close(l);
        if (!l.state.waiting) l.state = {true, Clock::now()};
        Relay::SendAll(l.server, data, n);
    }

    void FromServer(Link& l, const char* data, std::size_t n) {
        if (n == 0) return Relay::Close(l);
        if (l.state.waiting) {
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            ms_.push_back(std::chrono::duration<double, std::milli>(now - l.state.since).count());
            last_ = now;
            l.state.waiting = false;
        }
        Relay::SendAll(l.client, data, n);
    }

    std::mutex mutex_;
    std::vector<double> ms_;
    Clock::time_point last_;
    Relay relay_; // last: stopped before the rest goes
};

} // namespace telvoro::bench
