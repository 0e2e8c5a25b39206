#pragma once
// A clock for tests: it moves on by `step` at every reading and by Advance(),
// never by itself. A step of a whole slice makes every yield step dispatch;
// a step of zero makes none dispatch.

#include "client/Clock.h"

#include <chrono>

class ManualClock : public telvoro::client::Clock {
public:
    explicit ManualClock(std::chrono::milliseconds step = std::chrono::milliseconds(0))
        : step_(step) {}
    std::chrono::milliseconds Now() override {
        const std::chrono::milliseconds now = now_;
        now_ += step_;
        ++readings_;
        return now;
    }
    void Advance(std::chrono::milliseconds by) { now_ += by; }
    int Readings() const { return readings_; }

private:
    std::chrono::milliseconds step_;
    std::chrono::milliseconds now_{0};
    int readings_ = 0;
};
