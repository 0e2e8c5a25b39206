#pragma once
// The time the client's paced work runs on. The yield step dispatches waiting
// events only once a slice of about 15 ms has passed, so a long loop that
// calls it for every item keeps the window answering without paying for it
// per item. The program runs on the steady clock; tests step their own clock
// and so test the order of events without waiting on real time.

#include <chrono>
#include <optional>

namespace telvoro::client {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time from an arbitrary origin.
    virtual std::chrono::milliseconds Now() = 0;
};

// std::chrono::steady_clock; lives as long as the program.
Clock& SteadyClock();

// How long the yield step lets a loop run between two dispatches.
inline constexpr std::chrono::milliseconds kYieldSlice{15};
// How often the hand-off file is looked for.
inline constexpr std::chrono::milliseconds kHandoffTickInterval{1000};

// Says when a dispatch is due: not at the first call (which starts the first
// slice), then once a whole slice has passed since the slice was started.
// Restart() starts the next slice after the dispatch, so the time the dispatch
// itself took is not counted against the loop.
class TimeSlicer {
public:
    explicit TimeSlicer(Clock& clock, std::chrono::milliseconds slice = kYieldSlice)
        : clock_(clock), slice_(slice) {}
    bool Due();
    void Restart() { since_ = clock_.Now(); }

private:
    Clock& clock_;
    std::chrono::milliseconds slice_;
    std::optional<std::chrono::milliseconds> since_;
};

} // namespace telvoro::client
