#include "server/SqlGateway.h"

#include "server/ClientSql.h"

#include "core/Error.h"
#include "db/SqlError.h"
#include "text/GbkCodec.h"

#include <QSqlDriver>
#include <QSqlRecord>
#include <QVariant>

namespace telvoro {

namespace {

// Logins come from a deciphered file and may hold bytes that are not GBK: such
// a login simply matches no account.
QString LoginText(const std::string& login) {
    return FromGbk(login, /*lenient=*/true);
}

} // namespace

SqlGateway::SqlGateway(QString connectionName, TimeLimits limits)
    : connection_(std::move(connectionName), limits) {}

void SqlGateway::Open(const DataSource& source, Create create) {
    columns_.clear();
    connection_.Open(source, create);
}

std::optional<std::string> SqlGateway::QueryCredit(const std::string& login) {
    connection_.EnsureOpen();
    std::optional<std::string> credit;
    const QString what = QStringLiteral("credit query");
    const auto limit = connection_.limits().query;
    connection_.Watched(limit, what, [&] {
        QSqlQuery query = connection_.Prepare(ClientSqlFor(connection_.dialect()).credit, limit);
        query.addBindValue(LoginText(login));
        Exec(query, what);
        if (!query.next()) return;
        const QVariant value = query.value(0);
        credit = ToGbk(value.isNull() ? QString() : value.toString());
    });
    return credit;
}

void SqlGateway::BeginTransaction() {
    connection_.Begin();
}

std::int64_t SqlGateway::InsertSendRow(const std::string& sendNo, const std::string& memo,
                                       const std::string& list) {
    const QString what = QStringLiteral("append to SendTemp");
    connection_.RequireOpen(what);
    std::int64_t id = 0;
    const auto limit = connection_.limits().query;
    const bool sqlite = connection_.engine() == Engine::Sqlite;
    connection_.Watched(limit, what, [&] {
        if (columns_.isEmpty()) {
            // The queue's columns as the server names them (PostgreSQL folds case).
            const QString& probeSql = ClientSqlFor(connection_.dialect()).columnsProbe;
            QSqlQuery probe = connection_.Prepare(probeSql, limit);
            Exec(probe, probeSql);
            const QSqlRecord record = probe.record();
            QStringList names;
            for (const char* wanted : {"SendNo", "SendMemo", "list", "state"}) {
                const int i = record.indexOf(QString::fromLatin1(wanted));
                if (i < 0) throw Error(std::string("SendTemp has no column ") + wanted);
                names << connection_.database().driver()->escapeIdentifier(record.fieldName(i),
                                                                           QSqlDriver::FieldName);
            }
            columns_ = names;
        }
        // The row's ID comes back inside the transaction, so a commit whose
        // answer is lost can still be settled.
        const ClientSql& statements = ClientSqlFor(connection_.dialect());
        const QString sql =
            statements.insertRow.arg(columns_.join(QStringLiteral(", "))) + statements.rowIdTail;
        QSqlQuery insert = connection_.Prepare(sql, limit);
        insert.addBindValue(FromGbk(sendNo, true));
        insert.addBindValue(FromGbk(memo));
        insert.addBindValue(FromGbk(list));
        insert.addBindValue(QStringLiteral("0"));
        Exec(insert, what);
        if (sqlite) {
            id = insert.lastInsertId().toLongLong();
        } else {
            while (!insert.isSelect() && insert.nextResult()) {
            }
            if (insert.next()) id = insert.value(0).toLongLong();
        }
        if (id <= 0)
            throw ServerError(what.toStdString() + ": the server gave no row ID",
                              "the server gave no row ID");
    });
    return id;
}

long long SqlGateway::Deduct(const std::string& login, std::int32_t price) {
    const QString what = QStringLiteral("credit deduction");
    connection_.RequireOpen(what);
    long long changed = 0;
    const auto limit = connection_.limits().command;
    connection_.Watched(limit, what, [&] {
        if (connection_.engine() == Engine::PostgreSql)
            ExecDirect(connection_.database(),
                       QStringLiteral("SET LOCAL statement_timeout = %1").arg(limit.count()));
        QSqlQuery update = connection_.Prepare(ClientSqlFor(connection_.dialect()).deduct, limit);
        update.addBindValue(price);
        update.addBindValue(LoginText(login));
        update.addBindValue(price);
        Exec(update, what);
        changed = update.numRowsAffected();
    });
    return changed;
}

void SqlGateway::Commit() {
    try {
        connection_.Commit();
    } catch (const ServerError& e) {
        throw CommitUncertain(e.what(), e.cause());
    } catch (const Error& e) {
        throw CommitUncertain(e.what(), e.what());
    }
}

void SqlGateway::Rollback() {
    connection_.Rollback();
}

bool SqlGateway::LookUpRow(std::int64_t id) {
    connection_.EnsureOpen();
    const QString what = QStringLiteral("look up row %1 of SendTemp").arg(id);
    const TimeLimits& limits = connection_.limits();
    const std::optional<long long> lostBackend = connection_.LostBackendId();
    bool sessionLives = false;
    if (lostBackend && connection_.dialect() == Dialect::Postgres) {
        // The lost session may still be committing: end it first, so that
        // what the lookup finds is final.
        connection_.Watched(limits.commit, what, [&] {
            QSqlQuery end = connection_.Prepare(QStringLiteral("Select pg_terminate_backend(?, ?)"),
                                                limits.commit);
            end.addBindValue(*lostBackend);
            end.addBindValue(static_cast<qlonglong>(limits.commit.count() / 2));
            Exec(end, what);
            QSqlQuery alive = connection_.Prepare(
                QStringLiteral("Select count(*) from pg_stat_activity where pid=?"), limits.commit);
            alive.addBindValue(*lostBackend);
            sessionLives = CountOf(alive, what) > 0;
        });
    }
    bool found = false;
    connection_.Watched(limits.query, what, [&] {
        QSqlQuery query =
            connection_.Prepare(ClientSqlFor(connection_.dialect()).rowCommitted, limits.query);
        query.addBindValue(static_cast<qlonglong>(id));
        found = CountOf(query, what) > 0;
    });
    if (found) {
        connection_.ForgetLostBackend();
        return true;
    }
    if (sessionLives) {
        const std::string cause = "the session that sent its commit still runs";
        throw ServerError(what.toStdString() + ": " + cause, cause);
    }
    connection_.ForgetLostBackend();
    return false;
}

} // namespace telvoro
