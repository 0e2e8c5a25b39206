#pragma once
// A watchdog on one helper thread for the calls of one connection: armed
// around each call with its time limit, it runs the call's way out when the
// limit runs out, so no server can keep the client waiting past it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace telvoro {

class CallWatch {
public:
    CallWatch();
    ~CallWatch();
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // Runs `expire` on the helper thread once `limit` has passed, unless
    // Disarm came first. `expire` must not block: it breaks the call off
    // (interrupt, socket shutdown), it does not wait for it.
    void Arm(std::chrono::milliseconds limit, std::function<void()> expire);
    // Ends the watch; waits for a running `expire`. Returns whether the limit
    // ran out.
    bool Disarm();

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::chrono::steady_clock::time_point deadline_;
    std::function<void()> expire_;
    std::uint64_t generation_ = 0;
    bool armed_ = false, fired_ = false, stop_ = false;
    std::thread thread_;
};

// Arms a watch for one scope.
class WatchedCall {
public:
    WatchedCall(CallWatch& watch, std::chrono::milliseconds limit, std::function<void()> expire)
        : watch_(watch) {
        watch_.Arm(limit, std::move(expire));
    }
    ~WatchedCall() {
        if (!done_) watch_.Disarm();
    }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;
    // Ends the watch early; whether the limit ran out.
    bool End() {
        done_ = true;
        return fired_ = watch_.Disarm();
    }

private:
    CallWatch& watch_;
    bool done_ = false, fired_ = false;
};

} // namespace telvoro
