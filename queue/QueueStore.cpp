#include "queue/QueueStore.h"

#include "core/Price.h"
#include "queue/Rules.h"
#include "text/GbkCodec.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <map>
#include <tuple>

Q_LOGGING_CATEGORY(lcQueue, "telvoro.smsd")

namespace telvoro::queue {

namespace {

QString NewSecret() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString s;
    for (quint32 w : words)
        s += QStringLiteral("%1").arg(w, 8, 16, QLatin1Char('0'));
    return s;
}

void Log(const QStringList& lines) {
    for (const QString& line : lines)
        qCInfo(lcQueue).noquote() << line;
}

} // namespace

qint64 SystemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

QueueStore::QueueStore(Connection& connection, QString worker, Clock clock, bool refund,
                       bool refundUnknown)
    : storage_(connection), worker_(std::move(worker)), clock_(std::move(clock)), refund_(refund),
      refundUnknown_(refundUnknown) {}

void QueueStore::AdvanceAll(const QList<qint64>& ids, QStringList& log) {
    // Asked once for a whole batch of rows (one or many), not twice a row.
    struct Step {
        RowState from, to;
        const char* why;
    };
    static const Step steps[] = {{RowState::Claimed, RowState::Handed, "every number handed over"},
                                 {RowState::Handed, RowState::Settled, "every number settled"}};
    for (qsizetype first = 0; first < ids.size(); first += QueueStorage::kChunk) {
        const QList<qint64> chunk = ids.mid(first, QueueStorage::kChunk);
        for (const Step& step : steps)
            for (qint64 id : storage_.ReadyRows(step.from, chunk))
                if (storage_.Advance(id, step.from, step.to))
                    log << QStringLiteral("row %1: state %2 -> %3 (%4)")
                               .arg(id)
                               .arg(QLatin1String(SqlText(step.from)),
                                    QLatin1String(SqlText(step.to)), QLatin1String(step.why));
    }
}

void QueueStore::Refund(qint64 id, bool held) {
    if (!refund_ && !held) return;
    const auto account = storage_.AccountOf(id);
    if (!account) return;
    const auto& [login, memo] = *account;
    // The client priced the GBK text; the refund gives back that price. A
    // text without a GBK form was never priced by the client: nothing is
    // given back on other bytes, and the numbers stay unrefunded for a person
    // to settle.
    std::string gbk;
    try {
        gbk = ToGbk(memo);
    } catch (const Error& e) {
        qCCritical(lcQueue, "row %lld: no refund: its text has no GBK form (%s)", id, e.what());
        return;
    }
    // Held back by a rule (opted out, capped): always refunded; the rest with --refund.
    const int numbers =
        refund_ ? storage_.MarkRefunded(id, refundUnknown_) : storage_.MarkHeldRefunded(id);
    if (numbers == 0) return;
    const qint64 units = PriceOf(gbk, numbers);
    storage_.Credit(login, units);
    qCInfo(lcQueue, "row %lld: %lld units back to account %s for %d numbers", id,
           static_cast<long long>(units), qPrintable(login), numbers);
}

int QueueStore::SettleOwn() {
    QueueStorage::Tx tx(storage_);
    const int n = storage_.SettleOwn(
        worker_, QStringLiteral("the worker stopped while submitting; checked with Kannel"),
        clock_());
    // Its rows are free to be claimed again at once, by itself or another worker.
    storage_.ReleaseOwn(worker_);
    tx.Commit();
    if (n > 0)
        qCInfo(lcQueue, "worker %s: %d numbers caught being submitted are checked with Kannel",
               qPrintable(worker_), n);
    return n;
}

std::optional<ClaimedRow> QueueStore::Claim(std::chrono::milliseconds lease, bool startRound) {
    const qint64 now = clock_();
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool again = false;
        std::optional<ClaimedRow> row = ClaimOnce(lease, startRound, now, again);
        if (!again) return row;
    }
    return std::nullopt;
}

