#pragma once
// What an operator would feel while a window's operation runs: the longest time
// between two event-loop turns (measured by a zero-interval timer) and how often
// one widget was painted meanwhile.

#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace telvoro::bench {

class EventLoopWatch : public QObject {
public:
    explicit EventLoopWatch(QWidget* painted) {
        painted->installEventFilter(this);
        connect(&beat_, &QTimer::timeout, this, [this] {
            if (since_.isValid()) longest_ = std::max(longest_, since_.nsecsElapsed());
            since_.restart();
        });
        beat_.setInterval(0);
    }
    // `fromNow`: the time until the first turn counts too, for an operation
    // that starts right after this call.
    void Start(bool fromNow = false) {
        paints_ = 0;
        longest_ = 0;
        if (fromNow)
            since_.start();
        else
            since_.invalidate();
        beat_.start();
    }
    void Stop() { beat_.stop(); }
    int paints() const { return paints_; }
    double longestMs() const { return static_cast<double>(longest_) / 1e6; }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints_;
        return false;
    }

private:
    QTimer beat_;
    QElapsedTimer since_;
    qint64 longest_ = 0;
    int paints_ = 0;
};

} // namespace telvoro::bench
