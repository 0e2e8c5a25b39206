#pragma once
// Stand-in for server/Connection.h until it lands: the same interface, without the watchdog.

#include "core/SendJob.h"
#include "files/DataSource.h"
#include "server/SqlGateway.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

namespace telvoro {

enum class Create { No, Yes };

class Connection {
public:
    explicit Connection(QString qtConnectionName, TimeLimits limits = TimeLimits::Stated());
    ~Connection();
    void Open(const DataSource& source, Create create = Create::No);
    void Close();
    bool IsOpen() const;
    bool Lost() const { return lost_; }
    Engine engine() const { return source_.engine; }
    bool SqlServerDbms() const { return sqlServer_; }
    bool PostgresDbms() const { return postgres_; }
    const TimeLimits& limits() const { return limits_; }
    QSqlDatabase database() const;
    void EnsureOpen();
    void RequireOpen(const QString& what) const;
    void Watched(std::chrono::milliseconds limit, const QString& what,
                 const std::function<void()>& body);
    QSqlQuery Prepare(const QString& sql, std::chrono::milliseconds limit) const;
    void Begin();
    void Commit();
    void Rollback();
    bool InTransaction() const { return inTx_; }
    void MarkLost() { lost_ = true; }

private:
    QString name_;
    TimeLimits limits_;
    DataSource source_;
    bool lost_ = false, inTx_ = false, sqlServer_ = false, postgres_ = false;
};

void Exec(QSqlQuery& query, const QString& what);

} // namespace telvoro
