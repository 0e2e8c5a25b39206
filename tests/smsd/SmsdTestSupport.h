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
#include "tests/support/ServerTestSupport.h"
#include "tests/support/TempFolder.h"
#include "text/GbkCodec.h"

#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
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

// A throw-away PostgreSQL server for this test process, started on first use.
class PgServer {
public:
    static PgServer* Get() {
        static std::unique_ptr<PgServer> server = [] {
            auto s = std::make_unique<PgServer>();
            if (!s->Start()) s.reset();
            return s;
        }();
        return server.get();
    }
    PgServer() : port_(telvoro::test::FreePort()) {}
    ~PgServer() { Shell("./scripts/pg stop " + dir_ + " >/dev/null 2>&1"); }
    std::string Text() const { return "postgresql://127.0.0.1:" + std::to_string(port_); }
    std::string Odbc() const {
        return "odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + std::to_string(port_) +
               ";DATABASE=Orvanta;UID=gsm;PWD={qelvix:-!}";
    }
    // Stops the server and starts it again after `down` seconds; whether it came back.
    bool Restart(double down) {
        Shell(PgCtl("stop -m fast -w") + " >/dev/null 2>&1");
        std::this_thread::sleep_for(std::chrono::duration<double>(down));
        return Shell(PgCtl("start -w -t 60 -o \"-h 127.0.0.1 -p " + std::to_string(port_) + " -k " +
                           dir_ + " -c fsync=off -c max_connections=50\"") +
                     " >/dev/null 2>&1") == 0;
    }

private:
    static int Shell(const std::string& command) {
        return std::system(("cd " TELVORO_SOURCE_DIR " && " + command).c_str());
    }
    std::string PgCtl(const std::string& args) const {
        const std::string bin = "$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)";
        const std::string run = "$( [ \"$(id -u)\" -eq 0 ] && echo runuser -u postgres -- )";
        return run + " " + bin + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/log " + args;
    }
    bool Start() {
        dir_ = "/tmp/telvoro-smsd-pg-" + std::to_string(getpid());
        if (Shell("./scripts/pg start " + dir_ + " " + std::to_string(port_) + " >/dev/null") != 0)
            return false;
        Connection c(QStringLiteral("smsd-test-init"));
        c.Open(telvoro::testing::Source(Text()));
        ServerUpkeep(c).CreateTables();
        return true;
    }
    int port_;
    std::string dir_;
};

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
    for (const char* sql : {"delete from SendTemp", "delete from SendDetail",
                            "delete from SendClaim", "delete from Users"})
        EXPECT_TRUE(q.exec(QString::fromLatin1(sql)));
    return d;
}

// telvoro-smsd's command line as a deployment writes it, against the rig's Kannel.
inline std::vector<std::string> SmsdArgs(const KannelRig& rig, const std::string& source, int port,
                                         const std::string& worker) {
    return {"--db",
            source,
            "--kannel",
            rig.SendsmsUrl().toStdString(),
            "--kannel-user",
            rig.User().toStdString(),
            "--kannel-password-file",
            rig.PasswordFile().string(),
            "--listen",
            "127.0.0.1:" + std::to_string(port),
            "--worker",
            worker};
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

} // namespace telvoro::smsd::testing
