#include "server/SqlGateway.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/TextRules.h"
#include "server/GbkCodec.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QUrl>
#include <QVariant>

#include <array>

#ifdef TELVORO_HAVE_ODBC
#include <sql.h>
#include <sqlext.h>
#endif

namespace telvoro {

namespace fs = std::filesystem;

namespace {

fs::path FromQtPath(const QString& s) {
    const QByteArray utf8 = s.toUtf8();
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()),
                                  std::size_t(utf8.size())));
}

QString ToQtPath(const fs::path& p) {
    const std::u8string s = p.u8string();
    return QString::fromUtf8(reinterpret_cast<const char*>(s.data()), qsizetype(s.size()));
}

[[noreturn]] void ThrowSql(const QString& what, const QSqlError& error) {
    // Drivers write several lines (libpq adds hints); a message is one line.
    QString text = error.text().simplified();
    if (text.isEmpty()) text = QStringLiteral("unknown database error");
    throw Error((what + QStringLiteral(": ") + text).toStdString());
}

// Logins come from a deciphered file and may hold bytes that are not GBK: such
// a login simply matches no account.
QString LoginText(const std::string& login) {
    return FromGbk(login, /*lenient=*/true);
}

// ODBC has no per-connection statement time-out in Qt; set it on the handle.
void SetStatementTimeout([[maybe_unused]] QSqlQuery& query, [[maybe_unused]] int seconds) {
#ifdef TELVORO_HAVE_ODBC
    const QVariant stmt = query.result()->handle();
    // QODBC hands out its SQLHSTMT as "SQLHANDLE" or, in Qt 6, as a plain "void*".
    if (!stmt.isValid() ||
        (qstrcmp(stmt.typeName(), "SQLHANDLE") != 0 && qstrcmp(stmt.typeName(), "void*") != 0))
        return;
    SQLHANDLE handle = *static_cast<SQLHANDLE const*>(stmt.constData());
    if (handle)
        SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
#endif
}

// Prepares `sql` on `db` with the engine's time-out for it.
QSqlQuery Prepare(const QSqlDatabase& db, Engine engine, const QString& sql, int timeoutSeconds) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) ThrowSql(sql, query.lastError());
    if (engine == Engine::SqlServer) SetStatementTimeout(query, timeoutSeconds);
    return query;
}

void Exec(QSqlQuery& query, const QString& what) {
    if (!query.exec()) ThrowSql(what, query.lastError());
}

void ExecDirect(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql)) ThrowSql(sql, query.lastError());
}

} // namespace

DataSource ParseDataSource(const QString& raw, const fs::path& programFolder) {
    DataSource source;
    const QString text = raw.trimmed();
    source.text = text;
    if (text.isEmpty()) {
        source.engine = Engine::Sqlite;
        source.sqliteFile = programFolder / "Orvanta.db";
        return source;
    }
    if (text.startsWith(QLatin1String("sqlite:"), Qt::CaseInsensitive)) {
        source.engine = Engine::Sqlite;
        fs::path file = FromQtPath(text.mid(7));
        source.sqliteFile = file.is_absolute() ? file : programFolder / file;
        return source;
    }
    if (text.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)) {
        source.engine = Engine::PostgreSql;
        QString hostPort = text.mid(13);
        // The database is always Orvanta: a path after the host is ignored.
        if (const qsizetype slash = hostPort.indexOf(QLatin1Char('/')); slash >= 0)
            hostPort.truncate(slash);
        source.host = hostPort;
        const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
        if (colon > 0 && !hostPort.endsWith(QLatin1Char(']'))) {
            bool ok = false;
            const int port = hostPort.mid(colon + 1).toInt(&ok);
            if (!ok || port <= 0 || port > 65535)
                throw Error("invalid PostgreSQL port in data source: " + text.toStdString());
            source.port = port;
            source.host = hostPort.left(colon);
        }
        if (source.host.startsWith(QLatin1Char('[')) && source.host.endsWith(QLatin1Char(']')))
            source.host = source.host.mid(1, source.host.size() - 2);
        if (source.host.isEmpty())
            throw Error("no PostgreSQL host in data source: " + text.toStdString());
        return source;
    }
    source.engine = Engine::SqlServer;
    if (text.startsWith(QLatin1String("odbc:"), Qt::CaseInsensitive)) {
        source.odbc = text.mid(5);
        return source;
    }
    // SQL Server's own form: HOST[\INSTANCE][,PORT]
    QString rest = text;
    const qsizetype comma = rest.indexOf(QLatin1Char(','));
    if (comma >= 0) {
        bool ok = false;
        const int port = rest.mid(comma + 1).trimmed().toInt(&ok);
        if (!ok || port <= 0 || port > 65535)
            throw Error("invalid SQL Server port in data source: " + text.toStdString());
        source.port = port;
        rest = rest.left(comma);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('\\'));
    if (slash >= 0) {
        source.instance = rest.mid(slash + 1).trimmed();
        rest = rest.left(slash);
    }
    source.host = rest.trimmed();
    if (source.host.isEmpty() || source.host == QLatin1String("."))
        source.host = QStringLiteral("localhost");
    return source;
}

