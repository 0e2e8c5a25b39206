#pragma once
// The queue's one storage interface: each operation the state machine
// (QueueStore) needs, run on one connection with the statements of its engine
// (QueueSql). Statements run for every row are prepared once per connection.
// Operations run inside a Tx; the storage knows no rule of the queue.

#include "db/Connection.h"
#include "queue/QueueSql.h"
#include "queue/States.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace telvoro::queue {

class QueueStorage {
public:
    explicit QueueStorage(Connection& connection) : db_(connection) {}
    QueueStorage(const QueueStorage&) = delete;
    QueueStorage& operator=(const QueueStorage&) = delete;

    // One transaction: begun at construction, rolled back unless committed.
    class Tx {
    public:
        explicit Tx(QueueStorage& storage);
        ~Tx();
        Tx(const Tx&) = delete;
        Tx& operator=(const Tx&) = delete;
        void Commit();

    private:
        QueueStorage& s_;
        std::unique_lock<std::mutex> gate_;
        bool done_ = false;
    };

    bool ConnectionOpen() const { return db_.IsOpen(); }
    // Opens a lost connection again; outside a Tx.
    void Reopen();

    struct RowText {
        QString sendNo, memo, list;
    };
    struct Claim {
        QString worker, secret;
        qint64 claimedAt = 0;
    };
    struct Number {
        int seq = 0, round = 0;
        QString phone;
        NumberStatus status = NumberStatus::Waiting;
        QVariant text, submitAt; // null when none
    };
    struct ReportLine {
        qint64 id = 0;
        int round = 0;
        QString phone;
        NumberStatus status = NumberStatus::Delivered;
        QString text;
    };

    // Claim.
    std::optional<qint64> TakeExpired(qint64 now);
    std::optional<qint64> TakeNew();
    std::optional<RowText> RowOf(qint64 id);
    bool MarkClaimed(qint64 id);
    void InsertClaim(qint64 id, const QString& worker, qint64 leaseUntil, const QString& secret,
                     qint64 now);
    void InsertNumbers(qint64 id, const std::vector<Number>& numbers, qint64 now);
    std::optional<Claim> ClaimOf(qint64 id);
    bool TakeOver(qint64 id, const QString& worker, qint64 leaseUntil, qint64 claimedAt,
                  qint64 now);
    // The row's numbers caught "submitting" by a worker that died become "checking".
    int SubmittingChecking(qint64 id, const QString& text, qint64 now);
    // Whether the claim (this one's, when `claimedAt` is known) held the row.
    bool Renew(qint64 id, const QString& worker, qint64 leaseUntil,
               std::optional<qint64> claimedAt);
    int SettleOwn(const QString& worker, const QString& text, qint64 now);
    void ReleaseOwn(const QString& worker);

    // Rounds.
    std::optional<int> FirstOpenRound(qint64 id);
    QStringList RoundPhones(qint64 id, int round);
    void MarkRound(qint64 id, int round, qint64 now);
    void RetryNumber(qint64 id, int round, const QString& phone, qint64 now);
    int AnswerRound(qint64 id, int round, NumberStatus status, const QString& text, qint64 now);

    // The rows among `ids` (at most kChunk) in `from` whose numbers let them move on.
    QList<qint64> ReadyRows(RowState from, const QList<qint64>& ids);
    bool Advance(qint64 id, RowState from, RowState to);
    static constexpr qsizetype kChunk = 200;

    // Reports and sweep.
    std::optional<QString> SecretOf(qint64 id);
    void ApplyReports(const std::vector<ReportLine>& lines, qint64 now);
    // Rows claimed and handed over; `handed` the latter.
    QList<qint64> OpenRows(QList<qint64>* handed);
    int Sweep(const QList<qint64>& ids, const QString& text, qint64 now, qint64 before);

    // Refund.
    std::optional<std::pair<QString, QString>> AccountOf(qint64 id); // login, text
    int MarkRefunded(qint64 id, bool unknownToo);
    // Only the numbers a rule held back (opted out, capped).
    int MarkHeldRefunded(qint64 id);

    // Numbers being checked with Kannel after their worker died.
    struct Checked {
        qint64 id = 0;
        int round = 0;
        QString phone;
        qint64 submitAt = 0, since = 0; // marked "submitting"; made "checking"
        bool checking = true;           // else "submitted": Kannel took it
    };
    // Those of at most kChunk rows with a number being checked.
    QList<qint64> RowsChecking(const QList<qint64>& ids);
    // The numbers checked and those submitted, of at most kChunk rows.
    std::vector<Checked> CheckingNumbers(const QList<qint64>& ids);
    // The rounds of those rows with a number checked and another moved by a report.
    std::set<std::pair<qint64, int>> ReportedRounds(const QList<qint64>& ids);
    bool CheckSettle(const Checked& number, NumberStatus status, const QString& text, qint64 now);
    // A row handed over goes back to be claimed, its lease out; false when it
    // is still claimed (a drain may be marking its rounds).
    bool ReopenRow(qint64 id);
    void Credit(const QString& login, qint64 units);

    // The highest row ID, 0 with none; outside a Tx.
    qint64 LatestRow();
    // This worker's line in SendWorker, written whole: `values` are started,
    // seen, last claim, last report, Kannel up (1/0), since.
    void WorkerSeen(const QString& worker, const QVariantList& values);

    // Rules of sending: the account's own sender number, which of `phones`
    // are on its opt-out list or the all-accounts one, and the numbers of the
    // account each phone had on `day` (counted by CountDay).
    std::optional<QString> SenderOf(const QString& login);
    QSet<QString> OptedOut(const QString& login, const QStringList& phones);
    QHash<QString, int> DayCounts(const QString& login, int day, const QStringList& phones);
    void CountDay(const QString& login, int day, const QString& phone);

    // Inbound messages and opt-out lists.
    struct InboundRow {
        qint64 id = 0, receivedAt = 0;
        QString messageId, sender, receiver, body, smscId, account; // account: empty for none
        bool refusal = false;
    };
    // False when a message with its ID is stored already.
    bool InsertInbound(const InboundRow& row);
    std::vector<std::pair<QString, QString>> AccountSenders();   // login, sender
    void SetSender(const QString& login, const QString& sender); // empty: none
    // Each records the change with its source; false when there was nothing to change.
    bool AddOptOut(const QString& login, const QString& phone, const QString& source, qint64 now);
    bool RemoveOptOut(const QString& login, const QString& phone, const QString& source,
                      qint64 now);
    struct OptOutRow {
        QString login, phone;
        qint64 addedAt = 0;
    };
    std::vector<OptOutRow> ListOptOut(const std::optional<QString>& login);
    std::vector<InboundRow> ListInbound(const std::optional<QString>& account, qint64 since);

private:
    const QueueSql& Sql() const { return QueueSqlFor(db_.dialect()); }
    // Runs `sql`; `keep` keeps it prepared for the next call with the same
    // text. The query stays valid until the transaction ends.
    QSqlQuery& Run(const QString& sql, const QVariantList& binds, bool keep = true);
    int Change(const QString& sql, const QVariantList& binds, bool keep = true);
    void Release();

    Connection& db_;
    std::map<QString, QSqlQuery> statements_; // node-based: references stay valid
    QSqlQuery scratch_;
    quint64 generation_ = 0; // the connection's open the statements were prepared on
};

// "(?,?,…)" for a list of row IDs, whose values go to `binds`.
QString IdList(const QList<qint64>& ids, QVariantList& binds);

} // namespace telvoro::queue
