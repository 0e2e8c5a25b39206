#include "db/CallWatch.h"

#include <utility>

namespace telvoro {

CallWatch::CallWatch() : thread_([this] { Loop(); }) {}

CallWatch::~CallWatch() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void CallWatch::Arm(std::chrono::milliseconds limit, std::function<void()> expire) {
    {
        std::lock_guard lock(mutex_);
        deadline_ = std::chrono::steady_clock::now() + limit;
        expire_ = std::move(expire);
        armed_ = true;
        fired_ = false;
        ++generation_;
    }
    wake_.notify_all();
}

bool CallWatch::Disarm() {
    // The helper runs `expire` under the lock, so this waits for it.
    std::lock_guard lock(mutex_);
    armed_ = false;
    expire_ = nullptr;
    wake_.notify_all();
    return fired_;
}

void CallWatch::Loop() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (!armed_) {
            wake_.wait(lock);
            continue;
        }
        const std::uint64_t generation = generation_;
        if (wake_.wait_until(lock, deadline_,
                             [&] { return stop_ || !armed_ || generation_ != generation; }))
            continue;
        fired_ = true;
        armed_ = false;
        if (expire_) expire_();
    }
}

} // namespace telvoro
