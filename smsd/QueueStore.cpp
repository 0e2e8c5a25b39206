#include "smsd/QueueStore.h"

#include "core/TextRules.h"
#include "server/SqlError.h"
#include "text/GbkCodec.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

Q_LOGGING_CATEGORY(lcQueue, "telvoro.smsd")

namespace telvoro::smsd {

namespace {

QString Latin(const char* s) {
    return QString::fromLatin1(s);
}

// "Some of a row's numbers are in these statuses", asked through the row:
// kept out of reach of any index on the status (none is made; one a DBA adds
// would tempt a planner misled by stale statistics to walk every open number).
// "(?,?,…)" for a list of row IDs, whose values go to `binds`.
QString IdList(const QList<qint64>& ids, QVariantList& binds) {
    QStringList marks;
    for (qint64 id : ids) {
        marks << QStringLiteral("?");
        binds << id;
    }
    return QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
}

QString AmongStatuses(const char* column, const char* list) {
    return QStringLiteral("(case when %1 in %2 then 1 else 0 end)=1")
        .arg(QLatin1String(column), QLatin1String(list));
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

// A report's number, and whether it may still move: a final report settles
// any open number, an unknown one too; a passing one only a number on its way.
// The status test is kept out of reach of the status index (see AmongStatuses).
const QLatin1String kReportMatch(
    "d.SendTempID=v.id and d.Round=v.rnd and d.Phone=v.phone and (case when d.Status in "
    "('submitting','submitted','accepted','buffered') then 1 when v.final=1 and "
    "d.Status='unknown' then 1 else 0 end)=1");

QString NewSecret() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString s;
    for (quint32 w : words)
        s += QStringLiteral("%1").arg(w, 8, 16, QLatin1Char('0'));
    return s;
}

} // namespace

void PrepareQueueDatabase(Connection& c) {
    if (c.engine() != Engine::Sqlite) return;
    try {
        QSqlQuery q(c.database());
        const auto wal = [&] {
            return q.next() &&
                   q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
        };
        // Another of the server's connections may be switching it right now.
        if (!(q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && wal()) &&
            !(q.exec(QStringLiteral("PRAGMA journal_mode")) && wal()))
            throw Error("the database stays in its journal mode: " +
                        q.lastError().text().toStdString());
        ExecDirect(c.database(), QStringLiteral("PRAGMA synchronous=FULL"));
    } catch (const Error& e) {
        // Slower, not wrong: the next connection tries again.
        qCWarning(lcQueue, "%s", e.what());
    }
}

qint64 SystemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

Dialect DialectOf(const Connection& c) {
    if (c.engine() == Engine::Sqlite) return Dialect::Sqlite;
    if (c.engine() == Engine::PostgreSql || c.PostgresDbms()) return Dialect::Postgres;
    return Dialect::SqlServer;
}

namespace {

// SQLite lets one writer in at a time and makes the others poll, sleeping up
// to 100 ms between tries. The queue server's own connections (drains and
// report writer) queue up here instead, each let in the moment the last one
// commits; other programs still meet SQLite's own wait.
std::mutex& EmbeddedWriteGate() {
    static std::mutex gate;
    return gate;
}

} // namespace

// One transaction: begun at construction, rolled back unless committed.
class QueueStore::Tx {
public:
    explicit Tx(QueueStore& store) : s_(store) {
        s_.Reopen();
        if (s_.db_.engine() == Engine::Sqlite) gate_ = std::unique_lock(EmbeddedWriteGate());
        s_.db_.Begin();
    }
    ~Tx() {
        if (done_) return;
        // Runs while another exception unwinds: a failed rollback must not
        // end the program (the engine rolls back a lost transaction itself).
        try {
            s_.Release();
            s_.db_.Rollback();
        } catch (const std::exception& e) {
            qCWarning(lcQueue, "rollback: %s", e.what());
        }
    }
    void Commit() {
        s_.Release();
        s_.db_.Commit();
        done_ = true;
        if (gate_.owns_lock()) gate_.unlock();
    }

private:
    QueueStore& s_;
    std::unique_lock<std::mutex> gate_;
    bool done_ = false;
};

QueueStore::QueueStore(Connection& connection, QString worker, Clock clock, bool refund)
    : db_(connection), worker_(std::move(worker)), clock_(std::move(clock)), refund_(refund) {}

QueueStore::~QueueStore() = default;

void QueueStore::Reopen() {
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

void QueueStore::Release() {
    for (auto& [sql, q] : statements_)
        q.finish();
    // A lost connection's statement waits for Reopen to drop it quietly.
    if (db_.IsOpen()) scratch_ = QSqlQuery();
}

QSqlQuery& QueueStore::Run(const QString& sql, const QVariantList& binds, bool keep) {
    QSqlQuery* query = nullptr;
    db_.Watched(db_.limits().command, sql, [&] {
        // The statements run for every row are prepared once per connection:
        // a prepare costs the server a round trip of its own.
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

int QueueStore::Change(const QString& sql, const QVariantList& binds, bool keep) {
    return Run(sql, binds, keep).numRowsAffected();
}

void QueueStore::AdvanceAll(const QList<qint64>& ids, QStringList& log) {
    // Asked once for a whole batch of rows (one or many), not twice a row.
    struct Step {
        const char *from, *to, *open, *why;
    };
    static const Step steps[] = {{"1", "2", kNotHandedSql, "every number handed over"},
                                 {"2", "3", kOpenSql, "every number settled"}};
    for (qsizetype first = 0; first < ids.size(); first += 200) {
        const QList<qint64> chunk = ids.mid(first, 200);
        for (const Step& step : steps) {
            QVariantList binds{Latin(step.from)};
            const QString list = IdList(chunk, binds);
            QList<qint64> ready;
            {
                QSqlQuery& q =
                    Run(QStringLiteral("Select ID from SendTemp where state=? and ID in ") + list +
                            QStringLiteral(" and not exists (select 1 from SendDetail d where "
                                           "d.SendTempID=SendTemp.ID and ") +
                            AmongStatuses("d.Status", step.open) + QLatin1Char(')'),
                        binds, /*keep=*/chunk.size() == 200);
                while (q.next())
                    ready << q.value(0).toLongLong();
            }
            for (qint64 id : ready)
                if (Change(QStringLiteral("Update SendTemp set state=? where ID=? and state=?"),
                           {Latin(step.to), id, Latin(step.from)}) > 0)
                    log << QStringLiteral("row %1: state %2 -> %3 (%4)")
                               .arg(id)
                               .arg(Latin(step.from), Latin(step.to), Latin(step.why));
        }
    }
}

int QueueStore::UnitsOf(qint64 id, QString* login) {
    QSqlQuery& q = Run(QStringLiteral("Select SendNo, SendMemo from SendTemp where ID=?"), {id});
    if (!q.next()) return 0;
    *login = q.value(0).toString();
    const QString memo = q.value(1).toString();
    // The client priced the trimmed GBK text; the refund gives back that price.
    std::string gbk;
    try {
        gbk = ToGbk(memo);
    } catch (const Error&) {
        gbk = memo.toStdString();
    }
    return GetSegCount(GetMsgLen(Trim(gbk)));
}

void QueueStore::Refund(qint64 id) {
    if (!refund_) return;
    const int numbers =
        Change(QStringLiteral("Update SendDetail set Refunded=1 where SendTempID=? and Refunded=0 "
                              "and Status in ('rejected','undelivered','invalid')"),
               {id});
    if (numbers == 0) return;
    QString login;
    const int units = UnitsOf(id, &login);
    Change(QStringLiteral("Update Users set CurrSum=CurrSum+? where Login=?"),
           {numbers * units, login});
    qCInfo(lcQueue, "row %lld: %d units back to account %s for %d numbers", id, numbers * units,
           qPrintable(login), numbers);
}

int QueueStore::SettleOwn() {
    Tx tx(*this);
    const int n = Change(
        QStringLiteral("Update SendDetail set Status='unknown', SmscText=?, UpdatedAt=? where "
                       "Status='submitting' and SendTempID in (select c.SendTempID from SendClaim "
                       "c join SendTemp t on t.ID=c.SendTempID where c.Worker=? and t.state='1')"),
        {QStringLiteral("the worker stopped while submitting"), clock_(), worker_});
    // Its rows are free to be claimed again at once, by itself or another worker.
    Change(QStringLiteral("Update SendClaim set LeaseUntil=0 where Worker=? and SendTempID in "
                          "(select ID from SendTemp where state='1')"),
           {worker_});
    tx.Commit();
    if (n > 0)
        qCInfo(lcQueue, "worker %s: %d numbers caught being submitted are now unknown",
               qPrintable(worker_), n);
    return n;
}

std::optional<ClaimedRow> QueueStore::Claim(std::chrono::milliseconds lease, bool startRound) {
    dialect_ = DialectOf(db_);
    const qint64 now = clock_();
    for (int attempt = 0; attempt < 5; ++attempt) {
        Tx tx(*this);
        QString takeSql, newSql;
        switch (dialect_) {
        case Dialect::Postgres:
            takeSql = QStringLiteral(
                "Select t.ID from SendTemp t join SendClaim c on c.SendTempID=t.ID where "
                "t.state='1' and c.LeaseUntil<? order by t.ID limit 1 for update of t skip locked");
            newSql = QStringLiteral("Select ID from SendTemp where state='0' order by ID limit 1 "
                                    "for update skip locked");
            break;
        case Dialect::SqlServer:
            takeSql = QStringLiteral(
                "Select top (1) t.ID from SendTemp t with (updlock, readpast, rowlock) join "
                "SendClaim c on c.SendTempID=t.ID where t.state=N'1' and c.LeaseUntil<? "
                "order by t.ID");
            newSql = QStringLiteral("Select top (1) ID from SendTemp with (updlock, readpast, "
                                    "rowlock) where state=N'0' order by ID");
            break;
        case Dialect::Sqlite: // BEGIN IMMEDIATE already holds the write lock
            takeSql = QStringLiteral(
                "Select t.ID from SendTemp t join SendClaim c on c.SendTempID=t.ID where "
                "t.state='1' and c.LeaseUntil<? order by t.ID limit 1");
            newSql = QStringLiteral("Select ID from SendTemp where state='0' order by ID limit 1");
            break;
        }
        ClaimedRow row;
        {
            QSqlQuery& take = Run(takeSql, {now});
            if (take.next()) {
                row.id = take.value(0).toLongLong();
                row.takenOver = true;
            }
        }
        if (!row.takenOver) {
            QSqlQuery& fresh = Run(newSql, {});
            if (!fresh.next()) return std::nullopt;
            row.id = fresh.value(0).toLongLong();
        }
        {
            QSqlQuery& q = Run(
                QStringLiteral("Select SendNo, SendMemo, list from SendTemp where ID=?"), {row.id});
            if (!q.next()) continue;
            row.sendNo = q.value(0).toString();
            row.memo = q.value(1).toString();
            const std::vector<Element> elements = SplitList(q.value(2).toString());
            row.numbers = static_cast<int>(elements.size());
            QStringList log;
            qint64 claimedAt = now; // this claim's own mark, never the one before it
            if (row.takenOver) {
                QString holder;
                {
                    QSqlQuery& c = Run(
                        QStringLiteral(
                            "Select Worker, Secret, ClaimedAt from SendClaim where SendTempID=?"),
                        {row.id});
                    if (!c.next()) continue;
                    holder = c.value(0).toString();
                    row.secret = c.value(1).toString();
                    claimedAt = std::max(now, c.value(2).toLongLong() + 1);
                }
                if (Change(QStringLiteral("Update SendClaim set Worker=?, LeaseUntil=?, "
                                          "ClaimedAt=? where SendTempID=? and LeaseUntil<?"),
                           {worker_, now + lease.count(), claimedAt, row.id, now}) != 1)
                    continue; // another worker was quicker
                row.madeUnknown =
                    Change(QStringLiteral("Update SendDetail set Status='unknown', SmscText=?, "
                                          "UpdatedAt=? where SendTempID=? and Status='submitting'"),
                           {QStringLiteral("the worker %1 stopped while submitting").arg(holder),
                            now, row.id});
                for (const Element& e : elements)
                    row.invalid += e.valid ? 0 : 1;
                log << QStringLiteral("row %1: taken over from %2 by %3 (%4 numbers caught being "
                                      "submitted now unknown)")
                           .arg(row.id)
                           .arg(holder, worker_)
                           .arg(row.madeUnknown);
            } else {
                if (Change(QStringLiteral("Update SendTemp set state='1' where ID=? and state='0'"),
                           {row.id}) != 1)
                    continue;
                row.secret = NewSecret();
                Change(QStringLiteral("Insert into SendClaim (SendTempID, Worker, LeaseUntil, "
                                      "Secret, ClaimedAt) values (?, ?, ?, ?, ?)"),
                       {row.id, worker_, now + lease.count(), row.secret, now});
                // The numbers go in a hundred to a statement: one round trip, not one each.
                // When the first round is asked for, its numbers go in marked: one write
                // of each number fewer than marking them after.
                std::optional<int> first;
                if (startRound)
                    for (const Element& e : elements)
                        if (e.valid) first = std::min(first.value_or(e.round), e.round);
                if (first) row.first = Round{*first, {}};
                for (std::size_t from = 0; from < elements.size(); from += 100) {
                    const std::size_t to = std::min(elements.size(), from + 100);
                    QStringList values;
                    QVariantList binds;
                    for (std::size_t i = from; i < to; ++i) {
                        const Element& e = elements[i];
                        const QString phone = e.phone.left(40);
                        const bool marked = e.valid && first && e.round == *first;
                        values << QStringLiteral("(?, ?, ?, ?, ?, ?, ?, ?)");
                        binds << row.id << e.seq << e.round << phone
                              << Latin(!e.valid ? status::kInvalid
                                       : marked ? status::kSubmitting
                                                : status::kWaiting)
                              << (e.valid ? QVariant(QMetaType::fromType<QString>())
                                          : QVariant(QStringLiteral("not a number")))
                              << now
                              << (marked ? QVariant(now) : QVariant(QMetaType::fromType<qint64>()));
                        if (marked) row.first->phones << phone;
                        row.invalid += e.valid ? 0 : 1;
                    }
                    Change(QStringLiteral("Insert into SendDetail (SendTempID, Seq, Round, Phone, "
                                          "Status, SmscText, UpdatedAt, SubmitAt) values ") +
                               values.join(QStringLiteral(", ")),
                           binds, /*keep=*/to - from == 100);
                }
                log << QStringLiteral("row %1: state 0 -> 1, claimed by %2 (%3 numbers, %4 "
                                      "invalid)")
                           .arg(row.id)
                           .arg(worker_)
                           .arg(row.numbers)
                           .arg(row.invalid);
                Refund(row.id);
            }
            if (startRound && row.takenOver) row.first = MarkRound(row.id, now);
            // A round just marked leaves the row where it is: two statements saved.
            if (!row.first) AdvanceAll({row.id}, log);
            tx.Commit();
            if (secrets_.size() > 100000) secrets_.clear();
            secrets_.insert(row.id, row.secret);
            if (claims_.size() > 100000) claims_.clear();
            claims_.insert(row.id, claimedAt);
            for (const QString& line : log)
                qCInfo(lcQueue).noquote() << line;
            return row;
        }
    }
    return std::nullopt;
}

void QueueStore::RenewLease(qint64 id, std::chrono::milliseconds lease) {
    Tx tx(*this);
    Renew(id, clock_(), lease);
    tx.Commit();
}

void QueueStore::Renew(qint64 id, qint64 now, std::chrono::milliseconds lease) {
    // The claim is this one's own, not merely one under the same worker name:
    // another process started under the same name may have taken the row over.
    const auto claim = claims_.constFind(id);
    const int held =
        claim == claims_.constEnd()
            ? Change(QStringLiteral(
                         "Update SendClaim set LeaseUntil=? where SendTempID=? and Worker=?"),
                     {now + lease.count(), id, worker_})
            : Change(QStringLiteral("Update SendClaim set LeaseUntil=? where SendTempID=? and "
                                    "Worker=? and ClaimedAt=?"),
                     {now + lease.count(), id, worker_, *claim});
    if (held != 1)
        throw ClaimLost(
            QStringLiteral("row %1 is held by another worker now").arg(id).toStdString());
}

std::optional<Round> QueueStore::StartRound(qint64 id, std::chrono::milliseconds lease) {
    Tx tx(*this);
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
    Round round;
    {
        QSqlQuery& q = Run(QStringLiteral("Select min(Round) from SendDetail where SendTempID=? "
                                          "and Status in ('waiting','submitting')"),
                           {id});
        if (!q.next() || q.value(0).isNull()) return std::nullopt;
        round.round = q.value(0).toInt();
    }
    {
        QSqlQuery& q = Run(QStringLiteral("Select Phone from SendDetail where SendTempID=? and "
                                          "Round=? and Status in ('waiting','submitting') order "
                                          "by Seq"),
                           {id, round.round});
        while (q.next())
            round.phones << q.value(0).toString();
    }
    // Handed over from now on, as far as the sweeper's validity counts.
    Change(QStringLiteral("Update SendDetail set Status='submitting', UpdatedAt=?, SubmitAt=? "
                          "where SendTempID=? and Round=? and Status='waiting'"),
           {now, now, id, round.round});
    return round;
}

std::optional<Round> QueueStore::FinishRound(qint64 id, int round, const QString& status,
                                             const QString& text, const QStringList& retry,
                                             std::chrono::milliseconds lease, bool markNext) {
    Tx tx(*this);
    const qint64 now = clock_();
    // A worker that lost its row (frozen past its lease) must not write over
    // the round its successor may have marked with the same number.
    Renew(id, now, lease);
    for (const QString& phone : retry)
        Change(QStringLiteral("Update SendDetail set Status='waiting', UpdatedAt=? where "
                              "SendTempID=? and Round=? and Phone=? and Status='submitting'"),
               {now, id, round, phone});
    const int n =
        Change(QStringLiteral("Update SendDetail set Status=?, SmscText=?, UpdatedAt=? where "
                              "SendTempID=? and Round=? and Status='submitting'"),
               {status, text.left(200), now, id, round});
    QStringList log;
    if (n > 0)
        log << QStringLiteral("row %1: %2 numbers %3%4")
                   .arg(id)
                   .arg(n)
                   .arg(status, text.isEmpty() ? QString() : QStringLiteral(" (") + text + ')');
    if (status == QLatin1String(status::kRejected)) Refund(id);
    std::optional<Round> next;
    if (markNext) next = MarkRound(id, now);
    if (!next) AdvanceAll({id}, log);
    tx.Commit();
    for (const QString& line : log)
        qCInfo(lcQueue).noquote() << line;
    return next;
}

std::optional<QString> QueueStore::SecretOf(qint64 id) {
    if (auto it = secrets_.constFind(id); it != secrets_.constEnd()) return *it;
    QSqlQuery& q = Run(QStringLiteral("Select Secret from SendClaim where SendTempID=?"), {id});
    if (!q.next()) return std::nullopt;
    const QString secret = q.value(0).toString();
    if (secrets_.size() > 100000) secrets_.clear(); // a cache, not a record
    secrets_.insert(id, secret);
    return secret;
}

ReportCounts QueueStore::ApplyReports(const std::vector<Report>& reports) {
    ReportCounts counts;
    dialect_ = DialectOf(db_);
    Tx tx(*this);
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
    std::map<Key, std::pair<QString, QString>> latest; // status, text
    for (const Report& r : reports) {
        const std::optional<QString> secret = SecretOf(r.id);
        if (!secret || *secret != r.secret) {
            ++counts.forged;
            continue;
        }
        const std::optional<QString> st = StatusOfReport(r.type);
        if (!st) {
            ++counts.ignored;
            continue;
        }
        auto [it, fresh] = latest.try_emplace(Key{r.id, r.round, r.phone}, *st, r.text.left(200));
        if (!fresh && !IsFinal(it->second.first)) it->second = {*st, r.text.left(200)};
        ++counts.applied;
    }
    // A final report settles any number still open, an unknown one too; a
    // passing one only moves a number that is still on its way. Many numbers
    // to a statement.
    QSet<qint64> touched;
    if (dialect_ == Dialect::Postgres && !latest.empty()) {
        // One statement of one shape, prepared once, whatever the batch: its
        // columns go as arrays.
        QStringList id, rnd, phone, st, txt, fin, rows;
        for (const auto& [key, value] : latest) {
            id << QString::number(key.id);
            rnd << QString::number(key.round);
            phone << key.phone;
            st << value.first;
            txt << value.second;
            fin << QString::number(IsFinal(value.first) ? 1 : 0);
            if (!touched.contains(key.id)) rows << QString::number(key.id);
            touched.insert(key.id);
        }
        Change(QStringLiteral(
                   "Update SendDetail d set Status=v.st, SmscText=v.txt, UpdatedAt=? from "
                   "unnest(?::integer[], ?::integer[], ?::varchar[], ?::varchar[], ?::varchar[], "
                   "?::integer[]) as v(id, rnd, phone, st, txt, final) where d.SendTempID = "
                   "any(?::integer[]) and ") +
                   kReportMatch,
               {now, ArrayText(id), ArrayText(rnd), ArrayText(phone), ArrayText(st), ArrayText(txt),
                ArrayText(fin), ArrayText(rows)});
        latest.clear();
    }
    if (dialect_ == Dialect::Sqlite && !latest.empty()) {
        // The same on SQLite, the batch as one JSON text: SQLite looks up
        // hundreds of parameters by name, over and over, and parses a new
        // statement for every batch.
        QJsonArray batch, rows;
        for (const auto& [key, value] : latest) {
            batch.append(QJsonArray{key.id, key.round, key.phone, value.first, value.second,
                                    IsFinal(value.first) ? 1 : 0});
            if (!touched.contains(key.id)) rows.append(key.id);
            touched.insert(key.id);
        }
        Change(QStringLiteral("Update SendDetail as d set Status=v.st, SmscText=v.txt, "
                              "UpdatedAt=? from (select json_extract(value, '$[0]') as id, "
                              "json_extract(value, '$[1]') as rnd, json_extract(value, '$[2]') as "
                              "phone, json_extract(value, '$[3]') as st, json_extract(value, "
                              "'$[4]') as txt, json_extract(value, '$[5]') as final from "
                              "json_each(?)) as v where d.SendTempID in (select value from "
                              "json_each(?)) and ") +
                   kReportMatch,
               {now, QString::fromUtf8(QJsonDocument(batch).toJson(QJsonDocument::Compact)),
                QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact))});
        latest.clear();
    }
    for (auto from = latest.begin(); from != latest.end();) {
        QStringList values;
        QVariantList binds;
        QList<qint64> ids; // the batch's rows, in order (the map is sorted by row)
        // 250 numbers: 6 values each, their rows and the time stay under
        // SQL Server's 2,100 parameters.
        for (int n = 0; from != latest.end() && n < 250; ++from, ++n) {
            values << QStringLiteral("(?, ?, ?, ?, ?, ?)");
            binds << from->first.id << from->first.round << from->first.phone << from->second.first
                  << from->second.second << (IsFinal(from->second.first) ? 1 : 0);
            touched.insert(from->first.id);
            if (ids.isEmpty() || ids.back() != from->first.id) ids << from->first.id;
        }
        const QString list = values.join(QStringLiteral(", "));
        // The numbers are looked up by their rows, named outright, whatever the
        // planner believes of the statuses.
        const QString match = QStringLiteral("d.SendTempID in ") + IdList(ids, binds) +
                              QStringLiteral(" and ") + kReportMatch;
        // What is left is SQL Server's: rows of values, 250 numbers a statement.
        const QString sql =
            QStringLiteral("Update d set Status=v.st, SmscText=v.txt, UpdatedAt=? from "
                           "SendDetail d join (values %1) as v(id, rnd, phone, st, txt, "
                           "final) on ")
                .arg(list);
        binds.prepend(now);
        Change(sql + match, binds, /*keep=*/false);
    }
    QList<qint64> rows(touched.begin(), touched.end());
    std::sort(rows.begin(), rows.end());
    for (qint64 id : rows)
        Refund(id);
    QStringList log;
    AdvanceAll(rows, log);
    tx.Commit();
    for (const QString& line : log)
        qCInfo(lcQueue).noquote() << line;
    return counts;
}

int QueueStore::Sweep(std::chrono::milliseconds validity) {
    Tx tx(*this);
    const qint64 now = clock_();
    // Open numbers live in open rows only. The rows are named outright, a
    // chunk at a time: asked through a subquery, a planner that believes
    // the statistics of the statuses reads every number ever sent.
    QList<qint64> open, handed;
    {
        QSqlQuery& q =
            Run(QStringLiteral("Select ID, state from SendTemp where state in ('1','2')"), {});
        while (q.next()) {
            open << q.value(0).toLongLong();
            if (q.value(1).toString() == QLatin1String("2")) handed << open.back();
        }
    }
    int n = 0;
    const QString why = QStringLiteral("no final report within %1 s").arg(validity.count() / 1000);
    for (qsizetype first = 0; first < open.size(); first += 200) {
        const QList<qint64> chunk = open.mid(first, 200);
        QVariantList binds{why, now, now - validity.count()};
        const QString list = IdList(chunk, binds);
        n += Change(QStringLiteral("Update SendDetail set Status='unknown', SmscText=?, "
                                   "UpdatedAt=? where Status in ('submitted','accepted',"
                                   "'buffered') and SubmitAt<? and SendTempID in ") +
                        list,
                    binds, /*keep=*/chunk.size() == 200);
    }
    QStringList log;
    if (n > 0) log << QStringLiteral("sweep: %1 numbers without a final report are unknown").arg(n);
    // Rows handed over whose last open number this made unknown, or settled long ago.
    AdvanceAll(handed, log);
    tx.Commit();
    for (const QString& line : log)
        qCInfo(lcQueue).noquote() << line;
    return n;
}

std::vector<QueueStore::RowSummary> QueueStore::Summaries(const QString& account,
                                                          std::optional<qint64> row) {
    Reopen();
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
    {
        QSqlQuery& q =
            Run(QStringLiteral("Select ID, SendNo, CreateTime, state, list from SendTemp") + where +
                    QStringLiteral(" order by ID"),
                binds);
        while (q.next()) {
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
        }
    }
    {
        QString detailWhere = QStringLiteral(" where SendTempID in (select ID from SendTemp") +
                              where + QStringLiteral(")");
        QSqlQuery& q = Run(QStringLiteral("Select SendTempID, Status, count(*) from SendDetail") +
                               detailWhere + QStringLiteral(" group by SendTempID, Status"),
                           binds);
        QSet<qint64> seen;
        while (q.next()) {
            auto it = index.constFind(q.value(0).toLongLong());
            if (it == index.constEnd()) continue;
            RowSummary& s = rows[*it];
            if (!seen.contains(s.id)) {
                seen.insert(s.id);
                s.pending = 0;
            }
            const QString st = q.value(1).toString();
            const int n = q.value(2).toInt();
            if (st == QLatin1String(status::kDelivered))
                s.delivered += n;
            else if (st == QLatin1String(status::kUndelivered))
                s.undelivered += n;
            else if (st == QLatin1String(status::kRejected))
                s.rejected += n;
            else if (st == QLatin1String(status::kInvalid))
                s.invalid += n;
            else if (st == QLatin1String(status::kUnknown))
                s.unknown += n;
            else
                s.pending += n;
        }
    }
    return rows;
}

std::vector<QueueStore::NumberLine> QueueStore::Numbers(qint64 row) {
    Reopen();
    std::vector<NumberLine> lines;
    QSqlQuery& q = Run(QStringLiteral("Select Seq, Phone, Status, SmscText, UpdatedAt from "
                                      "SendDetail where SendTempID=? order by Seq"),
                       {row});
    while (q.next())
        lines.push_back({q.value(0).toInt(), q.value(1).toString(), q.value(2).toString(),
                         q.value(3).toString(), q.value(4).toLongLong()});
    return lines;
}

} // namespace telvoro::smsd
