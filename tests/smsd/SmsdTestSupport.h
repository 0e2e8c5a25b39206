#pragma once
// What the queue server's tests share: a PostgreSQL server of their own (they
// restart it and claim every row, so they never share the suite's server),
// SQLite files, rows queued through the client's own gateway, and a look at
// the numbers' statuses.

#include "queue/QueueStore.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/queue/QueueTestSupport.h"
#include "tests/support/KannelRig.h"
#include "tests/support/PgServer.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/TempFolder.h"
#include "text/GbkCodec.h"

#include "smsd/Daemon.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace telvoro::smsd::testing {

using namespace telvoro::queue::testing;
using queue::QueueStore;

using telvoro::test::ChildProcess;
using telvoro::test::FreePort;
using telvoro::test::KannelRig;
using telvoro::test::SmscMessage;

using telvoro::test::PgServer;

// A database of each engine the tests run on, with the tables made.
struct TestDatabase {
    std::string text;
    std::unique_ptr<TempFolder> folder;
};

inline TestDatabase MakeDatabase(const std::string& engine) {
    telvoro::testing::EnsureApp();
    TestDatabase d;
    if (engine == "sqlite") {
        d.folder = std::make_unique<TempFolder>();
        d.text = "sqlite:" + (d.folder->path / "Orvanta.db").string();
        Connection c(QStringLiteral("smsd-test-init"));
        c.Open(telvoro::testing::Source(d.text), Create::Yes);
        ServerUpkeep(c).CreateTables();
        return d;
    }
    PgServer* pg = PgServer::Get();
    if (!pg) return d;
    d.text = engine == "odbc" ? pg->Odbc() : pg->Text();
    // Every test starts from an empty queue.
    Connection c(QStringLiteral("smsd-test-init"));
    c.Open(telvoro::testing::Source(pg->Text()));
    ServerUpkeep(c).CreateTables();
    QSqlQuery q(c.database());
    for (const char* sql :
         {"delete from SendTemp", "delete from SendDetail", "delete from SendClaim",
          "delete from Users", "delete from AccountSender", "delete from Inbound",
          "delete from OptOut", "delete from OptOutLog", "delete from DailyCount"})
        EXPECT_TRUE(q.exec(QString::fromLatin1(sql)));
    return d;
}

// telvoro-smsd's command line as a deployment writes it, against the rig's Kannel
// (its sendsms through `sendsmsPort` on 127.0.0.1 when given: a proxy in front).
inline std::vector<std::string> SmsdArgs(const KannelRig& rig, const std::string& source, int port,
                                         const std::string& worker, int sendsmsPort = 0) {
    const QString sendsms =
        sendsmsPort ? QStringLiteral("http://127.0.0.1:%1/cgi-bin/sendsms").arg(sendsmsPort)
                    : rig.SendsmsUrl();
    return {"--db",
            source,
            "--kannel",
            sendsms.toStdString(),
            "--kannel-user",
            rig.User().toStdString(),
            "--kannel-password-file",
            rig.PasswordFile().string(),
            "--listen",
            "127.0.0.1:" + std::to_string(port),
            "--worker",
            worker,
            "--sender",
            "10690000",
            "--kannel-conf",
            rig.ConfigFile().string()};
}

// Polls `done` until it holds or `limit` passes; the database may be away meanwhile.
inline bool WaitUntil(std::chrono::seconds limit, const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        try {
            if (done()) return true;
        } catch (const Error&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

// "STATE/STATUS=COUNT ..." over every number: what a drain left behind.
inline QString StateCounts(const std::string& source) {
    Connection c(QStringLiteral("smsd-test-look"));
    c.Open(telvoro::testing::Source(source));
    QSqlQuery q(c.database());
    q.exec(QStringLiteral("select t.state, d.Status, count(*) from SendTemp t join SendDetail d "
                          "on d.SendTempID=t.ID group by t.state, d.Status order by 1, 2"));
    QStringList counts;
    while (q.next())
        counts << q.value(0).toString() + '/' + q.value(1).toString() + '=' + q.value(2).toString();
    return counts.join(' ');
}

// Runs `call` on a thread of its own while this one serves the in-process
// queue server's endpoint, and gives its result.
template <typename Call> auto Pump(Call&& call) {
    auto reply = std::async(std::launch::async, std::forward<Call>(call));
    while (reply.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return reply.get();
}

// The queue server in-process on `source` with no Kannel behind its URL: a
// row's round goes back to waiting and the row stays in hand.
inline smsd::Settings EndpointSettings(const std::string& source) {
    smsd::Settings settings;
    settings.source = telvoro::testing::Source(source);
    settings.kannel.sendsms =
        QUrl(QStringLiteral("http://127.0.0.1:%1/cgi-bin/sendsms").arg(FreePort()));
    settings.worker = QStringLiteral("w");
    return settings;
}

// The secret of the row the in-process server claimed; empty after 5 s without one.
inline QString ClaimedSecret(const std::string& source) {
    QString secret;
    for (int i = 0; i < 500 && secret.isEmpty(); ++i) {
        Pump([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 0;
        });
        secret = Value(source, QStringLiteral("select Secret from SendClaim")).toString();
    }
    return secret;
}

} // namespace telvoro::smsd::testing