std::optional<ClaimedRow> QueueStore::ClaimOnce(std::chrono::milliseconds lease, bool startRound,
                                                qint64 now, bool& again) {
    QueueStorage::Tx tx(storage_);
    ClaimedRow row;
    if (const auto id = storage_.TakeExpired(now)) {
        row.id = *id;
        row.takenOver = true;
    } else if (const auto fresh = storage_.TakeNew()) {
        row.id = *fresh;
    } else {
        return std::nullopt;
    }
    again = true; // another worker was quicker, unless the claim goes through
    const auto text = storage_.RowOf(row.id);
    if (!text) return std::nullopt;
    row.sendNo = text->sendNo;
    row.memo = text->memo;
    row.sender = storage_.SenderOf(row.sendNo).value_or(QString());
    const std::vector<Element> elements = SplitList(text->list);
    row.numbers = static_cast<int>(elements.size());
    QStringList log;
    qint64 claimedAt = now; // this claim's own mark, never the one before it
    if (row.takenOver) {
        const auto claim = storage_.ClaimOf(row.id);
        if (!claim) return std::nullopt;
        row.secret = claim->secret;
        claimedAt = std::max(now, claim->claimedAt + 1);
        if (!storage_.TakeOver(row.id, worker_, now + lease.count(), claimedAt, now))
            return std::nullopt;
        row.madeChecking = storage_.SubmittingChecking(
            row.id,
            QStringLiteral("the worker %1 stopped while submitting; checked with Kannel")
                .arg(claim->worker),
            now);
        for (const Element& e : elements)
            row.invalid += e.valid ? 0 : 1;
        log << QStringLiteral("row %1: taken over from %2 by %3 (%4 numbers caught being "
                              "submitted checked with Kannel)")
                   .arg(row.id)
                   .arg(claim->worker, worker_)
                   .arg(row.madeChecking);
        if (startRound) row.first = MarkRound(row.id, now);
    } else {
        if (!storage_.MarkClaimed(row.id)) return std::nullopt;
        row.secret = NewSecret();
        storage_.InsertClaim(row.id, worker_, now + lease.count(), row.secret, now);
        // When the first round is asked for, its numbers go in marked: one
        // write of each number fewer than marking them after.
        const QHash<int, NumberStatus> held = HoldBack(row.sendNo, elements, now);
        const auto sendable = [&](const Element& e) { return e.valid && !held.contains(e.seq); };
        std::optional<int> first;
        if (startRound)
            for (const Element& e : elements)
                if (sendable(e)) first = std::min(first.value_or(e.round), e.round);
        if (first) row.first = Round{*first, {}};
        std::vector<QueueStorage::Number> numbers;
        numbers.reserve(elements.size());
        for (const Element& e : elements) {
            QueueStorage::Number n;
            n.seq = e.seq;
            n.round = e.round;
            n.phone = e.phone.left(40);
            const bool marked = sendable(e) && first && e.round == *first;
            n.status = !e.valid               ? NumberStatus::Invalid
                       : held.contains(e.seq) ? held[e.seq]
                       : marked               ? NumberStatus::Submitting
                                              : NumberStatus::Waiting;
            if (!e.valid) n.text = QStringLiteral("not a number");
            if (n.status == NumberStatus::OptedOut) {
                n.text = QStringLiteral("on the opt-out list");
                ++row.optedOut;
            }
            if (n.status == NumberStatus::Capped) {
                n.text = QStringLiteral("over the daily cap of %1").arg(dailyCap_);
                ++row.capped;
            }
            if (marked) {
                n.submitAt = now;
                row.first->phones << n.phone;
            }
            row.invalid += e.valid ? 0 : 1;
            numbers.push_back(std::move(n));
        }
        storage_.InsertNumbers(row.id, numbers, now);
        log << QStringLiteral("row %1: state 0 -> 1, claimed by %2 (%3 numbers, %4 invalid, %5 "
                              "opted out, %6 capped)")
                   .arg(row.id)
                   .arg(worker_)
                   .arg(row.numbers)
                   .arg(row.invalid)
                   .arg(row.optedOut)
                   .arg(row.capped);
        // Nothing was sent to a number held back: its price goes back at once.
        Refund(row.id, row.optedOut + row.capped > 0);
    }
    // A round just marked leaves the row where it is: two statements saved.
    if (!row.first) AdvanceAll({row.id}, log);
    tx.Commit();
    again = false;
    Remember(row.id, row.secret, claimedAt);
    Log(log);
    return row;
}

