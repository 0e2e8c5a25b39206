// The whole road against real Kannel: rows queued as the client queues them,
// telvoro-smsd as it runs deployed, the SMSC's view, the reports, and the
// faults: Kannel and the database restarted during one drain (the queue
// server killed at random moments is in test_faults.cpp).

#include "queue/Rules.h"
#include "smsd/Daemon.h"
#include "smsd/Inbound.h"
#include "tests/smsd/SmsdTestSupport.h"
#include "tests/support/AdminTool.h"
#include "tests/support/KannelRig.h"

#include <QSqlQuery>

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QTcpSocket>

#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>

using namespace telvoro;
using namespace telvoro::smsd::testing;
using namespace std::chrono_literals;

namespace {

// 100 Chinese characters: Kannel sends two UCS-2 parts.
const QString kChinese =
    QString::fromUtf8(
        "尊敬的客户，您好！感谢您长期以来的支持，本周六起营业厅延长服务时间至晚上九点。")
        .repeated(3)
        .left(100);

// telvoro-smsd started as a deployment starts it, logging into the test folder.
class Smsd {
public:
    // `env`: VAR=VALUE settings the program runs with, beside the test's own.
    Smsd(const KannelRig& rig, std::string source, std::filesystem::path log,
         std::vector<std::string> extra = {}, std::vector<std::string> env = {})
        : rig_(rig), source_(std::move(source)), log_(std::move(log)), extra_(std::move(extra)),
          env_(std::move(env)), port_(FreePort()) {}
    void Start() {
        std::vector<std::string> args = SmsdArgs(rig_, source_, port_, "w1");
        args.insert(args.end(), {"--sender", "10690001"});
        args.insert(args.end(), extra_.begin(), extra_.end());
        const std::string program = TELVORO_BIN_DIR "/telvoro-smsd";
        if (env_.empty()) return process_.Start(program, args, log_);
        std::vector<std::string> withEnv = env_;
        withEnv.push_back(program);
        withEnv.insert(withEnv.end(), args.begin(), args.end());
        process_.Start("/usr/bin/env", withEnv, log_);
    }
    pid_t Pid() const { return process_.Pid(); }
    // SIGTERM once it is up (before, the signal would find no handler yet).
    void Kill() { process_.Kill(); }
    int Stop() {
        for (int i = 0; i < 200 && Log().find("reports on") == std::string::npos; ++i)
            std::this_thread::sleep_for(50ms);
        return process_.Stop(20s);
    }
    std::string Log() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    const KannelRig& rig_;
    std::string source_;
    std::filesystem::path log_;
    std::vector<std::string> extra_, env_;
    int port_;
    ChildProcess process_;
};

int Unsettled(const std::string& source) {
    return Value(source, QStringLiteral("select count(*) from SendTemp where state<>'3'")).toInt();
}

// Waits until every row is in "3"; the database may be away meanwhile.
::testing::AssertionResult WaitSettled(const std::string& source, std::chrono::seconds limit) {
    if (WaitUntil(limit, [&] { return Unsettled(source) == 0; }))
        return ::testing::AssertionSuccess();
    try {
        return ::testing::AssertionFailure()
               << "rows not settled: " << StateCounts(source).toStdString();
    } catch (const Error& e) {
        return ::testing::AssertionFailure() << "rows not settled: " << e.what();
    }
}

// Every number by row and position with its status.
struct NumberState {
    QString phone, status;
};
std::vector<NumberState> AllNumbers(const std::string& source) {
    Connection c(QStringLiteral("smsd-test-all"));
    c.Open(telvoro::testing::Source(source));
    QSqlQuery q(c.database());
    q.exec(QStringLiteral("select Phone, Status from SendDetail order by SendTempID, Seq"));
    std::vector<NumberState> all;
    while (q.next())
        all.push_back({q.value(0).toString(), q.value(1).toString()});
    return all;
}

// The exactly-once promise over unique numbers: none reached the SMSC twice,
// and every one that never reached it is said to be unknown (or was invalid).
void ExpectOnceOrUnknown(const std::string& source, const KannelRig& rig, int* unknown) {
    std::map<QString, int> received;
    for (const SmscMessage& m : rig.Received())
        ++received[m.to];
    *unknown = 0;
    for (const NumberState& n : AllNumbers(source)) {
        const int got = received.count(n.phone) ? received[n.phone] : 0;
        EXPECT_LE(got, 1) << n.phone.toStdString() << " sent " << got << " times";
        if (n.status == QLatin1String("unknown"))
            ++*unknown;
        else if (got == 0)
            ADD_FAILURE() << n.phone.toStdString() << " never sent but " << n.status.toStdString();
    }
}

// `rows` rows of `per` unique numbers each.
void QueueMany(const std::string& source, int rows, int per, int from = 0) {
    for (int r = 0; r < rows; ++r) {
        QStringList list;
        for (int i = 0; i < per; ++i)
            list << QStringLiteral("139%1").arg(from + r * per + i, 8, 10, QLatin1Char('0'));
        QueueRow(source, kAccount, QStringLiteral("Drain test %1").arg(r),
                 list.join(QLatin1Char(';')));
    }
}

TEST(SmsdDelivery, EveryNumberReachesTheSmscAsOftenAsQueuedWithItsTextWhole) {
    TestDatabase db = MakeDatabase("sqlite");
    KannelRig rig;
    struct Row {
        QString memo, list;
        const char* statuses;
        bool sent = true;
    } rows[] = {
        // Duplicates, an empty element, the self-check number last, as the client writes them.
        {kChinese, QStringLiteral("13900000001;13900000002;13900000001;;13900000003;13800138000"),
         "delivered,delivered,delivered,invalid,delivered,delivered"},
        {QStringLiteral("Room [2] costs 5€ ~ {ok}"), QStringLiteral("13900000004;13900000002"),
         "delivered,delivered"},
        {QStringLiteral("价格"), QStringLiteral(";"), "invalid,invalid"},
        // 671 characters, 11 UCS-2 parts: more than the 10 Kannel sends of one text.
        {kChinese.repeated(7).left(671), QStringLiteral("13900000005"), "rejected", false},
    };
    std::map<QString, std::map<QString, int>> expected; // text -> receiver -> times
    std::vector<qint64> ids;
    for (const Row& r : rows) {
        ids.push_back(QueueRow(db.text, kAccount, r.memo, r.list));
        for (const queue::Element& e : queue::SplitList(r.list))
            if (e.valid && r.sent) ++expected[r.memo][e.phone];
    }
    TempFolder folder;
    Smsd smsd(rig, db.text, folder / "smsd.log");
    smsd.Start();
    ASSERT_TRUE(WaitSettled(db.text, 30s)) << smsd.Log();
    EXPECT_EQ(smsd.Stop(), 0);
    std::map<QString, std::map<QString, int>> got;
    for (const SmscMessage& m : rig.Received()) {
        EXPECT_TRUE(m.complete) << m.to.toStdString();
        EXPECT_EQ(m.ucs2, m.text == kChinese || m.text == QStringLiteral("价格"));
        ++got[m.text][m.to];
    }
    EXPECT_EQ(got, expected);
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(Statuses(db.text, ids[i]), rows[i].statuses) << i;
    // The operator's report agrees.
    const AdminResult report =
        RunAdminTool(QString::fromStdString(folder.path.string()),
                     {"--db", QString::fromStdString(db.text), "report", "--account", kAccount});
    EXPECT_EQ(report.code, 0) << report.err.toStdString();
    EXPECT_TRUE(report.out.contains(QStringLiteral("\t3\t6\t5\t0\t0\t1\t0\t0\t0\t0\n")))
        << report.out.toStdString();
    EXPECT_NE(smsd.Log().find("state 2 -> 3"), std::string::npos);
}

// A reply "T" through Kannel's fake SMSC to account A's own number: A's next
// job skips that number (refunded at once), B's sends it; a repeated or
// forged inbound call stores nothing more; a server killed before its commit
// gets the message again from Kannel and stores it once, on either engine.
class Replies : public ::testing::TestWithParam<const char*> {};

TEST_P(Replies, ARefusalStopsItsAccountsSendingOnly) {
    TestDatabase db = MakeDatabase(GetParam());
    if (db.text.empty()) GTEST_SKIP() << "no PostgreSQL server";
    TempFolder folder;
    const std::filesystem::path secretFile = folder / "mo.secret";
    const QString secret = QStringLiteral("0123456789abcdef0123");
    WriteInFolder(QString::fromStdString(folder.path.string()), QStringLiteral("mo.secret"),
                  secret.toStdString() + "\n");
    std::filesystem::permissions(secretFile, std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_write);
    const int port = FreePort();
    const QUrl mo(QStringLiteral("http://127.0.0.1:%1/mo").arg(port));
    KannelRig rig({.smsService = smsd::KannelServiceBlock(mo, secret)});
    const QString dir = QString::fromStdString(folder.path.string());
    const auto admin = [&](QStringList args) {
        args.prepend(QString::fromStdString(db.text));
        args.prepend(QStringLiteral("--db"));
        const AdminResult r = RunAdminTool(dir, args);
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return r.out;
    };
    admin({"account", "acct-a", "100", "--sender", "1069001"});
    admin({"account", "acct-b", "100", "--sender", "1069002"});
    const std::vector<std::string> extra{"--listen", "127.0.0.1:" + std::to_string(port),
                                         "--mo-secret-file", secretFile.string()};
    auto smsd = std::make_unique<Smsd>(rig, db.text, folder / "smsd.log", extra);
    smsd->Start();
    const auto count = [&](const char* sql) {
        return Value(db.text, QString::fromLatin1(sql)).toInt();
    };
    rig.SendInbound(QStringLiteral("13900000005"), QStringLiteral("10690017"), QStringLiteral("T"));
    ASSERT_TRUE(WaitUntil(30s, [&] { return count("select count(*) from OptOut") == 1; }))
        << smsd->Log();
    EXPECT_EQ(Value(db.text, QStringLiteral("select Account from Inbound")).toString(), "acct-a");
    EXPECT_EQ(Value(db.text, QStringLiteral("select Receiver from Inbound")).toString(),
              "10690017");
    // A forged call and Kannel's call again: nothing more.
    const QString call = mo.toString() + QStringLiteral("?id=fixed-1&from=13900000009&to=1069002"
                                                        "&smsc=x&coding=0&text=TD&k=");
    EXPECT_EQ(telvoro::test::HttpGet(call + QStringLiteral("wrong")).status, 403);
    EXPECT_EQ(telvoro::test::HttpGet(call + secret).status, 200);
    EXPECT_EQ(telvoro::test::HttpGet(call + secret).status, 200);
    EXPECT_EQ(count("select count(*) from Inbound"), 2);
    EXPECT_EQ(count("select count(*) from OptOut"), 2);

    const qint64 a = QueueRow(db.text, QStringLiteral("acct-a"), QStringLiteral("hi"),
                              QStringLiteral("13900000005;13900000006"));
    const qint64 b = QueueRow(db.text, QStringLiteral("acct-b"), QStringLiteral("hi"),
                              QStringLiteral("13900000005;13900000009"));
    ASSERT_TRUE(WaitSettled(db.text, 60s)) << smsd->Log();
    EXPECT_EQ(Statuses(db.text, a), "opted-out,delivered");
    EXPECT_EQ(Statuses(db.text, b), "delivered,opted-out");
    std::multiset<std::pair<QString, QString>> sent;         // from, to
    for (const SmscMessage& m : rig.WaitForMessages(2, 10s)) // it reads once a second
        sent.insert({m.from, m.to});
    EXPECT_EQ(sent, (std::multiset<std::pair<QString, QString>>{{"1069001", "13900000006"},
                                                                {"1069002", "13900000005"}}));
    EXPECT_EQ(count("select CurrSum from Users where Login='acct-a'"), 101);
    EXPECT_EQ(count("select CurrSum from Users where Login='acct-b'"), 101);
    const QString report = admin({"report", "--account", "acct-a"});
    EXPECT_TRUE(report.contains(QStringLiteral("\t0\t0\t1\t0\n"))) << report.toStdString();

    // Killed before its commit: a transaction of the test's own holds the
    // Inbound table, so the server's insert waits. PostgreSQL shows it
    // waiting; SQLite does not, so there the message gets time to arrive.
    {
        const bool pg = std::string(GetParam()) == "postgresql";
        Connection lock(QStringLiteral("smsd-test-lock"));
        lock.Open(telvoro::testing::Source(db.text));
        QSqlQuery q(lock.database());
        for (const char* sql :
             pg ? std::vector<const char*>{"begin", "lock table Inbound in exclusive mode"}
                : std::vector<const char*>{"begin immediate"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
        rig.SendInbound(QStringLiteral("13900000007"), QStringLiteral("1069002"),
                        QStringLiteral("退订"));
        if (pg)
            ASSERT_TRUE(WaitUntil(30s, [&] {
                return count("select count(*) from pg_locks where not granted") > 0;
            })) << smsd->Log();
        else
            std::this_thread::sleep_for(3s); // fakesmsc, bearerbox, smsbox, the endpoint
        smsd->Kill();
        ASSERT_TRUE(q.exec(QStringLiteral("rollback")));
        EXPECT_EQ(count("select count(*) from Inbound"), 2);
        smsd = std::make_unique<Smsd>(rig, db.text, folder / "smsd2.log", extra);
        smsd->Start();
        ASSERT_TRUE(WaitUntil(30s, [&] { return count("select count(*) from Inbound") == 3; }))
            << smsd->Log();
        std::this_thread::sleep_for(3s); // any further call of Kannel's
        EXPECT_EQ(count("select count(*) from Inbound"), 3);
        EXPECT_EQ(count("select count(*) from OptOut where Login='acct-b'"), 2);
    }
    EXPECT_EQ(smsd->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Smsd, Replies, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST(SmsdDelivery, SmscOutcomesComeBackAndRefundOnce) {
    TestDatabase db = MakeDatabase("postgresql");
    if (db.text.empty()) GTEST_SKIP() << "no PostgreSQL server";
    KannelRig rig({.smsc = KannelRig::Smsc::Smpp});
    SetCredit(db.text, kAccount, 1000);
    // Last digit: 1 delivered, 2 undelivered, 6 refused at submit, 7 receipt REJECTD.
    const qint64 id =
        QueueRow(db.text, kAccount, QStringLiteral("Your code is 1234"),
                 QStringLiteral("13900000001;13900000002;13900000006;13900000007;;13900000011"));
    TempFolder folder;
    Smsd smsd(rig, db.text, folder / "smsd.log", {"--refund"});
    smsd.Start();
    ASSERT_TRUE(WaitSettled(db.text, 30s)) << smsd.Log();
    EXPECT_EQ(Statuses(db.text, id),
              "delivered,undelivered,rejected,undelivered,invalid,delivered");
    // Four numbers of one unit each back, once, however many reports came.
    EXPECT_EQ(Value(db.text, QStringLiteral("select CurrSum from Users")).toInt(), 1004);
    EXPECT_EQ(smsd.Stop(), 0);
}

// libfaketime's library for a threaded program, where Debian puts it.
std::filesystem::path FakeTimeLibrary() {
    std::error_code ec;
    for (const auto& dir : std::filesystem::directory_iterator("/usr/lib", ec))
        if (std::filesystem::exists(dir.path() / "faketime/libfaketimeMT.so.1"))
            return dir.path() / "faketime/libfaketimeMT.so.1";
    return {};
}

// libfaketime names its shared memory by the process ID and leaves it behind
// when the process ends by exec (env does) or a kill.
struct FakeTimeLeftovers {
    pid_t pid = -1;
    ~FakeTimeLeftovers() {
        std::error_code ec;
        for (const char* name : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"})
            std::filesystem::remove(name + std::to_string(pid), ec);
    }
};

// The server's own clock, which libfaketime takes from a file the test
// rewrites: first before the sending window opens or local midnight, then
// past it. A row waits in "0" while the window is shut and goes out when it
// opens; under a daily cap of one, a number capped today goes out tomorrow.
TEST(SmsdDelivery, TheLocalClockOpensTheWindowAndStartsANewDay) {
    const std::filesystem::path library = FakeTimeLibrary();
    if (library.empty()) GTEST_SKIP() << "no libfaketime (scripts/deps installs it)";
    struct Case {
        const char* name;
        std::vector<std::string> options;
        const char *before, *after; // the server's clock in Shanghai, then moved on to
        const char* said;           // in its log before the clock moves
        const char* held;           // the first row's statuses then
        const char *first, *second; // both rows' at the end; the second queued after the move
    };
    const Case cases[] = {
        {"sending window",
         {"--send-window", "08:00-20:00"},
         "2027-03-01 07:59:00",
         "2027-03-01 08:00:02",
         "nothing claimed until 2027-03-01 08:00",
         "",
         "delivered,delivered",
         "delivered"},
        {"daily cap",
         {"--daily-cap", "1"},
         "2027-03-01 23:59:00",
         "2027-03-02 00:00:02",
         " 1 capped)",
         "delivered,capped",
         "delivered,capped",
         "delivered"},
    };
    const QTimeZone shanghai(QByteArrayLiteral("Asia/Shanghai"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDatabase db = MakeDatabase("sqlite");
        KannelRig rig;
        TempFolder folder;
        const std::filesystem::path clock = folder / "clock";
        // An offset from the real clock, which keeps running.
        const auto setClock = [&](const char* local) {
            const QDateTime at = QDateTime::fromString(QString::fromLatin1(local),
                                                       QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            const qint64 offset = QDateTime(at.date(), at.time(), shanghai).toSecsSinceEpoch() -
                                  QDateTime::currentSecsSinceEpoch();
            std::ofstream(clock, std::ios::trunc) << std::showpos << offset << "\n";
        };
        setClock(c.before);
        const qint64 first = QueueRow(db.text, kAccount, QStringLiteral("hi"),
                                      QStringLiteral("13900000001;13900000001"));
        FakeTimeLeftovers leftovers;
        Smsd smsd(rig, db.text, folder / "smsd.log", c.options,
                  {"LD_PRELOAD=" + library.string(), "FAKETIME_TIMESTAMP_FILE=" + clock.string(),
                   "FAKETIME_CACHE_DURATION=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"});
        smsd.Start();
        leftovers.pid = smsd.Pid();
        ASSERT_TRUE(WaitUntil(30s, [&] {
            return smsd.Log().find(c.said) != std::string::npos &&
                   Statuses(db.text, first) == QLatin1String(c.held);
        })) << smsd.Log();
        std::this_thread::sleep_for(1500ms); // polls go by: nothing more
        EXPECT_EQ(Statuses(db.text, first), c.held);
        const auto sent = [](const char* statuses) {
            return QString::fromLatin1(statuses).count(QStringLiteral("delivered"));
        };
        EXPECT_EQ(rig.ReceivedParts(), static_cast<size_t>(sent(c.held)));
        setClock(c.after);
        std::this_thread::sleep_for(2500ms); // the library reads the file once a second at most
        const qint64 second =
            QueueRow(db.text, kAccount, QStringLiteral("hi"), QStringLiteral("13900000001"));
        ASSERT_TRUE(WaitSettled(db.text, 30s)) << smsd.Log();
        EXPECT_EQ(smsd.Stop(), 0);
        EXPECT_EQ(Statuses(db.text, first), c.first);
        EXPECT_EQ(Statuses(db.text, second), c.second);
        const size_t total = static_cast<size_t>(sent(c.first) + sent(c.second));
        EXPECT_EQ(rig.WaitForMessages(total, 10s).size(), total);
    }
}

TEST(SmsdDelivery, KannelAndTheDatabaseRestartedDuringADrain) {
    TestDatabase db = MakeDatabase("postgresql");
    if (db.text.empty()) GTEST_SKIP() << "no PostgreSQL server";
    KannelRig rig;
    QueueMany(db.text, 40, 100);
    TempFolder folder;
    // Kannel forgets the reports it still owed when it stops: the sweeper
    // settles those numbers as unknown after the validity.
    Smsd smsd(rig, db.text, folder / "smsd.log", {"--validity", "10"});
    smsd.Start();
    // Once the drain is under way Kannel goes; while the server backs off
    // with rows in hand, the database goes and comes back; then Kannel.
    for (int i = 0; i < 200 && rig.ReceivedParts() == 0; ++i)
        std::this_thread::sleep_for(20ms);
    rig.Stop();
    ASSERT_TRUE(PgServer::Get()->Restart(2.5)) << "PostgreSQL did not come back";
    std::this_thread::sleep_for(1s);
    rig.Start();
    ASSERT_TRUE(WaitSettled(db.text, 90s)) << smsd.Log();
    EXPECT_EQ(smsd.Stop(), 0);
    int unknown = 0;
    ExpectOnceOrUnknown(db.text, rig, &unknown);
    std::cout << "[ figures  ] Kannel and PostgreSQL restarted over 4000 numbers: " << unknown
              << " unknown, " << rig.Received().size() << " sent\n";
    // Both faults met the drain under way.
    const std::string log = smsd.Log();
    EXPECT_NE(log.find("Kannel cannot take numbers now"), std::string::npos) << log;
    EXPECT_NE(log.find("worker w1#"), std::string::npos) << log; // a drain's database failure
}

} // namespace

namespace {

// The report endpoint in-process: a forged or malformed report is turned away
// at the door; a genuine one is answered once it is stored.
TEST(SmsdEndpoint, ChecksTheSecretAndAnswersOnceStored) {
    TestDatabase db = MakeDatabase("sqlite");
    const qint64 id =
        QueueRow(db.text, kAccount, QStringLiteral("hi"), QStringLiteral("13900000001"));
    smsd::Daemon daemon(EndpointSettings(db.text));
    daemon.Start();
    const QString secret = ClaimedSecret(db.text);
    ASSERT_FALSE(secret.isEmpty());
    const QString base = QStringLiteral("http://127.0.0.1:%1/dlr?r=%2&g=0&p=13900000001&t=1&k=")
                             .arg(daemon.listenPort())
                             .arg(id);
    struct Row {
        QString url;
        int status;
    } rows[] = {
        {base + QStringLiteral("forged"), 403},
        {QStringLiteral("http://127.0.0.1:%1/dlr?r=x").arg(daemon.listenPort()), 400},
        {base + secret, 200},
    };
    // The endpoint keeps even an HTTP/1.0 connection open (Kannel's client speaks
    // 1.1 and keeps it): the answer is read when the client stops waiting.
    for (const Row& r : rows)
        EXPECT_EQ(Pump([&] { return test::HttpGet(r.url, 1500ms).status; }), r.status)
            << r.url.toStdString();
    // Kannel never closes the connections it opened for its reports: once
    // answered and idle, the endpoint closes them itself.
    const bool closed = Pump([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, daemon.listenPort());
        if (!socket.waitForConnected(2000)) return false;
        socket.write(("GET /dlr?r=" + QByteArray::number(id) + "&g=0&p=13900000001&t=1&k=" +
                      secret.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        QByteArray answer;
        for (const auto until = std::chrono::steady_clock::now() + 10s;
             socket.state() == QAbstractSocket::ConnectedState &&
             std::chrono::steady_clock::now() < until;)
            if (socket.waitForReadyRead(100)) answer += socket.readAll();
        return answer.startsWith("HTTP/1.1 200") &&
               socket.state() != QAbstractSocket::ConnectedState;
    });
    EXPECT_TRUE(closed);
    daemon.RequestStop();
    daemon.Finish();
    EXPECT_EQ(Statuses(db.text, id), "waiting"); // a report never moves a number not handed over
}

} // namespace
