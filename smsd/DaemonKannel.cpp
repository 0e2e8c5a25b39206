// The daemon's dealings with Kannel beyond sending: whether it is reachable,
// and its facts on the numbers a dead worker was submitting. The sweep shares
// the thread: both are slow now and then and must never hold up reports.

#include "smsd/Daemon.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::smsd {

using std::chrono::milliseconds;

void Daemon::SweepLoop() {
    Connection db(QStringLiteral("smsd-sweep"), settings_.limits);
    QueueStore store(db, settings_.worker, settings_.clock, settings_.refund,
                     settings_.refundUnknown);
    std::unique_ptr<KannelWatch> watch;
    if (settings_.kannelConfig) watch = std::make_unique<KannelWatch>(*settings_.kannelConfig);
    // A short validity is swept as often as it asks for.
    const milliseconds every =
        std::max(milliseconds(1000), std::min(settings_.sweepEvery, settings_.validity / 4));
    const auto now = [] { return std::chrono::steady_clock::now(); };
    auto nextSweep = now() + every;
    auto nextCheck = now(), nextBeat = now();
    while (Pause(milliseconds(200))) {
        TellKannelAway();
        if (now() >= nextCheck) {
            AskKannel(watch.get());
            // Not a whole number of seconds: each look at Kannel's uptime
            // (read to the second) falls at another phase and narrows when
            // it started, so a number sent just after is not taken for lost.
            nextCheck = now() + milliseconds(2370);
        }
        const bool beat = now() >= nextBeat, sweep = now() >= nextSweep;
        if (!beat && !sweep) continue;
        if (beat) nextBeat = now() + std::chrono::seconds(5);
        if (sweep) nextSweep = now() + every;
        try {
            if (!db.IsOpen()) {
                db.Open(settings_.source);
                queue::PrepareQueueDatabase(db);
            }
            if (beat) Beat(store);
            if (sweep) store.Sweep(settings_.validity);
        } catch (const std::exception& e) {
            qCWarning(lcQueue, "sweep: %s; again in %lld ms", e.what(),
                      static_cast<long long>(every.count()));
            db.Close();
        }
    }
}

void Daemon::Beat(QueueStore& store) {
    const qint64 away = kannelAwaySince_;
    try {
        store.Beat({started_, lastClaim_, lastReport_, away == 0,
                    away != 0 ? away : kannelBackSince_.load()});
    } catch (const std::exception& e) {
        // The database away is the sweep's to report; one that answers but
        // has no SendWorker (not yet upgraded by init) still sends, and only
        // the status lacks this worker.
        store.LatestRow();
        if (!std::exchange(beatWarned_, true))
            qCWarning(lcQueue,
                      "no line for telvoro-admin status (run telvoro-admin init to "
                      "upgrade the tables): %s",
                      e.what());
    }
}

void Daemon::AskKannel(KannelWatch* watch) {
    {
        // The writer has not used the last facts yet (reports keep it busy):
        // asking again only makes Kannel list its store for nothing.
        const std::lock_guard lock(factsMutex_);
        if (facts_ && (facts_->storeLooked || !checkWanted_)) return;
    }
    std::optional<queue::KannelFacts> facts;
    if (watch) {
        try {
            facts = watch->Facts(std::chrono::seconds(5), checkWanted_);
        } catch (const std::exception& e) {
            qCWarning(lcQueue, "Kannel's admin interface: %s", e.what());
        }
        if (!facts) return; // Kannel away: nothing can be decided now
    } else {
        // Nothing to ask: the numbers end unknown once a report had its chance.
        facts.emplace();
        facts->at = queue::SystemClock();
        facts->grace = 60000;
    }
    const std::lock_guard lock(factsMutex_);
    facts_ = std::move(facts);
}

std::optional<queue::KannelFacts> Daemon::TakeFacts() {
    const std::lock_guard lock(factsMutex_);
    return std::exchange(facts_, std::nullopt);
}

void Daemon::KannelSeen(bool reachable) {
    if (!reachable) {
        qint64 none = 0;
        kannelAwaySince_.compare_exchange_strong(none, queue::SystemClock());
        return;
    }
    const qint64 since = kannelAwaySince_.exchange(0);
    if (since != 0 || kannelBackSince_ == 0) kannelBackSince_ = queue::SystemClock();
    if (since != 0 && kannelAwaySaid_.exchange(false))
        qCCritical(lcQueue, "Kannel is reachable again after %lld s away",
                   static_cast<long long>((queue::SystemClock() - since) / 1000));
}

void Daemon::TellKannelAway() {
    const qint64 since = kannelAwaySince_;
    if (since == 0 || queue::SystemClock() - since < 60000 || kannelAwaySaid_.exchange(true))
        return;
    qCCritical(lcQueue,
               "KANNEL UNREACHABLE for over a minute (since %s): nothing is sent until it is "
               "back; is bearerbox/smsbox running and supervised?",
               qPrintable(QDateTime::fromMSecsSinceEpoch(since).toString(Qt::ISODate)));
}

} // namespace telvoro::smsd
