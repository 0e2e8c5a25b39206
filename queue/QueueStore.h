#pragma once
// The queue's state machine, the same on every engine: claiming a row with
// its numbers, handing a round of numbers to Kannel and recording the answer,
// applying delivery reports, sweeping, refunding. Each operation is one
// transaction on QueueStorage; the row's state in SendTemp moves on inside it.

#include "core/Error.h"
#include "queue/QueueStorage.h"
#include "queue/Rules.h"
#include "queue/States.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

namespace telvoro::queue {

// Milliseconds since the epoch; the tests pass a clock of their own.
using Clock = std::function<qint64()>;
qint64 SystemClock();

// One request's worth: the waiting numbers of one round of a row, now
// "submitting" and committed.
struct Round {
    int round = 0;
    QStringList phones;
};

struct ClaimedRow {
    qint64 id = 0;
    QString sendNo, memo, secret;
    bool takenOver = false; // from a worker that died, or from this one's past life
    QString sender;         // the account's own sender number; empty: the server's
    int numbers = 0, invalid = 0, madeChecking = 0;
    int optedOut = 0, capped = 0; // held back by a rule at this claim
    std::optional<Round> first;   // the round Claim already marked, when asked to
};

struct Report {
    qint64 id = 0;
    int round = 0;
    QString phone, secret;
    int type = 0;
    QString text;
    quint64 ticket = 0; // the endpoint's waiting answer
};

// What Kannel says at one moment (smsd/KannelWatch), to decide on the numbers
// a worker was submitting when it died. Times in milliseconds since the epoch.
struct KannelFacts {
    qint64 at = 0;           // when asked
    qint64 runningSince = 0; // the latest the later of bearerbox and smsbox may have started
    // Receivers of the messages bearerbox holds, with the time it took each.
    std::multimap<QString, qint64> stored;
    // How long smsbox retries a report it cannot hand over
    // (http-request-retry x http-queue-delay); 0 when not known.
    qint64 reportWindow = 0;
    // How long after the worker came back a report must have come.
    qint64 grace = 0;
    // False when the store was not looked at (it is large and costly to list
    // while Kannel is busy): nothing is decided on `stored` then.
    bool storeLooked = true;
};

// Numbers checked: found in Kannel's store, sent again, left unknown.
struct CheckCounts {
    int submitted = 0, resent = 0, unknown = 0;
    bool storeWanted = false; // numbers still being checked: Kannel's store wanted next time
};

// What `telvoro-admin status` shows of a worker; times in milliseconds since
// the epoch, 0 for never.
struct WorkerBeat {
    qint64 started = 0, lastClaim = 0, lastReport = 0;
    bool kannelUp = true;
    qint64 kannelSince = 0; // since when Kannel is reachable, or not
};

// Reports taken (a matching secret, a known type), forged, and of no known type.
struct ReportCounts {
    int applied = 0, forged = 0, ignored = 0;
};

class QueueStore {
public:
    // `refundUnknown`: numbers that end unknown are refunded too (with `refund`).
    QueueStore(Connection& connection, QString worker, Clock clock, bool refund,
               bool refundUnknown = false);
    QueueStore(const QueueStore&) = delete;
    QueueStore& operator=(const QueueStore&) = delete;

    // At most `cap` numbers of one account to one phone per local day of
    // `zone` (0: no cap); those over it are held back as "capped".
    void SetDailyCap(int cap, const QTimeZone& zone) {
        dailyCap_ = cap;
        zone_ = zone;
    }

    // Rows this worker held before a restart: a number caught being submitted
    // becomes "checking" (see Check), and the rows are free to be claimed at
    // once. Returns how many numbers.
    int SettleOwn();
    // Takes the oldest row whose holder's lease ran out (or was given up by
    // SettleOwn), else the oldest new row, and records its numbers.
    // With `startRound`, the first round is marked in the same commit (as StartRound does).
    std::optional<ClaimedRow> Claim(std::chrono::milliseconds lease, bool startRound = false);
    // Marks the waiting numbers of the row's first round with any as
    // "submitting" and renews the lease, in one commit. Nothing when no number
    // waits; throws ClaimLost when another worker holds the row now.
    std::optional<Round> StartRound(qint64 id, std::chrono::milliseconds lease);
    // The answer to a round: its "submitting" numbers become `status`
    // (Submitted, Rejected, Waiting or Unknown), those in `retry` go back to
    // waiting, the lease is renewed and the row moves on where it can.
    // With `markNext`, the row's next round is marked in the same commit (as
    // StartRound does) and returned. Throws ClaimLost, touching nothing, when
    // another worker holds the row now: its numbers are that worker's to settle.
    std::optional<Round> FinishRound(qint64 id, int round, NumberStatus status, const QString& text,
                                     const QStringList& retry = {},
                                     std::chrono::milliseconds lease = std::chrono::minutes(1),
                                     bool markNext = false);
    void RenewLease(qint64 id, std::chrono::milliseconds lease);
    // Applies a batch of delivery reports in one transaction: a report whose
    // secret does not match its row is dropped; a final status is never
    // overwritten.
    ReportCounts ApplyReports(const std::vector<Report>& reports);
    // Numbers handed over longer than `validity` ago without a final report
    // become "unknown"; returns how many.
    int Sweep(std::chrono::milliseconds validity);
    // Decides on the "checking" numbers with Kannel's facts. A report settles
    // one at any time. One in Kannel's store is "submitted". One Kannel may
    // have lost (it restarted since the number was submitted, or smsbox may
    // have given up on its report) is "unknown". One with neither report nor
    // place in the store `grace` after its worker came back, seen absent from
    // the store twice 10 s apart, never reached Kannel: it waits to
    // be sent again, its row claimed anew.
    CheckCounts Check(const KannelFacts& facts);
    // Writes this worker's line for `telvoro-admin status`, seen now.
    void Beat(const WorkerBeat& beat);
    bool ConnectionOpen() const { return storage_.ConnectionOpen(); }
    // The highest row ID so far: a change means a new row to claim.
    qint64 LatestRow() { return storage_.LatestRow(); }
    // The row's secret, or nothing for a row no worker has claimed.
    std::optional<QString> SecretOf(qint64 id);

private:
    std::optional<Round> MarkRound(qint64 id, qint64 now);
    void AdvanceAll(const QList<qint64>& ids, QStringList& log);
    // `held`: the numbers a rule held back go back even with refunds off.
    void Refund(qint64 id, bool held = false);
    // The statuses of the numbers a rule holds back, by position.
    QHash<int, NumberStatus> HoldBack(const QString& login, const std::vector<Element>& elements,
                                      qint64 now);
    void Renew(qint64 id, qint64 now, std::chrono::milliseconds lease);
    std::optional<ClaimedRow> ClaimOnce(std::chrono::milliseconds lease, bool startRound,
                                        qint64 now, bool& again);
    void Remember(qint64 id, const QString& secret, qint64 claimedAt);

    QueueStorage storage_;
    QString worker_;
    Clock clock_;
    bool refund_, refundUnknown_;
    int dailyCap_ = 0;
    QTimeZone zone_ = QTimeZone(QByteArrayLiteral("Asia/Shanghai"));
    // When each checked number was first seen absent from Kannel's store.
    std::map<std::tuple<qint64, int, QString>, qint64> absentSince_;
    QHash<qint64, QString> secrets_;
    QHash<qint64, qint64> claims_; // ClaimedAt of the rows this store claimed
};

class ClaimLost : public Error {
public:
    using Error::Error;
};

} // namespace telvoro::queue
