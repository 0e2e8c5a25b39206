#include "queue/QueueReport.h"

#include "db/SqlError.h"
#include "queue/QueueSql.h"
#include "queue/Rules.h"
#include "queue/States.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>

#include <functional>

namespace telvoro::queue {

namespace {

// Runs one read under the query limit, row by row. A failure names the
// statement by its start, or `what` when given (and then only its cause).
void Read(Connection& db, const QString& sql, const QVariantList& binds,
          const std::function<void(const QSqlQuery&)>& row, const QString& what = {}) {
    db.EnsureOpen();
    db.Watched(db.limits().query, what.isEmpty() ? sql : what, [&] {
        QSqlQuery q = db.Prepare(sql, db.limits().query);
        for (int i = 0; i < binds.size(); ++i)
            q.bindValue(i, binds[i]);
        Exec(q, !what.isEmpty()    ? QString()
                : sql.size() > 100 ? sql.left(97) + QStringLiteral("...")
                                   : sql);
        while (q.next())
            row(q);
    });
}

} // namespace

std::vector<QueueReport::RowSummary> QueueReport::Summaries(const QString& account,
                                                            std::optional<qint64> row) {
    db_.EnsureOpen();
    const QueueSql& sql = QueueSqlFor(db_.dialect());
    std::vector<RowSummary> rows;
    QHash<qint64, std::size_t> index;
    QString where;
    QVariantList binds;
    if (!account.isEmpty()) {
        where += QStringLiteral(" where SendNo=?");
        binds << account;
    }
    if (row) {
        where += where.isEmpty() ? QStringLiteral(" where ID=?") : QStringLiteral(" and ID=?");
        binds << *row;
    }
    Read(db_, QString(sql.reportRows).replace(QLatin1String("%1"), where), binds,
         [&](const QSqlQuery& q) {
             RowSummary s;
             s.id = q.value(0).toLongLong();
             s.account = q.value(1).toString();
             const QDateTime time = q.value(2).toDateTime();
             s.time = time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                     : q.value(2).toString();
             s.state = q.value(3).toString();
             s.numbers = static_cast<int>(SplitList(q.value(4).toString()).size());
             s.pending = s.numbers; // until its numbers are recorded
             index.insert(s.id, rows.size());
             rows.push_back(s);
         });
    QSet<qint64> seen;
    Read(db_, QString(sql.reportCounts).replace(QLatin1String("%1"), where), binds,
         [&](const QSqlQuery& q) {
             auto it = index.constFind(q.value(0).toLongLong());
             if (it == index.constEnd()) return;
             RowSummary& s = rows[*it];
             if (!seen.contains(s.id)) {
                 seen.insert(s.id);
                 s.pending = 0;
             }
             const int n = q.value(2).toInt();
             switch (NumberStatusNamed(q.value(1).toString()).value_or(NumberStatus::Waiting)) {
             case NumberStatus::Delivered:
                 s.delivered += n;
                 break;
             case NumberStatus::Undelivered:
                 s.undelivered += n;
                 break;
             case NumberStatus::Rejected:
                 s.rejected += n;
                 break;
             case NumberStatus::Invalid:
                 s.invalid += n;
                 break;
             case NumberStatus::Unknown:
                 s.unknown += n;
                 break;
             case NumberStatus::OptedOut:
                 s.optedOut += n;
                 break;
             case NumberStatus::Capped:
                 s.capped += n;
                 break;
             default:
                 s.pending += n;
             }
         });
    return rows;
}

std::vector<QueueReport::NumberLine> QueueReport::Numbers(qint64 row) {
    db_.EnsureOpen();
    std::vector<NumberLine> lines;
    Read(db_, QueueSqlFor(db_.dialect()).reportNumbers, {row}, [&](const QSqlQuery& q) {
        lines.push_back({q.value(0).toInt(), q.value(1).toString(), q.value(2).toString(),
                         q.value(3).toString(), q.value(4).toLongLong()});
    });
    return lines;
}

std::vector<QueueReport::QueueRow> QueueReport::ListQueue() {
    db_.EnsureOpen();
    std::vector<QueueRow> rows;
    Read(
        db_, QueueSqlFor(db_.dialect()).listQueue, {},
        [&](const QSqlQuery& q) {
            rows.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                            q.value(3).toString(), q.value(4).toString()});
        },
        QStringLiteral("list the queue"));
    return rows;
}

QueueReport::Road QueueReport::Status(qint64 stuckBefore) {
    db_.EnsureOpen();
    const QueueSql& sql = QueueSqlFor(db_.dialect());
    Road road;
    Read(db_, sql.statusWorkers, {}, [&](const QSqlQuery& q) {
        road.workers.push_back({q.value(0).toString(), q.value(1).toLongLong(),
                                q.value(2).toLongLong(), q.value(3).toLongLong(),
                                q.value(4).toLongLong(), q.value(5).toInt() != 0,
                                q.value(6).toLongLong()});
    });
    Read(db_, sql.statusNumbers, {}, [&](const QSqlQuery& q) {
        road.numbers.push_back(
            {0, q.value(0).toString(), q.value(1).toInt(), q.value(2).toLongLong()});
    });
    Read(db_, sql.statusStuck, {stuckBefore, stuckBefore}, [&](const QSqlQuery& q) {
        road.stuck.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toInt(),
                              q.value(3).toLongLong()});
    });
    Read(db_, sql.statusNewRows, {}, [&](const QSqlQuery& q) {
        road.newRows = q.value(0).toInt();
        const QDateTime oldest = q.value(1).toDateTime();
        if (road.newRows > 0)
            road.oldestNew = oldest.isValid()
                                 ? oldest.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                 : q.value(1).toString();
    });
    return road;
}

} // namespace telvoro::queue
