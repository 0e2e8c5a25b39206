#include "server/SqlGateway.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/TextRules.h"
#include "server/SqlError.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QUrl>
#include <QVariant>

#include <array>

#include <sql.h>
#include <sqlext.h>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

// Logins come from a deciphered file and may hold bytes that are not GBK: such
// a login simply matches no account.
QString LoginText(const std::string& login) {
    return FromGbk(login, /*lenient=*/true);
}

// ODBC has no per-connection statement time-out in Qt; set it on the handle.
void SetStatementTimeout(QSqlQuery& query, int seconds) {
    const QVariant stmt = query.result()->handle();
    // QODBC hands out its SQLHSTMT as "SQLHANDLE" or, in Qt 6, as a plain "void*".
    if (!stmt.isValid() ||
        (qstrcmp(stmt.typeName(), "SQLHANDLE") != 0 && qstrcmp(stmt.typeName(), "void*") != 0))
        return;
    SQLHANDLE handle = *static_cast<SQLHANDLE const*>(stmt.constData());
    if (handle)
        SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
}

// Prepares `sql` on `db` with the engine's time-out for it.
QSqlQuery Prepare(const QSqlDatabase& db, Engine engine, const QString& sql, int timeoutSeconds) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) ThrowSqlError(query.lastError(), sql);
    if (engine == Engine::SqlServer) SetStatementTimeout(query, timeoutSeconds);
    return query;
}

void Exec(QSqlQuery& query, const QString& what) {
    if (!query.exec()) ThrowSqlError(query.lastError(), what);
}

void ExecDirect(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql)) ThrowSqlError(query.lastError(), sql);
}

} // namespace

QString SqlServerConnectString(const DataSource& source) {
    if (!source.odbc.empty()) return QString::fromStdString(source.odbc);
    // ODBC wants braces around a value with special characters, and a "}" in
    // it doubled; Qt does not escape what it appends itself, so we write it all.
    auto braced = [](QString v) {
        return QLatin1Char('{') + v.replace(QLatin1Char('}'), QLatin1String("}}")) +
               QLatin1Char('}');
    };
    QString server = QString::fromStdString(source.host);
    if (!source.instance.empty())
        server += QLatin1Char('\\') + QString::fromStdString(source.instance);
    QString s = QStringLiteral("DRIVER={FreeTDS};SERVER=") + braced(server);
    if (source.port > 0) s += QStringLiteral(";PORT=") + QString::number(source.port);
    s += QStringLiteral(";DATABASE=") + braced(QString::fromLatin1(kDbCatalog)) +
         QStringLiteral(";UID=") + braced(QString::fromLatin1(kDbUser)) + QStringLiteral(";PWD=") +
         braced(QString::fromLatin1(kDbPassword)) +
         QStringLiteral(";TDS_Version=7.4;ClientCharset=UTF-8");
    return s;
}

SqlGateway::SqlGateway(QString connectionName) : name_(std::move(connectionName)) {}

SqlGateway::~SqlGateway() {
    Close();
    if (QSqlDatabase::contains(name_)) QSqlDatabase::removeDatabase(name_);
}

QSqlDatabase SqlGateway::connection() const {
    return QSqlDatabase::database(name_, false);
}

bool SqlGateway::IsOpen() const {
    return QSqlDatabase::contains(name_) && connection().isOpen();
}