QHash<int, NumberStatus> QueueStore::HoldBack(const QString& login,
                                              const std::vector<Element>& elements, qint64 now) {
    QHash<int, NumberStatus> held;
    QStringList phones;
    QSet<QString> seen;
    for (const Element& e : elements)
        if (e.valid) {
            const QString p = ListedNumber(e.phone);
            if (!seen.contains(p)) {
                seen.insert(p);
                phones << p;
            }
        }
    if (phones.isEmpty()) return held;
    // One look at the lists for the whole row.
    const QSet<QString> listed = storage_.OptedOut(login, phones);
    for (const Element& e : elements)
        if (e.valid && listed.contains(ListedNumber(e.phone)))
            held.insert(e.seq, NumberStatus::OptedOut);
    if (dailyCap_ <= 0) return held;
    const QDate date = QDateTime::fromMSecsSinceEpoch(now, zone_).date();
    const int day = date.year() * 10000 + date.month() * 100 + date.day();
    QHash<QString, int> counts = storage_.DayCounts(login, day, phones);
    for (const Element& e : elements) {
        if (!e.valid || held.contains(e.seq)) continue;
        const QString p = ListedNumber(e.phone);
        int& n = counts[p];
        if (n >= dailyCap_) {
            held.insert(e.seq, NumberStatus::Capped);
            continue;
        }
        ++n;
        storage_.CountDay(login, day, p);
    }
    return held;
}

void QueueStore::Remember(qint64 id, const QString& secret, qint64 claimedAt) {
    // Caches, not records.
    if (secrets_.size() > 100000) secrets_.clear();
    secrets_.insert(id, secret);
    if (claims_.size() > 100000) claims_.clear();
    claims_.insert(id, claimedAt);
}

void QueueStore::RenewLease(qint64 id, std::chrono::milliseconds lease) {
    QueueStorage::Tx tx(storage_);
    Renew(id, clock_(), lease);
    tx.Commit();
}

void QueueStore::Renew(qint64 id, qint64 now, std::chrono::milliseconds lease) {
    // The claim is this one's own, not merely one under the same worker name:
    // another process started under the same name may have taken the row over.
    const auto claim = claims_.constFind(id);
    const std::optional<qint64> claimedAt =
        claim == claims_.constEnd() ? std::nullopt : std::optional<qint64>(*claim);
    if (!storage_.Renew(id, worker_, now + lease.count(), claimedAt))
        throw ClaimLost(
            QStringLiteral("row %1 is held by another worker now").arg(id).toStdString());
}

std::optional<Round> QueueStore::StartRound(qint64 id, std::chrono::milliseconds lease) {
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    Renew(id, now, lease);
    std::optional<Round> round = MarkRound(id, now);
    tx.Commit();
    return round;
}

std::optional<Round> QueueStore::MarkRound(qint64 id, qint64 now) {
    // Numbers of a row in hand still "submitting" were marked by a commit that
    // reported failure yet went through, and never sent (a round sent has its
    // answer stored before anything else happens to the row): they go first.
    const std::optional<int> first = storage_.FirstOpenRound(id);
    if (!first) return std::nullopt;
    Round round{*first, storage_.RoundPhones(id, *first)};
    // Handed over from now on, as far as the sweeper's validity counts.
    storage_.MarkRound(id, round.round, now);
    return round;
}

std::optional<Round> QueueStore::FinishRound(qint64 id, int round, NumberStatus status,
                                             const QString& text, const QStringList& retry,
                                             std::chrono::milliseconds lease, bool markNext) {
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    // A worker that lost its row (frozen past its lease) must not write over
    // the round its successor may have marked with the same number.
    Renew(id, now, lease);
    for (const QString& phone : retry)
        storage_.RetryNumber(id, round, phone, now);
    const int n = storage_.AnswerRound(id, round, status, text, now);
    QStringList log;
    if (n > 0)
        log << QStringLiteral("row %1: %2 numbers %3%4")
                   .arg(id)
                   .arg(n)
                   .arg(TextOf(status),
                        text.isEmpty() ? QString() : QStringLiteral(" (") + text + ')');
    if (status == NumberStatus::Rejected) Refund(id);
    std::optional<Round> next;
    if (markNext) next = MarkRound(id, now);
    if (!next) AdvanceAll({id}, log);
    tx.Commit();
    Log(log);
    return next;
}