DataSource ReadDataSource(const fs::path& programFolder) {
    const fs::path ini = programFolder / "SMSServer.ini";
    std::error_code ec;
    if (!fs::exists(ini, ec)) return ParseDataSource(QString(), programFolder);
    const std::vector<std::string> lines = SplitLines(ReadWholeFile(ini));
    const std::string first = lines.empty() ? std::string() : std::string(Trim(lines.front()));
    return ParseDataSource(FromGbk(first), programFolder);
}

QString SqlServerConnectString(const DataSource& source) {
    if (!source.odbc.isEmpty()) return source.odbc;
    // ODBC wants braces around a value with special characters, and a "}" in
    // it doubled; Qt does not escape what it appends itself, so we write it all.
    auto braced = [](QString v) {
        return QLatin1Char('{') + v.replace(QLatin1Char('}'), QLatin1String("}}")) +
               QLatin1Char('}');
    };
    QString server = source.host;
    if (!source.instance.isEmpty()) server += QLatin1Char('\\') + source.instance;
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

QSqlDatabase SqlGateway::database() const {
    return QSqlDatabase::database(name_, false);
}

bool SqlGateway::IsOpen() const {
    return QSqlDatabase::contains(name_) && database().isOpen();
}

void SqlGateway::Close() {
    if (!QSqlDatabase::contains(name_)) return;
    {
        QSqlDatabase db = database();
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
            QUrl::fromLocalFile(ToQtPath(fs::absolute(source.sqliteFile)))
                .toString(QUrl::FullyEncoded) +
            (create == Create::Yes ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw")));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(kCommandTimeoutSeconds * 1000));
        break;
    }
    case Engine::PostgreSql:
        db.setHostName(source.host);
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
        ThrowSql(what, error);
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
    if (!db.open()) fail(QStringLiteral("cannot connect to ") + source.text, db.lastError());
    if (source.engine == Engine::SqlServer && source.odbc.isEmpty()) {
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
        Prepare(database(), source_.engine,
                QStringLiteral("Select CurrSum from Users where login=?"), kQueryTimeoutSeconds);
    query.addBindValue(LoginText(login));
    Exec(query, QStringLiteral("credit query"));
    if (!query.next()) return std::nullopt;
    const QVariant value = query.value(0);
    return ToGbk(value.isNull() ? QString() : value.toString());
}

void SqlGateway::BeginTransaction() {
    if (inTransaction_) throw Error("a transaction is already open");
    QSqlDatabase db = database();
    if (source_.engine == Engine::Sqlite) {
        // Take the write lock at once: two clients that both read first would
        // otherwise deadlock on the upgrade instead of waiting their turn.
        ExecDirect(db, QStringLiteral("BEGIN IMMEDIATE"));
    } else if (!db.transaction()) {
        ThrowSql(QStringLiteral("begin transaction"), db.lastError());
    }
    inTransaction_ = true;
}

void SqlGateway::InsertSendRow(const std::string& sendNo, const std::string& memo,
                               const std::string& list) {
    QSqlDatabase db = database();
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
    QSqlDatabase db = database();
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
    QSqlDatabase db = database();
    if (source_.engine == Engine::Sqlite) {
        ExecDirect(db, QStringLiteral("COMMIT"));
    } else if (!db.commit()) {
        ThrowSql(QStringLiteral("commit"), db.lastError());
    }
    inTransaction_ = false;
}

void SqlGateway::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    QSqlDatabase db = database();
    if (source_.engine == Engine::Sqlite) {
        QSqlQuery query(db);
        // SQLite may already have rolled back on its own after some errors.
        if (!query.exec(QStringLiteral("ROLLBACK")) &&
            !query.lastError().text().contains(QLatin1String("no transaction"),
                                               Qt::CaseInsensitive))
            ThrowSql(QStringLiteral("rollback"), query.lastError());
    } else if (!db.rollback()) {
        ThrowSql(QStringLiteral("rollback"), db.lastError());
    }
}

} // namespace telvoro
