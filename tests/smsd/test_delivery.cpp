// The whole road against real Kannel: rows queued as the client queues them,
// telvoro-smsd as it runs deployed, the SMSC's view, the reports, and the
// faults: Kannel and the database restarted during one drain (the queue
// server killed at random moments is in test_faults.cpp).

#include "queue/Rules.h"
#include "smsd/Daemon.h"
#include "tests/smsd/SmsdTestSupport.h"
#include "tests/support/AdminTool.h"
#include "tests/support/KannelRig.h"

#include <QSqlQuery>

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>

#include <csignal>
#include <future>
#include <map>
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
    Smsd(const KannelRig& rig, std::string source, std::filesystem::path log,
         std::vector<std::string> extra = {})
        : rig_(rig), source_(std::move(source)), log_(std::move(log)), extra_(std::move(extra)),
          port_(FreePort()) {}
    void Start() {
        std::vector<std::string> args = SmsdArgs(rig_, source_, port_, "w1");
        args.insert(args.end(), {"--sender", "10690001"});
        args.insert(args.end(), extra_.begin(), extra_.end());
        process_.Start(TELVORO_BIN_DIR "/telvoro-smsd", args, log_);
    }
    // SIGTERM once it is up (before, the signal would find no handler yet).
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
    std::vector<std::string> extra_;
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
    EXPECT_TRUE(report.out.contains(QStringLiteral("\t3\t6\t5\t0\t0\t1\t0\t0\n")))
        << report.out.toStdString();
    EXPECT_NE(smsd.Log().find("state 2 -> 3"), std::string::npos);
}

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
    smsd::Settings settings;
    settings.source = telvoro::testing::Source(db.text);
    // Nothing listens there: the round goes back to waiting, the row stays in hand.
    settings.kannel.sendsms =
        QUrl(QStringLiteral("http://127.0.0.1:%1/cgi-bin/sendsms").arg(FreePort()));
    settings.worker = QStringLiteral("w");
    smsd::Daemon daemon(settings);
    daemon.Start();
    const auto pump = [](auto&& call) {
        auto reply = std::async(std::launch::async, call);
        while (reply.wait_for(10ms) != std::future_status::ready)
            QCoreApplication::processEvents();
        return reply.get();
    };
    QString secret;
    for (int i = 0; i < 500 && secret.isEmpty(); ++i) {
        pump([] {
            std::this_thread::sleep_for(10ms);
            return 0;
        });
        secret = Value(db.text, QStringLiteral("select Secret from SendClaim")).toString();
    }
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
        EXPECT_EQ(pump([&] { return test::HttpGet(r.url, 1500ms).status; }), r.status)
            << r.url.toStdString();
    // Kannel never closes the connections it opened for its reports: once
    // answered and idle, the endpoint closes them itself.
    const bool closed = pump([&] {
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
