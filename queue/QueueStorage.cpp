#include "queue/QueueStorage.h"

#include "db/SqlError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSet>

Q_DECLARE_LOGGING_CATEGORY(lcQueue)

namespace telvoro::queue {

namespace {

QString Latin(const char* s) {
    return QString::fromLatin1(s);
}

// SQLite lets one writer in at a time and makes the others poll, sleeping up
// to 100 ms between tries. The queue server's own connections (drains and
// report writer) queue up here instead, each let in the moment the last one
// commits; other programs still meet SQLite's own wait.
std::mutex& EmbeddedWriteGate() {
    static std::mutex gate;
    return gate;
}

// A PostgreSQL array literal of text elements, each quoted.
QString ArrayText(const QStringList& items) {
    QString out(QLatin1Char('{'));
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i) out += QLatin1Char(',');
        out += QLatin1Char('"');
        for (const QChar c : items[i]) {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\')) out += QLatin1Char('\\');
            out += c;
        }
        out += QLatin1Char('"');
    }
    return out + QLatin1Char('}');
}

QVariant NoText() {
    return QVariant(QMetaType::fromType<QString>());
}

} // namespace

QString IdList(const QList<qint64>& ids, QVariantList& binds) {
    QStringList marks;
    for (qint64 id : ids) {
        marks << QStringLiteral("?");
        binds << id;
    }
    return QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
}

QueueStorage::Tx::Tx(QueueStorage& storage) : s_(storage) {
    s_.Reopen();
    if (s_.db_.dialect() == Dialect::Sqlite) gate_ = std::unique_lock(EmbeddedWriteGate());
    s_.db_.Begin();
}

QueueStorage::Tx::~Tx() {
    if (done_) return;
    // Runs while another exception unwinds: a failed rollback must not end
    // the program (the engine rolls back a lost transaction itself).
    try {
        s_.Release();
        s_.db_.Rollback();
    } catch (const std::exception& e) {
        qCWarning(lcQueue, "rollback: %s", e.what());
    }
}

void QueueStorage::Tx::Commit() {
    s_.Release();
    s_.db_.Commit();
    done_ = true;
    if (gate_.owns_lock()) gate_.unlock();
}

void QueueStorage::Reopen() {
    // A connection opened anew takes its prepared statements with it. They are
    // dropped once the old connection is gone: dropped before, each would ask
    // the dead connection to free it and log the failure.
    const bool fresh = !db_.IsOpen();
    db_.EnsureOpen();
    if (fresh) {
        statements_.clear();
        scratch_ = QSqlQuery();
    }
}

void QueueStorage::Release() {
    for (auto& [sql, q] : statements_)
        q.finish();
    // A lost connection's statement waits for Reopen to drop it quietly.
    if (db_.IsOpen()) scratch_ = QSqlQuery();
}

QSqlQuery& QueueStorage::Run(const QString& sql, const QVariantList& binds, bool keep) {
    QSqlQuery* query = nullptr;
    // A connection opened anew by its owner (the watcher's and the sweeper's
    // loops open it themselves) leaves the old statements without a driver.
    if (db_.Generation() != generation_) {
        statements_.clear();
        scratch_ = QSqlQuery();
        generation_ = db_.Generation();
    }
    db_.Watched(db_.limits().command, sql, [&] {
        // A prepare costs the server a round trip of its own.
        if (!keep) {
            scratch_ = db_.Prepare(sql, db_.limits().command);
            query = &scratch_;
        } else {
            auto it = statements_.find(sql);
            if (it == statements_.end())
                it = statements_.emplace(sql, db_.Prepare(sql, db_.limits().command)).first;
            query = &it->second;
        }
        for (int i = 0; i < binds.size(); ++i)
            query->bindValue(i, binds[i]);
        // The log names a long statement by its start.
        Exec(*query, sql.size() > 100 ? sql.left(97) + QStringLiteral("...") : sql);
    });
    return *query;
}

