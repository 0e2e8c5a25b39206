// The queue server's helpers beside the drains and the report writer: the
// watcher that wakes idle drains when a row is committed.

#include "smsd/Daemon.h"

#include <QLoggingCategory>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::smsd {

using std::chrono::milliseconds;

void Daemon::WaitForWork(milliseconds poll) {
    std::unique_lock lock(workMutex_);
    const quint64 seen = newRows_;
    work_.wait_for(lock, poll, [&] { return stop_ || newRows_ != seen; });
}

void Daemon::WatchLoop() {
    Connection db(QStringLiteral("smsd-watch"), settings_.limits);
    QueueStore store(db, settings_.worker, settings_.clock, settings_.refund);
    qint64 latest = -1;
    bool opened = false;
    milliseconds backoff(500);
    while (!stop_) {
        try {
            // Opened once; a lost connection is opened again by the next call
            // (closing it would leave the store's prepared statements behind).
            if (!opened) {
                db.Open(settings_.source);
                opened = true;
            }
            const qint64 now = store.LatestRow();
            if (now != latest) {
                if (latest >= 0) {
                    const std::lock_guard lock(workMutex_);
                    ++newRows_;
                }
                latest = now;
                work_.notify_all();
            }
            backoff = milliseconds(500);
            Pause(kWatchEvery);
        } catch (const std::exception& e) {
            // The drains' own work tells the rest; this only wakes them sooner.
            qCDebug(lcQueue, "watch: %s", e.what());
            Pause(backoff);
            backoff = std::min(backoff * 2, settings_.backoffMax);
        }
    }
}

} // namespace telvoro::smsd
