// The queue server's own line for telvoro-admin status, and the numbers a
// dead worker left "checking", decided with Kannel's facts.

#include "queue/QueueStore.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QSet>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::queue {

namespace {

void Log(const QStringList& lines) {
    for (const QString& line : lines)
        qCInfo(lcQueue).noquote() << line;
}

} // namespace

void QueueStore::Beat(const WorkerBeat& beat) {
    QueueStorage::Tx tx(storage_);
    storage_.WorkerSeen(worker_, {beat.started, clock_(), beat.lastClaim, beat.lastReport,
                                  beat.kannelUp ? 1 : 0, beat.kannelSince});
    tx.Commit();
}

CheckCounts QueueStore::Check(const KannelFacts& facts) {
    // Kannel's clock is read to the second.
    constexpr qint64 kSlack = 2000;
    // Kannel's start is on this host's clock already (KannelFacts); another
    // worker's clock may be a little off.
    constexpr qint64 kClockSlack = 500;
    // A message that left the store just before it was looked at has had its
    // report handed over within this.
    constexpr qint64 kSettle = 10000;
    CheckCounts counts;
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    QList<qint64> handed;
    const QList<qint64> open = storage_.OpenRows(&handed);
    // Almost always none: then the numbers awaiting their reports, tens of
    // thousands in a busy hour, are not read at all.
    bool anyChecking = false;
    for (qsizetype first = 0; first < open.size() && !anyChecking; first += QueueStorage::kChunk)
        anyChecking = !storage_.RowsChecking(open.mid(first, QueueStorage::kChunk)).isEmpty();
    if (!anyChecking) {
        absentSince_.clear();
        return counts;
    }
    counts.storeWanted = true;
    if (!facts.storeLooked) return counts;
    std::vector<QueueStorage::Checked> numbers;
    // smsbox gives the messages of one request a single ID, and bearerbox's
    // store keeps one message per ID: a request of many numbers shows there
    // as one message, to whichever number it handed over last, until the
    // first of them leaves. A message found is its whole round's.
    // Otherwise the store names receivers only: a message to a number taken
    // by Kannel ("submitted", not yet accepted by the SMSC) in a round of its
    // own is that number's, and only the messages it leaves over can be a
    // checked number's (a phone may be in a row twice, or in another row).
    std::map<std::tuple<qint64, int>, std::vector<QString>> submittedRounds;
    for (qsizetype first = 0; first < open.size(); first += QueueStorage::kChunk)
        for (QueueStorage::Checked& n :
             storage_.CheckingNumbers(open.mid(first, QueueStorage::kChunk))) {
            if (n.checking)
                numbers.push_back(std::move(n));
            else
                submittedRounds[{n.id, n.round}].push_back(n.phone);
        }
    if (numbers.empty()) {
        absentSince_.clear();
        return counts;
    }
    // smsbox acts on a whole request or none of it: a report for one number
    // of a round says Kannel took all of them, and the others' reports are
    // still to come (a slow SMSC, smsbox's retries). Sending them again would
    // send them twice.
    std::set<qint64> rowIds;
    for (const QueueStorage::Checked& n : numbers)
        rowIds.insert(n.id);
    const QList<qint64> checkedRows(rowIds.begin(), rowIds.end());
    std::set<std::pair<qint64, int>> reported;
    for (qsizetype first = 0; first < checkedRows.size(); first += QueueStorage::kChunk)
        reported.merge(storage_.ReportedRounds(checkedRows.mid(first, QueueStorage::kChunk)));
    std::map<QString, qint64> submitted;
    for (const auto& [round, phones] : submittedRounds)
        if (phones.size() == 1) ++submitted[phones.front()];
    std::set<std::tuple<qint64, int>> inStore;
    for (const QueueStorage::Checked& n : numbers) {
        const auto [from, to] = facts.stored.equal_range(n.phone);
        qint64& others = submitted[n.phone];
        const qint64 held = std::count_if(
            from, to, [&](const auto& message) { return message.second >= n.submitAt - kSlack; });
        if (held <= others) continue;
        ++others; // this one's message: not another checked number's
        inStore.emplace(n.id, n.round);
    }
    std::map<qint64, bool> reopened; // row: back to be claimed
    QList<qint64> rows;
    QStringList log;
    for (const QueueStorage::Checked& n : numbers) {
        const auto key = std::make_tuple(n.id, n.round, n.phone);
        const bool stored = inStore.count({n.id, n.round}) > 0;
        NumberStatus status = NumberStatus::Checking;
        QString why;
        if (stored) {
            status = NumberStatus::Submitted;
            why = QStringLiteral("its request in Kannel's store after its worker stopped");
        } else if (now < n.since + facts.grace) {
            continue; // its report may still come
        } else if (facts.runningSince > n.submitAt - kClockSlack) {
            status = NumberStatus::Unknown;
            why = QStringLiteral("its worker stopped while submitting and Kannel restarted since");
        } else if (n.since + facts.grace > n.submitAt + facts.reportWindow) {
            status = NumberStatus::Unknown;
            why = QStringLiteral("its worker stopped while submitting, longer than smsbox retries "
                                 "a report");
        } else if (reported.count({n.id, n.round}) > 0) {
            status = NumberStatus::Submitted;
            why = QStringLiteral("its request reached Kannel (another of its numbers has a report) "
                                 "after its worker stopped");
        } else {
            const qint64 absent = absentSince_.try_emplace(key, facts.at).first->second;
            if (facts.at - absent < kSettle) continue; // looked at once more first
            auto it = reopened.find(n.id);
            if (it == reopened.end()) it = reopened.emplace(n.id, storage_.ReopenRow(n.id)).first;
            if (!it->second) continue; // a drain still holds the row: once handed over
            status = NumberStatus::Waiting;
            why = QStringLiteral("never reached Kannel (its worker stopped): sent again");
        }
        if (!storage_.CheckSettle(n, status, why, now)) continue;
        absentSince_.erase(key);
        (status == NumberStatus::Submitted ? counts.submitted
         : status == NumberStatus::Waiting ? counts.resent
                                           : counts.unknown)++;
        if (rows.isEmpty() || rows.back() != n.id) rows << n.id;
    }
    if (absentSince_.size() > 100000) absentSince_.clear(); // a cache: only slower
    if (counts.unknown > 0)
        for (qint64 id : rows)
            Refund(id);
    AdvanceAll(rows, log);
    tx.Commit();
    if (counts.submitted + counts.resent + counts.unknown > 0)
        log.prepend(QStringLiteral("checked with Kannel: %1 numbers it took (in its store or "
                                   "reported), %2 never reached "
                                   "it and are sent again, %3 unknown")
                        .arg(counts.submitted)
                        .arg(counts.resent)
                        .arg(counts.unknown));
    Log(log);
    return counts;
}

} // namespace telvoro::queue