int QueueStorage::Change(const QString& sql, const QVariantList& binds, bool keep) {
    return Run(sql, binds, keep).numRowsAffected();
}

std::optional<qint64> QueueStorage::TakeExpired(qint64 now) {
    QSqlQuery& q = Run(Sql().takeExpired, {now});
    if (!q.next()) return std::nullopt;
    return q.value(0).toLongLong();
}

std::optional<qint64> QueueStorage::TakeNew() {
    QSqlQuery& q = Run(Sql().takeNew, {});
    if (!q.next()) return std::nullopt;
    return q.value(0).toLongLong();
}

std::optional<QueueStorage::RowText> QueueStorage::RowOf(qint64 id) {
    QSqlQuery& q = Run(Sql().rowOf, {id});
    if (!q.next()) return std::nullopt;
    return RowText{q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
}

bool QueueStorage::MarkClaimed(qint64 id) {
    return Change(Sql().markClaimed, {id}) == 1;
}

void QueueStorage::InsertClaim(qint64 id, const QString& worker, qint64 leaseUntil,
                               const QString& secret, qint64 now) {
    Change(Sql().insertClaim, {id, worker, leaseUntil, secret, now});
}

void QueueStorage::InsertNumbers(qint64 id, const std::vector<Number>& numbers, qint64 now) {
    // A hundred to a statement: one round trip, not one each.
    constexpr std::size_t kPerStatement = 100;
    for (std::size_t from = 0; from < numbers.size(); from += kPerStatement) {
        const std::size_t to = std::min(numbers.size(), from + kPerStatement);
        QStringList values;
        QVariantList binds;
        for (std::size_t i = from; i < to; ++i) {
            const Number& n = numbers[i];
            values << Latin(kNumberValues);
            binds << id << n.seq << n.round << n.phone << TextOf(n.status)
                  << (n.text.isNull() ? NoText() : n.text) << now
                  << (n.submitAt.isNull() ? QVariant(QMetaType::fromType<qint64>()) : n.submitAt);
        }
        Change(Sql().insertNumbers + values.join(QStringLiteral(", ")), binds,
               /*keep=*/to - from == kPerStatement);
    }
}

std::optional<QueueStorage::Claim> QueueStorage::ClaimOf(qint64 id) {
    QSqlQuery& q = Run(Sql().claimOf, {id});
    if (!q.next()) return std::nullopt;
    return Claim{q.value(0).toString(), q.value(1).toString(), q.value(2).toLongLong()};
}

bool QueueStorage::TakeOver(qint64 id, const QString& worker, qint64 leaseUntil, qint64 claimedAt,
                            qint64 now) {
    return Change(Sql().takeOver, {worker, leaseUntil, claimedAt, id, now}) == 1;
}

int QueueStorage::SubmittingChecking(qint64 id, const QString& text, qint64 now) {
    return Change(Sql().submittingChecking, {text, now, id});
}

bool QueueStorage::Renew(qint64 id, const QString& worker, qint64 leaseUntil,
                         std::optional<qint64> claimedAt) {
    return (claimedAt ? Change(Sql().renewOwn, {leaseUntil, id, worker, *claimedAt})
                      : Change(Sql().renew, {leaseUntil, id, worker})) == 1;
}

int QueueStorage::SettleOwn(const QString& worker, const QString& text, qint64 now) {
    return Change(Sql().settleOwn, {text, now, worker});
}

void QueueStorage::ReleaseOwn(const QString& worker) {
    Change(Sql().releaseOwn, {worker});
}

std::optional<int> QueueStorage::FirstOpenRound(qint64 id) {
    QSqlQuery& q = Run(Sql().firstOpenRound, {id});
    if (!q.next() || q.value(0).isNull()) return std::nullopt;
    return q.value(0).toInt();
}

QStringList QueueStorage::RoundPhones(qint64 id, int round) {
    QStringList phones;
    QSqlQuery& q = Run(Sql().roundPhones, {id, round});
    while (q.next())
        phones << q.value(0).toString();
    return phones;
}

void QueueStorage::MarkRound(qint64 id, int round, qint64 now) {
    Change(Sql().markRound, {now, now, id, round});
}

void QueueStorage::RetryNumber(qint64 id, int round, const QString& phone, qint64 now) {
    Change(Sql().retryNumber, {now, id, round, phone});
}

int QueueStorage::AnswerRound(qint64 id, int round, NumberStatus status, const QString& text,
                              qint64 now) {
    return Change(Sql().answerRound, {TextOf(status), text.left(200), now, id, round});
}

QList<qint64> QueueStorage::ReadyRows(RowState from, const QList<qint64>& ids) {
    QVariantList binds;
    const QString list = IdList(ids, binds);
    const QString& sql = from == RowState::Claimed ? Sql().readyToHand : Sql().readyToSettle;
    QList<qint64> ready;
    // A full chunk has one shape: kept prepared.
    QSqlQuery& q = Run(QString(sql).replace(QLatin1String("%1"), list), binds,
                       /*keep=*/ids.size() == kChunk);
    while (q.next())
        ready << q.value(0).toLongLong();
    return ready;
}

bool QueueStorage::Advance(qint64 id, RowState from, RowState to) {
    return Change(Sql().advance, {Latin(SqlText(to)), id, Latin(SqlText(from))}) > 0;
}

std::optional<QString> QueueStorage::SecretOf(qint64 id) {
    QSqlQuery& q = Run(Sql().secretOf, {id});
    if (!q.next()) return std::nullopt;
    return q.value(0).toString();
}

void QueueStorage::ApplyReports(const std::vector<ReportLine>& lines, qint64 now) {
    if (lines.empty()) return;
    const QueueSql& sql = Sql();
    const auto final = [](const ReportLine& l) { return IsFinal(l.status) ? 1 : 0; };
    switch (sql.reportBatch) {
    case ReportBatch::Arrays: {
        QStringList id, rnd, phone, st, txt, fin;
        for (const ReportLine& l : lines) {
            id << QString::number(l.id);
            rnd << QString::number(l.round);
            phone << l.phone;
            st << TextOf(l.status);
            txt << l.text;
            fin << QString::number(final(l));
        }
        Change(sql.applyReports, {now, ArrayText(id), ArrayText(rnd), ArrayText(phone),
                                  ArrayText(st), ArrayText(txt), ArrayText(fin)});
        return;
    }
    case ReportBatch::Json: {
        // The lines come sorted by row: the rows they touch, once each, in order.
        QJsonArray batch, touched;
        for (const ReportLine& l : lines) {
            batch.append(QJsonArray{l.id, l.round, l.phone, TextOf(l.status), l.text, final(l)});
            if (touched.isEmpty() || touched.last().toInteger() != l.id) touched.append(l.id);
        }
        Change(sql.applyReports,
               {now, QString::fromUtf8(QJsonDocument(batch).toJson(QJsonDocument::Compact)),
                QString::fromUtf8(QJsonDocument(touched).toJson(QJsonDocument::Compact))});
        return;
    }
    case ReportBatch::Values:
        for (std::size_t from = 0; from < lines.size();) {
            QStringList values;
            QVariantList binds{now};
            QList<qint64> ids;
            for (int n = 0; from < lines.size() && n < 250; ++from, ++n) {
                const ReportLine& l = lines[from];
                values << Latin(kReportValues);
                binds << l.id << l.round << l.phone << TextOf(l.status) << l.text << final(l);
                if (ids.isEmpty() || ids.back() != l.id) ids << l.id;
            }
            const QString text =
                QString(sql.applyReports).replace(QLatin1String("%2"), values.join(", "));
            const QString list = IdList(ids, binds);
            Change(QString(text).replace(QLatin1String("%1"), list), binds, /*keep=*/false);
        }
        return;
    }
}

QList<qint64> QueueStorage::OpenRows(QList<qint64>* handed) {
    QList<qint64> open;
    QSqlQuery& q = Run(Sql().openRows, {});
    while (q.next()) {
        open << q.value(0).toLongLong();
        if (q.value(1).toString() == QLatin1String(SqlText(RowState::Handed)))
            *handed << open.back();
    }
    return open;
}

int QueueStorage::Sweep(const QList<qint64>& ids, const QString& text, qint64 now, qint64 before) {
    QVariantList binds{text, now, before};
    const QString list = IdList(ids, binds);
    return Change(QString(Sql().sweep).replace(QLatin1String("%1"), list), binds,
                  /*keep=*/ids.size() == kChunk);
}

std::optional<std::pair<QString, QString>> QueueStorage::AccountOf(qint64 id) {
    QSqlQuery& q = Run(Sql().accountOf, {id});
    if (!q.next()) return std::nullopt;
    return std::pair{q.value(0).toString(), q.value(1).toString()};
}

int QueueStorage::MarkRefunded(qint64 id, bool unknownToo) {
    return Change(unknownToo ? Sql().markRefundedUnknown : Sql().markRefunded, {id});
}

QList<qint64> QueueStorage::RowsChecking(const QList<qint64>& ids) {
    QVariantList binds;
    const QString list = IdList(ids, binds);
    QSqlQuery& q = Run(QString(Sql().rowsChecking).replace(QLatin1String("%1"), list), binds,
                       /*keep=*/ids.size() == kChunk);
    QList<qint64> rows;
    while (q.next())
        rows << q.value(0).toLongLong();
    return rows;
}

std::vector<QueueStorage::Checked> QueueStorage::CheckingNumbers(const QList<qint64>& ids) {
    QVariantList binds;
    const QString list = IdList(ids, binds);
    QSqlQuery& q = Run(QString(Sql().checkingNumbers).replace(QLatin1String("%1"), list), binds,
                       /*keep=*/ids.size() == kChunk);
    std::vector<Checked> out;
    while (q.next())
        out.push_back({q.value(0).toLongLong(), q.value(1).toInt(), q.value(2).toString(),
                       q.value(3).toLongLong(), q.value(4).toLongLong(),
                       q.value(5).toString() == TextOf(NumberStatus::Checking)});
    return out;
}

std::set<std::pair<qint64, int>> QueueStorage::ReportedRounds(const QList<qint64>& ids) {
    QVariantList binds;
    const QString list = IdList(ids, binds);
    QSqlQuery& q = Run(QString(Sql().reportedRounds).replace(QLatin1String("%1"), list), binds,
                       /*keep=*/ids.size() == kChunk);
    std::set<std::pair<qint64, int>> out;
    while (q.next())
        out.emplace(q.value(0).toLongLong(), q.value(1).toInt());
    return out;
}

bool QueueStorage::CheckSettle(const Checked& n, NumberStatus status, const QString& text,
                               qint64 now) {
    return Change(Sql().checkSettle, {TextOf(status), text, now, n.id, n.round, n.phone}) == 1;
}

bool QueueStorage::ReopenRow(qint64 id) {
    if (Change(Sql().reopenRow, {id}) != 1) return false;
    Change(Sql().releaseRow, {id});
    return true;
}

void QueueStorage::Credit(const QString& login, qint64 units) {
    Change(Sql().credit, {units, login});
}

qint64 QueueStorage::LatestRow() {
    Reopen(); // outside a Tx: a lost connection is opened again here
    QSqlQuery& q = Run(Sql().latestRow, {});
    const qint64 id = q.next() ? q.value(0).toLongLong() : 0;
    q.finish(); // no read transaction left open between looks
    return id;
}

void QueueStorage::WorkerSeen(const QString& worker, const QVariantList& values) {
    if (Change(Sql().workerSeen, QVariantList(values) << worker) == 1) return;
    Change(Sql().workerNew, QVariantList{worker} + values);
}

} // namespace telvoro::queue