void SqlGateway::Close() {
    if (!QSqlDatabase::contains(name_)) return;
    {
        QSqlDatabase db = connection();
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(name_);
    inTransaction_ = false;
    columns_.clear();
}

void SqlGateway::Open(const DataSource& source, Create create) {
    Close();
    source_ = source;
    static constexpr std::array drivers{"QSQLITE", "QPSQL", "QODBC"};
    const QString driver = QString::fromLatin1(drivers[static_cast<std::size_t>(source.engine)]);
    if (!QSqlDatabase::isDriverAvailable(driver))
        throw Error("the database driver " + driver.toStdString() + " is not installed");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name_);
    switch (source.engine) {
    case Engine::Sqlite: {
        std::error_code ec;
        const bool missing = !fs::exists(source.sqliteFile, ec);
        if (!(missing && create == Create::Yes) && !fs::is_regular_file(source.sqliteFile, ec))
            throw Error("无法打开数据库“" + PathText(source.sqliteFile) + "”：" +
                        ReasonText(fs::is_directory(source.sqliteFile, ec) ? EISDIR : ENOENT));
        // mode=rw: open an existing file for writing, never create one.
        db.setDatabaseName(
            QUrl::fromLocalFile(ToQString(fs::absolute(source.sqliteFile)))
                .toString(QUrl::FullyEncoded) +
            (create == Create::Yes ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw")));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(kCommandTimeoutSeconds * 1000));
        break;
    }
    case Engine::PostgreSql:
        db.setHostName(QString::fromStdString(source.host));
        if (source.port > 0) db.setPort(source.port);
        db.setDatabaseName(QString::fromLatin1(kDbCatalog));
        db.setUserName(QString::fromLatin1(kDbUser));
        db.setPassword(QString::fromLatin1(kDbPassword));
        db.setConnectOptions(QStringLiteral("connect_timeout=%1;options='-c statement_timeout=%2'")
                                 .arg(kConnectTimeoutSeconds)
                                 .arg(kQueryTimeoutSeconds * 1000));
        break;
    case Engine::SqlServer:
        db.setDatabaseName(SqlServerConnectString(source));
        db.setConnectOptions(
            QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1")
                .arg(kConnectTimeoutSeconds));
        break;
    }
    // A failure leaves nothing open: the handles go before the connection.
    const auto fail = [&](const QString& what, const QSqlError& error) {
        db = QSqlDatabase();
        Close();
        ThrowSqlError(error, what);
    };
    // One statement that must succeed before the connection counts as open.
    const auto mustRun = [&](const QString& sql, const QString& what) {
        QSqlError error;
        {
            QSqlQuery query(db);
            if (query.exec(sql)) return;
            error = query.lastError();
        }
        fail(what, error);
    };
    if (!db.open())
        fail(QStringLiteral("cannot connect to ") + QString::fromStdString(source.text),
             db.lastError());
    if (source.engine == Engine::SqlServer && source.odbc.empty()) {
        // The deduction is judged by its row count, which SET NOCOUNT ON (a
        // server's default user options) would hide.
        mustRun(QStringLiteral("SET NOCOUNT OFF"), QStringLiteral("SET NOCOUNT OFF"));
    }
    if (source.engine == Engine::Sqlite) {
        // The file opens lazily: make sure it is a database now.
        mustRun(QStringLiteral("PRAGMA schema_version"),
                QStringLiteral("cannot open ") +
                    QString::fromStdString(PathText(source.sqliteFile)));
    }
}

std::optional<std::string> SqlGateway::QueryCredit(const std::string& login) {
    QSqlQuery query =
        Prepare(connection(), source_.engine,
                QStringLiteral("Select CurrSum from Users where login=?"), kQueryTimeoutSeconds);
    query.addBindValue(LoginText(login));
    Exec(query, QStringLiteral("credit query"));
    if (!query.next()) return std::nullopt;
    const QVariant value = query.value(0);
    return ToGbk(value.isNull() ? QString() : value.toString());
}

void SqlGateway::BeginTransaction() {
    if (inTransaction_) throw Error("a transaction is already open");
    QSqlDatabase db = connection();
    if (source_.engine == Engine::Sqlite) {
        // Take the write lock at once: two clients that both read first would
        // otherwise deadlock on the upgrade instead of waiting their turn.
        ExecDirect(db, QStringLiteral("BEGIN IMMEDIATE"));
    } else if (!db.transaction()) {
        ThrowSqlError(db.lastError(), QStringLiteral("begin transaction"));
    }
    inTransaction_ = true;
}

void SqlGateway::InsertSendRow(const std::string& sendNo, const std::string& memo,
                               const std::string& list) {
    QSqlDatabase db = connection();
    if (columns_.isEmpty()) {
        // The queue's columns as the server names them (PostgreSQL folds case).
        QSqlQuery probe =
            Prepare(db, source_.engine, QStringLiteral("Select * from SendTemp where ID=0"),
                    kQueryTimeoutSeconds);
        Exec(probe, QStringLiteral("Select * from SendTemp where ID=0"));
        const QSqlRecord record = probe.record();
        QStringList names;
        for (const char* wanted : {"SendNo", "SendMemo", "list", "state"}) {
            const int i = record.indexOf(QString::fromLatin1(wanted));
            if (i < 0) throw Error(std::string("SendTemp has no column ") + wanted);
            names << db.driver()->escapeIdentifier(record.fieldName(i), QSqlDriver::FieldName);
        }
        columns_ = names;
    }
    QSqlQuery insert = Prepare(db, source_.engine,
                               QStringLiteral("Insert into SendTemp (%1) values (?, ?, ?, ?)")
                                   .arg(columns_.join(QStringLiteral(", "))),
                               kQueryTimeoutSeconds);
    insert.addBindValue(FromGbk(sendNo, true));
    insert.addBindValue(FromGbk(memo));
    insert.addBindValue(FromGbk(list));
    insert.addBindValue(QStringLiteral("0"));
    Exec(insert, QStringLiteral("append to SendTemp"));
}

long long SqlGateway::Deduct(const std::string& login, std::int32_t price) {
    QSqlDatabase db = connection();
    if (source_.engine == Engine::PostgreSql)
        ExecDirect(
            db,
            QStringLiteral("SET LOCAL statement_timeout = %1").arg(kCommandTimeoutSeconds * 1000));
    QSqlQuery update =
        Prepare(db, source_.engine,
                QStringLiteral("Update Users set CurrSum=CurrSum-? where Login=? and CurrSum>=?"),
                kCommandTimeoutSeconds);
    update.addBindValue(price);
    update.addBindValue(LoginText(login));
    update.addBindValue(price);
    Exec(update, QStringLiteral("credit deduction"));
    return update.numRowsAffected();
}

void SqlGateway::Commit() {
    QSqlDatabase db = connection();
    if (source_.engine == Engine::Sqlite) {
        ExecDirect(db, QStringLiteral("COMMIT"));
    } else if (!db.commit()) {
        ThrowSqlError(db.lastError(), QStringLiteral("commit"));
    }
    inTransaction_ = false;
}

void SqlGateway::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    QSqlDatabase db = connection();
    if (source_.engine == Engine::Sqlite) {
        QSqlQuery query(db);
        // SQLite may already have rolled back on its own after some errors.
        if (!query.exec(QStringLiteral("ROLLBACK")) &&
            !query.lastError().text().contains(QLatin1String("no transaction"),
                                               Qt::CaseInsensitive))
            ThrowSqlError(query.lastError(), QStringLiteral("rollback"));
    } else if (!db.rollback()) {
        ThrowSqlError(db.lastError(), QStringLiteral("rollback"));
    }
}

} // namespace telvoro