std::optional<QString> QueueStore::SecretOf(qint64 id) {
    if (auto it = secrets_.constFind(id); it != secrets_.constEnd()) return *it;
    const std::optional<QString> secret = storage_.SecretOf(id);
    if (!secret) return std::nullopt;
    if (secrets_.size() > 100000) secrets_.clear(); // a cache, not a record
    secrets_.insert(id, *secret);
    return secret;
}

ReportCounts QueueStore::ApplyReports(const std::vector<Report>& reports) {
    ReportCounts counts;
    QueueStorage::Tx tx(storage_);
    const qint64 now = clock_();
    // One report per number: a final one wins over a passing one, the first
    // final one over later ones (a final status is never overwritten).
    struct Key {
        qint64 id;
        int round;
        QString phone;
        bool operator<(const Key& o) const {
            return std::tie(id, round, phone) < std::tie(o.id, o.round, o.phone);
        }
    };
    std::map<Key, std::pair<NumberStatus, QString>> latest; // status, text
    for (const Report& r : reports) {
        const std::optional<QString> secret = SecretOf(r.id);
        if (!secret || *secret != r.secret) {
            ++counts.forged;
            continue;
        }
        const std::optional<NumberStatus> st = StatusOfReport(r.type);
        if (!st) {
            ++counts.ignored;
            continue;
        }
        auto [it, fresh] = latest.try_emplace(Key{r.id, r.round, r.phone}, *st, r.text.left(200));
        if (!fresh && !IsFinal(it->second.first)) it->second = {*st, r.text.left(200)};
        ++counts.applied;
    }
    // Sorted by row, many numbers to a statement.
    std::vector<QueueStorage::ReportLine> lines;
    lines.reserve(latest.size());
    QList<qint64> rows;
    for (const auto& [key, value] : latest) {
        lines.push_back({key.id, key.round, key.phone, value.first, value.second});
        if (rows.isEmpty() || rows.back() != key.id) rows << key.id;
    }
    storage_.ApplyReports(lines, now);
    for (qint64 id : rows)
        Refund(id);
    QStringList log;
    AdvanceAll(rows, log);
    tx.Commit();
    Log(log);
    return counts;
}

int QueueStore::Sweep(std::chrono::milliseconds validity) {
    // Small steps, each a transaction of its own: a sweep over many open
    // rows never holds the reports back for longer than one chunk takes.
    // Open numbers live in open rows only. The rows are named outright, a
    // chunk at a time: asked through a subquery, a planner that believes
    // the statistics of the statuses reads every number ever sent.
    QList<qint64> handed, open;
    {
        QueueStorage::Tx tx(storage_);
        open = storage_.OpenRows(&handed);
        tx.Commit();
    }
    const qint64 now = clock_();
    int n = 0;
    const QString why = QStringLiteral("no final report within %1 s").arg(validity.count() / 1000);
    for (qsizetype first = 0; first < open.size(); first += QueueStorage::kChunk) {
        QueueStorage::Tx tx(storage_);
        n +=
            storage_.Sweep(open.mid(first, QueueStorage::kChunk), why, now, now - validity.count());
        tx.Commit();
    }
    QStringList log;
    if (n > 0) log << QStringLiteral("sweep: %1 numbers without a final report are unknown").arg(n);
    if (refundUnknown_ && n > 0)
        for (qint64 id : handed)
            Refund(id);
    // Rows handed over whose last open number this made unknown, or settled long ago.
    for (qsizetype first = 0; first < handed.size(); first += QueueStorage::kChunk) {
        QueueStorage::Tx tx(storage_);
        AdvanceAll(handed.mid(first, QueueStorage::kChunk), log);
        tx.Commit();
    }
    Log(log);
    return n;
}

} // namespace telvoro::queue
