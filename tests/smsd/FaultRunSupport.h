#pragma once
// What the queue server's fault runs share: the installed telvoro-smsd run as
// a deployment runs it, rows queued as the client queues them (some numbers on
// the account's opt-out list), Kannel kept alive as run_kannel_box keeps it,
// and the audit of every queued number against what the SMSC received.

#include "tests/smsd/SmsdTestSupport.h"
#include "tests/support/AdminTool.h"
#include "tests/support/KannelRig.h"

#include <QSqlQuery>

#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <thread>

namespace telvoro::smsd::testing::faults {

using namespace std::chrono_literals;

constexpr int kPerRow = 100; // unique numbers per row: one sendsms request

inline std::string Tail(const std::filesystem::path& file, size_t most = 3000) {
    std::ifstream in(file);
    const std::string all{std::istreambuf_iterator<char>(in), {}};
    return all.size() > most ? "..." + all.substr(all.size() - most) : all;
}

// One telvoro-smsd process, started the way a deployment starts it. Its
// report address stays the same across restarts, as a deployment's does.
class Worker {
public:
    Worker(const KannelRig& rig, std::string source, std::string name,
           const std::filesystem::path& folder, std::vector<std::string> extra, int sendsmsPort = 0)
        : source_(std::move(source)), name_(std::move(name)), log_(folder / (name_ + ".log")),
          port_(FreePort()) {
        args_ = SmsdArgs(rig, source_, port_, name_, sendsmsPort);
        args_.insert(args_.end(), extra.begin(), extra.end());
    }
    void Start() {
        std::error_code ec;
        const auto size = std::filesystem::file_size(log_, ec);
        startedAt_ = ec ? 0 : size;
        process_.Start(TELVORO_BIN_DIR "/telvoro-smsd", args_, log_);
    }
    void Signal(int signal) { process_.Signal(signal); }
    void Kill() {
        process_.Signal(SIGKILL);
        process_.Stop(0ms);
    }
    // SIGTERM once this start has set up its handler: before, the signal's
    // default action ends the program before it has done anything.
    int Stop() {
        for (int i = 0; i < 200 && process_.Running(); ++i) {
            std::ifstream in(log_);
            in.seekg(static_cast<std::streamoff>(startedAt_));
            const std::string since{std::istreambuf_iterator<char>(in), {}};
            if (since.find("reports on") != std::string::npos) break;
            std::this_thread::sleep_for(50ms);
        }
        return process_.Stop(30s);
    }
    std::string Log() const { return Tail(log_, 6000); }

private:
    std::string source_, name_;
    std::filesystem::path log_;
    int port_;
    std::uintmax_t startedAt_ = 0;
    std::vector<std::string> args_;
    ChildProcess process_;
};

constexpr int kCredit = 100000; // the account's credit before a drain

// What a drain queued: how often each number, and which are on the account's
// opt-out list.
struct Drain {
    std::map<QString, int> queued;
    std::set<QString> optedOut;
};

// Queues `rows` rows as the client does, each of kPerRow numbers unique to
// this test, then its first number again and an empty element. Every seventh
// number goes on the account's opt-out list through telvoro-admin, the first
// of every seventh row among them: queued twice, held back twice.
inline Drain QueueDrain(const std::string& source, int rows) {
    Drain d;
    SetCredit(source, kAccount, kCredit);
    QStringList optOut{"--db",  QString::fromStdString(source), "optout", "add", "--account",
                       kAccount};
    for (int r = 0; r < rows; ++r) {
        QStringList list;
        for (int i = 0; i < kPerRow; ++i) {
            const int n = r * kPerRow + i;
            list << QStringLiteral("139%1").arg(n, 8, 10, QLatin1Char('0'));
            if (n % 7 == 0) d.optedOut.insert(list.back());
        }
        list.insert(1, QString());
        list << list.front();
        for (const QString& phone : list)
            if (!phone.isEmpty()) ++d.queued[phone];
        QueueRow(source, kAccount, QStringLiteral("Drain %1: your code is 4711").arg(r),
                 list.join(QLatin1Char(';')));
    }
    for (const QString& phone : d.optedOut)
        optOut << phone;
    TempFolder folder;
    const AdminResult added = RunAdminTool(QString::fromStdString(folder.path.string()), optOut);
    EXPECT_EQ(added.code, 0) << added.err.toStdString();
    return d;
}

inline int Count(const std::string& source, const QString& sql) {
    const QVariant v = Value(source, sql);
    if (!v.isValid()) throw Error("cannot count: " + sql.toStdString());
    return v.toInt();
}

// Rows not yet handed over completely, -1 when the database does not answer.
inline int RowsToSend(const std::string& source) {
    try {
        return Count(source,
                     QStringLiteral("select count(*) from SendTemp where state in ('0','1')"));
    } catch (const Error&) {
        return -1;
    }
}

// smsbox 1.4.5 panics (conn_unregister assertion) when the dlr-url's server
// dies with report requests in flight; deployed, run_kannel_box starts it
// again. The tests do the same, and count it.
struct KannelKeeper {
    KannelRig& rig;
    int restarts = 0;
    void Check() {
        if (telvoro::test::PortOpen(rig.SendsmsPort())) return;
        ++restarts;
        std::cout << "[ kannel   ] smsbox is gone, restarted; its last words: "
                  << Tail(rig.Folder() / "smsbox.out") << Tail(rig.Folder() / "smsbox.log") << "\n";
        rig.Stop();
        rig.Start();
    }
};

// Every row in "3", then the SMSC quiet for a while: Kannel may still hold
// numbers that were swept as unknown.
inline ::testing::AssertionResult WaitSettled(const std::string& source, KannelKeeper& kannel,
                                              std::chrono::seconds limit) {
    const bool settled = WaitUntil(limit, [&] {
        kannel.Check();
        return Count(source, QStringLiteral("select count(*) from SendTemp where state<>'3'")) == 0;
    });
    const KannelRig& rig = kannel.rig;
    size_t parts = rig.ReceivedParts();
    for (int quiet = 0; quiet < 6; std::this_thread::sleep_for(250ms)) {
        const size_t now = rig.ReceivedParts();
        quiet = now == parts ? quiet + 1 : 0;
        parts = now;
    }
    if (settled) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "rows not settled: " << StateCounts(source).toStdString()
           << "\nsmsbox: " << Tail(rig.Folder() / "smsbox.log")
           << "\nbearerbox: " << Tail(rig.Folder() / "bearerbox.log");
}

struct Tally {
    int queued = 0, sent = 0, unknown = 0, twice = 0, missing = 0;
    int optedOut = 0, optedOutSent = 0; // positions held back; listed numbers at the SMSC
    int creditBack = 0;                 // units the account got back
    std::map<QString, int> unknownWhy;  // SmscText of the unknown numbers that did reach the SMSC
};

// Holds the promise number by number, counting every position of a number
// (duplicates included) against the SMSC's view.
inline Tally Audit(const std::string& source, const KannelRig& rig, const Drain& drain) {
    Tally t;
    std::map<QString, int> received;
    for (const SmscMessage& m : rig.Received()) {
        ++received[m.to];
        ++t.sent;
    }
    std::map<QString, std::map<QString, int>> statuses; // phone -> status -> positions
    {
        Connection c(QStringLiteral("smsd-faults-look"));
        c.Open(telvoro::testing::Source(source));
        QSqlQuery q(c.database());
        EXPECT_TRUE(q.exec(
            QStringLiteral("select Phone, Status, SmscText from SendDetail where Phone<>''")));
        while (q.next()) {
            ++statuses[q.value(0).toString()][q.value(1).toString()];
            if (q.value(1).toString() == QLatin1String("unknown") &&
                received.count(q.value(0).toString()))
                ++t.unknownWhy[q.value(2).toString()];
        }
    }
    for (const auto& [phone, times] : drain.queued) {
        t.queued += times;
        const int got = received.count(phone) ? received.at(phone) : 0;
        std::map<QString, int>& s = statuses[phone];
        const int unknown = s[QStringLiteral("unknown")],
                  delivered = s[QStringLiteral("delivered")],
                  optedOut = s[QStringLiteral("opted-out")];
        int positions = 0;
        for (const auto& [status, n] : s)
            positions += n;
        EXPECT_EQ(positions, times) << phone.toStdString() << " recorded at the wrong count";
        if (drain.optedOut.count(phone)) {
            t.optedOut += optedOut;
            t.optedOutSent += got;
            EXPECT_EQ(got, 0) << phone.toStdString() << " on the opt-out list, sent " << got << "x";
            EXPECT_EQ(optedOut, times) << phone.toStdString() << " on the opt-out list";
            continue;
        }
        t.unknown += unknown;
        if (got > times) {
            t.twice += got - times;
            ADD_FAILURE() << phone.toStdString() << " queued " << times << "x, sent " << got << "x";
        }
        if (times - got > unknown) {
            ADD_FAILURE() << phone.toStdString() << " queued " << times << "x, sent " << got
                          << "x, but only " << unknown << " unknown";
        }
        t.missing += std::max(0, times - got);
        EXPECT_LE(delivered, got) << phone.toStdString() << " delivered but never sent";
        EXPECT_EQ(delivered + unknown, times) << phone.toStdString() << " left open";
    }
    for (const auto& [phone, got] : received)
        EXPECT_TRUE(drain.queued.count(phone)) << phone.toStdString() << " sent but never queued";
    // One unit a number (the texts are one part): exactly the numbers held back.
    t.creditBack =
        Count(source, QStringLiteral("select CurrSum from Users where Login='%1'").arg(kAccount)) -
        kCredit;
    EXPECT_EQ(t.creditBack, t.optedOut) << "credit given back";
    return t;
}

inline void Figures(const char* what, const Tally& t) {
    std::cout << "[ figures  ] " << what << ": " << t.queued << " numbers queued, " << t.sent
              << " sent, " << t.unknown << " unknown, " << t.missing << " never sent, " << t.twice
              << " sent twice; " << t.optedOut << " opted out, " << t.optedOutSent
              << " of them sent, " << t.creditBack << " units back\n";
    for (const auto& [why, n] : t.unknownWhy)
        std::cout << "[ figures  ]   unknown although sent: " << n << " (" << why.toStdString()
                  << ")\n";
}

// None unknown or never sent while Kannel ran throughout, none sent twice.
inline void ExpectKept(const char* what, int caught, const KannelKeeper& kannel, const Tally& t) {
    if (kannel.restarts == 0) {
        EXPECT_EQ(t.unknown, 0);
        EXPECT_EQ(t.missing, 0);
    }
    EXPECT_EQ(t.twice, 0);
    std::cout << "[ figures  ] " << what << ": " << caught
              << " numbers caught submitting; smsbox restarted " << kannel.restarts << " times\n";
    Figures(what, t);
}

// Numbers caught between "submitting" and Kannel's answer, not yet decided.
inline int Caught(const std::string& source) {
    return Count(source, QStringLiteral("select count(*) from SendDetail where Status in "
                                        "('submitting','checking')"));
}

inline TestDatabase Database(const std::string& engine) {
    TestDatabase db = MakeDatabase(engine);
    if (db.text.empty() && std::getenv("TELVORO_PG_REQUIRED"))
        ADD_FAILURE() << "no PostgreSQL server";
    return db;
}

// Stopped at random moments (before, during and just after a request) and
// restarted under the same name each time. After SIGKILL a number caught
// between "submitting" and Kannel's answer is checked with Kannel: its report,
// bearerbox's store, or after a grace period sent again; SIGTERM finishes the
// request in flight. Either way nothing ends unknown while Kannel runs
// throughout, and nothing is sent twice.

} // namespace telvoro::smsd::testing::faults
