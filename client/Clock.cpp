#include "client/Clock.h"

namespace telvoro::client {

namespace {

class Steady final : public Clock {
public:
    std::chrono::milliseconds Now() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

} // namespace

Clock& SteadyClock() {
    static Steady clock;
    return clock;
}

bool TimeSlicer::Due() {
    const std::chrono::milliseconds now = clock_.Now();
    if (!since_) {
        since_ = now;
        return false;
    }
    return now - *since_ >= slice_;
}

} // namespace telvoro::client
