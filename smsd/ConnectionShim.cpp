#include "smsd/ConnectionShim.h"

#include "server/SqlError.h"
#include "text/QtPath.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>
#include <QVariant>
#include <thread>

namespace telvoro {

Connection::Connection(QString name, TimeLimits limits)
    : name_(std::move(name)), limits_(limits) {}

Connection::~Connection() {
    Close();
}

QSqlDatabase Connection::database() const {
    return QSqlDatabase::database(name_, false);
}

bool Connection::IsOpen() const {
    return !lost_ && QSqlDatabase::contains(name_) && database().isOpen();
}

void Connection::Close() {
    inTx_ = false;
    lost_ = false;
    if (!QSqlDatabase::contains(name_)) return;
    {
        QSqlDatabase db = database();
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

void Connection::Open(const DataSource& source, Create create) {
    Close();
    source_ = source;
    const char* drivers[] = {"QSQLITE", "QPSQL", "QODBC"};
    QSqlDatabase db =
        QSqlDatabase::addDatabase(QString::fromLatin1(drivers[int(source.engine)]), name_);
    switch (source.engine) {
    case Engine::Sqlite:
        db.setDatabaseName(
            QUrl::fromLocalFile(ToQString(std::filesystem::absolute(source.sqliteFile)))
                .toString(QUrl::FullyEncoded) +
            (create == Create::Yes ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw")));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(limits_.command.count()));
        break;
    case Engine::PostgreSql:
        db.setHostName(QString::fromStdString(source.host));
        if (source.port > 0) db.setPort(source.port);
        db.setDatabaseName(QString::fromLatin1(kDbCatalog));
        db.setUserName(QString::fromLatin1(kDbUser));
        db.setPassword(QString::fromLatin1(kDbPassword));
        db.setConnectOptions(QStringLiteral("connect_timeout=%1")
                                 .arg(std::max<long long>(2, limits_.connect.count() / 1000)));
        postgres_ = true;
        break;
    case Engine::SqlServer:
        db.setDatabaseName(SqlServerConnectString(source));
        break;
    }
    if (!db.open()) {
        const QSqlError e = db.lastError();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name_);
        ThrowSqlError(e, QStringLiteral("cannot connect to ") +
                             QString::fromStdString(source.text));
    }
    if (source.engine == Engine::SqlServer) {
        const QString dbms = db.driver()->property("dbmsName").toString();
        QSqlQuery q(db);
        postgres_ = q.exec(QStringLiteral("select version()")) && q.next() &&
                    q.value(0).toString().contains(QLatin1String("PostgreSQL"));
        sqlServer_ = !postgres_;
    }
}

void Connection::EnsureOpen() {
    if (IsOpen()) return;
    const auto deadline = std::chrono::steady_clock::now() + limits_.connect;
    for (;;) {
        try {
            Open(source_);
            return;
        } catch (const Error&) {
            lost_ = true;
            if (std::chrono::steady_clock::now() >= deadline) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

void Connection::RequireOpen(const QString& what) const {
    if (!IsOpen())
        throw ServerError(what.toStdString() + ": the connection to the server was lost",
                          "the connection to the server was lost");
}

void Connection::Watched(std::chrono::milliseconds, const QString&,
                         const std::function<void()>& body) {
    try {
        body();
    } catch (const Error&) {
        if (source_.engine != Engine::Sqlite) {
            QSqlQuery probe(database());
            if (!probe.exec(QStringLiteral("select 1"))) lost_ = true;
        }
        throw;
    }
}

QSqlQuery Connection::Prepare(const QString& sql, std::chrono::milliseconds) const {
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.prepare(sql)) ThrowSqlError(query.lastError(), sql);
    return query;
}

void Connection::Begin() {
    EnsureOpen();
    Watched(limits_.command, QStringLiteral("begin"), [&] {
        QSqlDatabase db = database();
        if (source_.engine == Engine::Sqlite) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) ThrowSqlError(q.lastError(), "begin");
        } else if (!db.transaction()) {
            ThrowSqlError(db.lastError(), QStringLiteral("begin"));
        }
    });
    inTx_ = true;
}

void Connection::Commit() {
    RequireOpen(QStringLiteral("commit"));
    Watched(limits_.commit, QStringLiteral("commit"), [&] {
        QSqlDatabase db = database();
        if (source_.engine == Engine::Sqlite) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("COMMIT"))) ThrowSqlError(q.lastError(), "commit");
        } else if (!db.commit()) {
            ThrowSqlError(db.lastError(), QStringLiteral("commit"));
        }
    });
    inTx_ = false;
}

void Connection::Rollback() {
    if (!inTx_) return;
    inTx_ = false;
    if (lost_) return;
    QSqlDatabase db = database();
    if (source_.engine == Engine::Sqlite) {
        QSqlQuery q(db);
        (void)q.exec(QStringLiteral("ROLLBACK"));
    } else {
        (void)db.rollback();
    }
}

void Exec(QSqlQuery& query, const QString& what) {
    if (!query.exec()) ThrowSqlError(query.lastError(), what);
}

} // namespace telvoro
