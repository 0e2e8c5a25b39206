#pragma once
// Every statement of the queue server, on one connection: claiming a row with
// its numbers, handing a round of numbers to Kannel and recording the answer,
// applying delivery reports, sweeping, refunding. Each operation is one
// transaction; the row's state in SendTemp moves on inside it.

#include "smsd/Db.h"
#include "smsd/Rules.h"

#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace telvoro::smsd {

enum class Dialect { Sqlite, Postgres, SqlServer };
Dialect DialectOf(const Connection& connection);

// Once per connection of the queue server. An embedded database goes over to
// write-ahead logging: a commit then costs one sync of the log, not three of
// journal and file, and the client's readers no longer wait for the writers.
// Every commit is still synced before it returns (a number marked
// "submitting" must survive a power cut before its request goes out).
void PrepareQueueDatabase(Connection& connection);

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
    int numbers = 0, invalid = 0, madeUnknown = 0;
    std::optional<Round> first; // the round Claim already marked, when asked to
};

struct Report {
    qint64 id = 0;
    int round = 0;
    QString phone, secret;
    int type = 0;
    QString text;
    quint64 ticket = 0; // the endpoint's waiting answer
};

// Reports taken (a matching secret, a known type), forged, and of no known type.
struct ReportCounts {
    int applied = 0, forged = 0, ignored = 0;
};

class QueueStore {
public:
    QueueStore(Connection& connection, QString worker, Clock clock, bool refund);
    ~QueueStore();
    QueueStore(const QueueStore&) = delete;
    QueueStore& operator=(const QueueStore&) = delete;

    // Rows this worker held before a restart: a number caught being submitted
    // becomes "unknown", never sent again, and the rows are free to be claimed
    // at once. Returns how many numbers.
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
    // ("submitted", "rejected", "waiting" or "unknown"), those in `retry` go
    // back to waiting, the lease is renewed and the row moves on where it can.
    // With `markNext`, the row's next round is marked in the same commit (as
    // StartRound does) and returned. Throws ClaimLost, touching nothing, when
    // another worker holds the row now: its numbers are that worker's to settle.
    std::optional<Round> FinishRound(qint64 id, int round, const QString& status,
                                     const QString& text, const QStringList& retry = {},
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
    bool ConnectionOpen() const { return db_.IsOpen(); }
    // The row's secret, or nothing for a row no worker has claimed.
    std::optional<QString> SecretOf(qint64 id);

    // What the operator's report shows.
    struct RowSummary {
        qint64 id = 0;
        QString account, time, state;
        int numbers = 0, delivered = 0, undelivered = 0, rejected = 0, invalid = 0, pending = 0,
            unknown = 0;
    };
    struct NumberLine {
        int seq = 0;
        QString phone, status, text;
        qint64 updatedAt = 0;
    };
    std::vector<RowSummary> Summaries(const QString& account, std::optional<qint64> row);
    std::vector<NumberLine> Numbers(qint64 row);

private:
    class Tx;
    // Runs `sql`; `keep` keeps it prepared for the next call with the same text.
    // The query stays valid until the transaction ends.
    QSqlQuery& Run(const QString& sql, const QVariantList& binds, bool keep = true);
    int Change(const QString& sql, const QVariantList& binds, bool keep = true);
    void Reopen();
    std::optional<Round> MarkRound(qint64 id, qint64 now);
    void Release();
    void AdvanceAll(const QList<qint64>& ids, QStringList& log);
    void Refund(qint64 id);
    int UnitsOf(qint64 id, QString* login);

    Connection& db_;
    QString worker_;
    Clock clock_;
    bool refund_;
    Dialect dialect_ = Dialect::Sqlite;
    QHash<qint64, QString> secrets_;
    QHash<qint64, qint64> claims_; // ClaimedAt of the rows this store claimed
    void Renew(qint64 id, qint64 now, std::chrono::milliseconds lease);
    std::map<QString, QSqlQuery> statements_; // node-based: references stay valid
    QSqlQuery scratch_;
};

class ClaimLost : public Error {
public:
    using Error::Error;
};

} // namespace telvoro::smsd
