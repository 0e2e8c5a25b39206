// Faults of the network and the server, injected between the client and the
// real PostgreSQL server (a proxy, a frozen server process) and on real
// SQLite files: no call outlasts its limit, a commit whose answer is lost is
// settled, and the cause reaches the operator.
#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "db/SqlError.h"
#include "queue/QueueReport.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/AdminTool.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/ServerTestSupport.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <sys/resource.h>

using namespace telvoro;
using namespace telvoro::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// Short limits, so that faults end quickly.
TimeLimits Short() {
    TimeLimits t;
    t.connect = 1500ms;
    t.query = t.command = t.commit = 3000ms;
    t.grace = 300ms;
    return t;
}

// What the server holds for a login, seen on a connection of its own.
struct Held {
    std::size_t rows = 0;
    std::vector<std::string> numbers;
    std::string credit;
};

Held ServerHolds(const std::string& login) {
    SqlGateway gw(QStringLiteral("view"), TimeLimits::Stated());
    gw.Open(Source(PostgresText(PostgresPort())));
    Held held;
    for (const queue::QueueReport::QueueRow& r : queue::QueueReport(gw.connection()).ListQueue()) {
        if (r.sendNo != FromGbk(login)) continue;
        ++held.rows;
        for (const QString& n : r.list.split(QLatin1Char(';')))
            held.numbers.push_back(n.toStdString());
    }
    held.credit = gw.QueryCredit(login).value_or("none");
    return held;
}

void SetCredit(const std::string& login, int credit) {
    SqlGateway admin(QStringLiteral("setup"), TimeLimits::Stated());
    admin.Open(Source(PostgresText(PostgresPort())));
    ServerUpkeep(admin.connection()).SetCredit(login, credit);
}

// Runs the job; an exception becomes its text.
struct Ran {
    SendOutcome outcome = SendOutcome::Failed;
    std::string error;
};
Ran RunJob(SendJobRunner& runner, SqlGateway& gw, RecordingWindow& w) {
    Ran ran;
    try {
        ran.outcome = runner.Btn_BeginClick(gw, w);
    } catch (const Error& e) {
        ran.error = e.what();
    }
    return ran;
}

class Faults : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        EnsureApp();
        TELVORO_REQUIRE_POSTGRES();
    }
    bool Odbc() const { return std::string(GetParam()) == "odbc"; }
    DataSource Through(int port) const {
        return Source(Odbc() ? OdbcText(port) : PostgresText(port));
    }
};

} // namespace

TEST_P(Faults, LostCommitAnswerIsSettledByTheRowId) {
    enum Fault { DropReply, Cut, DropReplyServerAway };
    struct Case {
        Fault fault;
        BatchState second;
        std::size_t heldRows;
        std::string balance;
    };
    const Case cases[] = {
        {DropReply, BatchState::Queued, 2, "800"},
        {Cut, BatchState::NotQueued, 1, "800"},
        {DropReplyServerAway, BatchState::Unknown, 2, "800"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string login = FreshLogin();
        SetCredit(login, 1000);
        FaultProxy proxy(PostgresPort());
        SqlGateway gw(QStringLiteral("client"), Short());
        gw.Open(Through(proxy.port()));
        proxy.Set(c.fault == Cut ? FaultProxy::Mode::CutAtCommit
                                 : FaultProxy::Mode::DropReplyToCommit,
                  2);
        proxy.RefuseNew(c.fault == DropReplyServerAway);

        RecordingWindow w;
        w.account = login;
        w.phones = Numbers(300);
        SendJobRunner runner;
        const auto start = Clock::now();
        const Ran ran = RunJob(runner, gw, w);
        EXPECT_TRUE(proxy.Struck());
        EXPECT_LT(Clock::now() - start, 10s);
        EXPECT_EQ(ran.error, "");
        EXPECT_EQ(ran.outcome, SendOutcome::Failed);
        EXPECT_EQ(w.LastNotice(), gbk::kMsgSendError);
        const SendReport& report = runner.Report();
        ASSERT_EQ(report.batches.size(), 2u);
        EXPECT_EQ(report.batches[0].state, BatchState::Queued);
        EXPECT_EQ(report.batches[1].state, c.second);
        EXPECT_EQ(report.Count(BatchState::Queued), c.second == BatchState::Queued ? 200u : 100u);
        EXPECT_FALSE(report.cause.empty());
        if (c.second == BatchState::Unknown) {
            EXPECT_NE(report.batches[1].cause.find("unknown"), std::string::npos)
                << report.batches[1].cause;
        }

        const Held held = ServerHolds(login);
        EXPECT_EQ(held.rows, c.heldRows) << "the report and the server agree, unknown aside";
        EXPECT_EQ(held.credit, std::to_string(1000 - 100 * static_cast<int>(c.heldRows)));
        EXPECT_EQ(w.balance, c.balance);

        // Once the server is back, the same gateway serves the next job.
        proxy.RefuseNew(false);
        proxy.Set(FaultProxy::Mode::Pass);
        RecordingWindow again;
        again.account = login;
        again.phones = Numbers(1);
        EXPECT_EQ(RunJob(runner, gw, again).outcome, SendOutcome::Submitted);
    }
}

namespace {

// A deduction for the logins starting with "3" takes `seconds`, so that the
// server process can be frozen in the middle of one.
void SlowDeductions(double seconds) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("slow"));
    {
        db.setHostName(QString::fromLatin1(std::getenv("TELVORO_PG_HOST")));
        db.setPort(PostgresPort());
        db.setDatabaseName(QStringLiteral("Orvanta"));
        db.setUserName(QStringLiteral("gsm"));
        db.setPassword(QString::fromLatin1(kDbPassword));
        ASSERT_TRUE(db.open());
        const QString function =
            QStringLiteral("CREATE OR REPLACE FUNCTION telvoro_test_slow() RETURNS trigger "
                           "LANGUAGE plpgsql AS $$ BEGIN IF NEW.Login LIKE '3%' THEN "
                           "PERFORM pg_sleep(%1); END IF; RETURN NEW; END $$")
                .arg(seconds);
        const QString trigger =
            QStringLiteral("CREATE OR REPLACE TRIGGER telvoro_test_slow BEFORE UPDATE ON Users "
                           "FOR EACH ROW EXECUTE FUNCTION telvoro_test_slow()");
        for (const QString& sql : {function, trigger}) {
            // Other test processes may define the same at the same moment.
            for (int attempt = 1;; ++attempt) {
                QSqlQuery q(db);
                if (q.exec(sql)) break;
                ASSERT_LT(attempt, 10) << q.lastError().text().toStdString();
                std::this_thread::sleep_for(50ms * attempt);
            }
        }
        db.close();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("slow"));
}

// Freezes a server process; it always runs again, however the test ends.
struct Frozen {
    pid_t pid = 0;
    void Freeze(pid_t p) {
        if (p <= 0) return; // never a process group
        pid = p;
        ::kill(pid, SIGSTOP);
    }
    ~Frozen() {
        if (pid) ::kill(pid, SIGCONT);
    }
};

// Runs a job of 300 numbers whose server process freezes in the second
// batch's deduction; returns how long after the freeze the job ended.
Clock::duration FreezeDuringDeduction(const DataSource& source, const TimeLimits& limits,
                                      std::string& error, SendReport& report, std::string& login) {
    login = FreshLogin('3');
    SetCredit(login, 1000);
    SqlGateway gw(QStringLiteral("frozen"), limits);
    gw.Open(source);
    const std::optional<long long> backend = gw.connection().BackendId();
    EXPECT_TRUE(backend.has_value());
    Frozen frozen;
    Clock::time_point frozeAt;
    std::thread freezer;
    RecordingWindow w;
    w.account = login;
    w.phones = Numbers(300);
    w.onYield = [&] {
        if (w.yields != 100) return;
        // The next batch's row goes in at once; its deduction sleeps in the trigger.
        freezer = std::thread([&] {
            std::this_thread::sleep_for(150ms);
            frozeAt = Clock::now();
            frozen.Freeze(static_cast<pid_t>(backend.value_or(0)));
        });
    };
    SendJobRunner runner;
    const Ran ran = RunJob(runner, gw, w);
    const auto ended = Clock::now();
    if (freezer.joinable()) freezer.join();
    error = ran.error;
    report = runner.Report();
    return ended - frozeAt;
}

// Waits until the thawed server process has seen its connection gone.
void WaitForSessionEnd(const std::string& login) {
    for (int i = 0; i < 100 && ServerHolds(login).credit != "900"; ++i)
        std::this_thread::sleep_for(50ms);
}

} // namespace

TEST_P(Faults, FrozenServerProcessEndsTheJobWithinTheDeductionLimit) {
    SlowDeductions(0.4);
    TimeLimits limits = Short();
    limits.command = 1500ms;
    std::string error, login;
    SendReport report;
    const auto took = FreezeDuringDeduction(Through(PostgresPort()), limits, error, report, login);
    std::cout << "job ended " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms after the server process froze (deduction limit 1500 ms + 300 ms)\n";
    EXPECT_LT(took, limits.command + limits.grace + 700ms);
    EXPECT_NE(error.find("credit deduction: no answer from the server within 1500 ms"),
              std::string::npos)
        << error;
    ASSERT_EQ(report.batches.size(), 2u);
    EXPECT_EQ(report.batches[0].state, BatchState::Queued);
    EXPECT_EQ(report.batches[1].state, BatchState::NotQueued);
    WaitForSessionEnd(login);
    const Held held = ServerHolds(login);
    EXPECT_EQ(held.rows, 1u);
    EXPECT_EQ(held.credit, "900") << "the frozen batch was never committed";
}

INSTANTIATE_TEST_SUITE_P(Engines, Faults, ::testing::Values("postgresql", "odbc"),
                         [](const auto& info) { return std::string(info.param); });

// The stated limits themselves: a frozen deduction ends after 30 s, not never.
TEST(StatedLimits, FrozenDeductionEndsAfterThirtySeconds) {
    EnsureApp();
    TELVORO_REQUIRE_POSTGRES();
    const TimeLimits stated = TimeLimits::Stated();
    EXPECT_EQ(stated.connect, 15s);
    EXPECT_EQ(stated.query, 300s);
    EXPECT_EQ(stated.command, 30s);
    EXPECT_EQ(stated.commit, 30s);
    SlowDeductions(0.4);
    std::string error, login;
    SendReport report;
    const auto took =
        FreezeDuringDeduction(Source(PostgresText(PostgresPort())), stated, error, report, login);
    std::cout << "job ended " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms after the server process froze (stated limit 30 s + 2 s)\n";
    EXPECT_GT(took, 29s);
    EXPECT_LT(took, 34s);
    EXPECT_NE(error.find("within 30 s"), std::string::npos) << error;
    WaitForSessionEnd(login);
    EXPECT_EQ(ServerHolds(login).credit, "900");
}

TEST(StatedLimits, StoppedForwardingEndsEachCallWithinItsLimit) {
    EnsureApp();
    TELVORO_REQUIRE_POSTGRES();
    FaultProxy proxy(PostgresPort());
    for (const std::string& text : {PostgresText(proxy.port()), OdbcText(proxy.port())}) {
        SCOPED_TRACE(text);
        const std::string login = FreshLogin();
        SetCredit(login, 10);
        proxy.Set(FaultProxy::Mode::Pass);
        SqlGateway gw(QStringLiteral("stalled"), Short());
        gw.Open(Source(text));
        proxy.Set(FaultProxy::Mode::Stall);
        auto start = Clock::now();
        EXPECT_THROW(gw.QueryCredit(login), ServerError);
        EXPECT_LT(Clock::now() - start, Short().query + Short().grace + 700ms);
        EXPECT_TRUE(gw.Lost());
        // A new connection through a proxy that forwards nothing: the connect limit.
        start = Clock::now();
        EXPECT_THROW(gw.QueryCredit(login), Error);
        EXPECT_LT(Clock::now() - start, Short().connect * 2 + Short().grace + 1s);
        proxy.Set(FaultProxy::Mode::Pass);
        EXPECT_EQ(gw.QueryCredit(login), std::optional<std::string>("10"))
            << "the lost connection is opened again";
    }
}

namespace {

using Result = AdminResult;

class AdminFaults : public AdminToolTest {
protected:
    void SetUp() override {
        EnsureApp();
        leading = {"--time-limit-ms", "2000"};
    }
    static std::string Lines(const std::vector<std::string>& numbers) {
        std::string text;
        for (const std::string& n : numbers)
            text += n + "\r\n";
        return text;
    }
};

} // namespace

TEST_F(AdminFaults, RetryOnTheRestFileQueuesEveryNumberOnce) {
    TELVORO_REQUIRE_POSTGRES();
    struct Case {
        FaultProxy::Mode mode;
        int queuedFirst;
    };
    for (const Case c : {Case{FaultProxy::Mode::CutAtCommit, 200},
                         Case{FaultProxy::Mode::DropReplyToCommit, 300}}) {
        const std::string login = FreshLogin();
        SetCredit(login, 1000);
        FaultProxy proxy(PostgresPort());
        const QString db = QString::fromStdString(PostgresText(proxy.port()));
        const std::vector<std::string> numbers = Numbers(450);
        Write("numbers.txt", Lines(numbers));
        Write("message.txt", "hello");
        const QStringList send = {"--db",        db,
                                  "send",        "--account",
                                  login.c_str(), "--message-file",
                                  "message.txt", "--rest-file",
                                  "rest.txt",    "--numbers-file"};
        proxy.Set(c.mode, 3);
        Result r = Run(send + QStringList{"numbers.txt"});
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.out.contains(QString::fromUtf8("发送过程出现错误。"))) << r.out.toStdString();
        EXPECT_EQ(LastLine(r.out), QStringLiteral("queued %1 of 450 numbers").arg(c.queuedFirst));
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("server closed the connection unexpectedly"))
            << r.err.toStdString();
        const std::vector<std::string> rest(numbers.begin() + c.queuedFirst, numbers.end());
        EXPECT_EQ(Read("rest.txt"), Lines(rest));

        r = Run(send + QStringList{"rest.txt"});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(LastLine(r.out), QStringLiteral("queued %1 of %1 numbers").arg(rest.size()));
        EXPECT_EQ(Read("rest.txt"), "");

        Held held = ServerHolds(login);
        std::multiset<std::string> sent(held.numbers.begin(), held.numbers.end());
        EXPECT_EQ(sent, std::multiset<std::string>(numbers.begin(), numbers.end()))
            << "every number exactly once";
        EXPECT_EQ(held.credit, "550");
    }
}

TEST_F(AdminFaults, ARestFileThatCannotBeWrittenLeavesNoStaleOne) {
    TELVORO_REQUIRE_POSTGRES();
    const std::string login = FreshLogin();
    SetCredit(login, 1000);
    FaultProxy proxy(PostgresPort());
    Write("numbers.txt", Lines(Numbers(450)));
    Write("message.txt", "hello");
    // The rest file of an earlier run: its numbers may be queued by now.
    Write("rest.txt", Lines(Numbers(450)));
    proxy.Set(FaultProxy::Mode::CutAtCommit, 3);
    // Files may grow to 1000 bytes only: the rest of 250 numbers does not fit.
    const Result r =
        RunAdminTool(dir.path(),
                     {"--db", QString::fromStdString(PostgresText(proxy.port())), "send",
                      "--account", login.c_str(), "--message-file", "message.txt", "--numbers-file",
                      "numbers.txt", "--rest-file", "rest.txt"},
                     QProcessEnvironment::systemEnvironment(), [] {
                         ::signal(SIGXFSZ, SIG_IGN);
                         const rlimit limit{1000, 1000};
                         ::setrlimit(RLIMIT_FSIZE, &limit);
                     });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(LastLine(r.out), QStringLiteral("queued 200 of 450 numbers")) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains("no rest file was written")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(QDir(dir.path()).filePath("rest.txt")));
}

TEST_F(AdminFaults, SqliteCausesAreNamed) {
    const QStringList db = {"--db", "sqlite:Orvanta.db"};
    ASSERT_EQ(Run(db + QStringList{"init"}).code, 0);
    ASSERT_EQ(Run(db + QStringList{"account", "13800138000", "100000"}).code, 0);
    Write("numbers.txt", Lines(Numbers(150)));
    Write("message.txt", std::string(3000, 'x'));
    const QStringList send =
        db + QStringList{"send",        "--account",      "13800138000", "--numbers-file",
                         "numbers.txt", "--message-file", "message.txt"};

    // Another program holds the write lock.
    {
        QSqlDatabase other =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(QDir(dir.path()).filePath("Orvanta.db"));
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        const Result r = Run(send);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("database is locked")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Unable to")) << "Qt's own words stay out";
        EXPECT_EQ(LastLine(r.out), "queued 0 of 150 numbers");
        // An exclusive lock blocks even the open: its cause, not a time-out.
        ASSERT_TRUE(lock.exec(QStringLiteral("Insert into Users values ('1', 1)")));
        ASSERT_TRUE(lock.exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")));
        ASSERT_TRUE(lock.exec(QStringLiteral("COMMIT")));
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        const Result atOpen = Run(db + QStringList{"credit", "13800138000"});
        EXPECT_EQ(atOpen.code, 1);
        EXPECT_TRUE(atOpen.err.contains("database is locked")) << atOpen.err.toStdString();
        EXPECT_FALSE(atOpen.err.contains("no answer")) << atOpen.err.toStdString();
        ASSERT_TRUE(lock.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
}

// A full disk, unprivileged: the connection may not grow the file past its
// present pages. The first batch fits the free pages, a later one does not.
TEST(SqliteFull, TheCauseIsNamedAndTheReportMatchesTheFile) {
    EnsureApp();
    QTemporaryDir dir;
    const DataSource source =
        ParseDataSource("sqlite:Orvanta.db", ProgramFolder(ToFsPath(dir.path())));
    {
        SqlGateway admin(QStringLiteral("setup"), Short());
        admin.Open(source, Create::Yes);
        ServerUpkeep(admin.connection()).CreateTables();
        ServerUpkeep(admin.connection()).SetCredit("13800138000", 100000);
    }
    SqlGateway gw(QStringLiteral("full"), Short());
    gw.Open(source);
    {
        QSqlQuery pragma(QSqlDatabase::database(QStringLiteral("full")));
        ASSERT_TRUE(pragma.exec(QStringLiteral("PRAGMA page_count")) && pragma.next());
        const int pages = pragma.value(0).toInt();
        ASSERT_TRUE(pragma.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 2)));
    }
    RecordingWindow w;
    w.phones = Numbers(400);
    w.message = std::string(3000, 'x');
    SendJobRunner runner;
    const Ran ran = RunJob(runner, gw, w);
    EXPECT_NE(ran.outcome, SendOutcome::Submitted);
    const SendReport& report = runner.Report();
    EXPECT_EQ(report.cause, "database or disk is full") << ran.error;
    ASSERT_FALSE(report.batches.empty());
    EXPECT_NE(report.batches.back().state, BatchState::Queued);
    std::size_t rows = 0;
    for (const queue::QueueReport::QueueRow& row : queue::QueueReport(gw.connection()).ListQueue())
        rows += row.sendNo == QStringLiteral("13800138000") ? 1 : 0;
    EXPECT_EQ(rows * 100, report.Count(BatchState::Queued));
    EXPECT_EQ(gw.QueryCredit("13800138000"),
              std::optional<std::string>(std::to_string(100000 - 47 * 100 * rows)))
        << "3000 characters are 47 segments";
}

TEST_F(AdminFaults, InputTheJobCannotHonourIsRefused) {
    const QStringList db = {"--db", "sqlite:Orvanta.db"};
    ASSERT_EQ(Run(db + QStringList{"init"}).code, 0);
    ASSERT_EQ(Run(db + QStringList{"account", "13800138000", "1000"}).code, 0);
    Write("message.txt", "hello\r\n");
    Write("numbers.txt", "13900000001\r\n\r\n   \r\n13900000002\r\n");
    const QStringList send = db + QStringList{"send",           "--account",   "13800138000",
                                              "--message-file", "message.txt", "--numbers-file"};
    struct Case {
        QStringList args;
        int code;
        const char* err;
    };
    const Case cases[] = {
        {{"numbers.txt", "--self-check", "13700000001;13700000002"}, 2, "--self-check"},
        {{"numbers.txt", "--self-check", " abc "}, 2, "--self-check"},
        {{"numbers.txt", "--self-check", "138 0013 8000"}, 2, "--self-check"},
        {{"numbers.txt", "--self-check", ""}, 2, "--self-check"},
        {{"numbers.txt", "--self-check", "1380013800012"}, 2, "--self-check"},
        {{"nul.txt"}, 1, "NUL byte"},
        {{"numbers.txt", "--message-file", "binary.txt"}, 1, "not GBK text"},
    };
    Write("nul.txt", std::string("13900000001\r\n139\0"
                                 "00000002\r\n13900000003\r\n",
                                 40));
    Write("binary.txt", std::string("MZ\x90\x00\x03\x00\x00\x00", 8));
    for (const Case& c : cases) {
        const Result r = Run(send + c.args);
        EXPECT_EQ(r.code, c.code) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
    }
    EXPECT_EQ(Run(db + QStringList{"queue"}).out, "") << "nothing was written";

    // Blank lines are numbers the job charges: said before anything is written.
    const Result r = Run(send + QStringList{"numbers.txt", "--self-check", "013800138000"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("charging for 2 blank numbers")) << r.out.toStdString();
    EXPECT_EQ(LastLine(r.out), "queued 5 of 5 numbers");
    EXPECT_EQ(Run(db + QStringList{"credit", "13800138000"}).out, "995\n");
}

TEST_F(AdminFaults, PasswordNeverShows) {
    const std::string secret = "s3cret-Pw";
    for (const std::string& text :
         {"odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=1;UID=gsm;PWD=" + secret,
          "odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=1;UID=gsm;PWD={" + secret +
              ";x}}y};Pooling=No"}) {
        const Result r = Run({"--db", QString::fromStdString(text), "credit", "13800138000"});
        EXPECT_EQ(r.code, 1);
        EXPECT_FALSE(r.err.contains(QString::fromStdString(secret))) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("PWD=***")) << r.err.toStdString();
        const std::string error = ErrorOf([&] { SqlGateway().Open(Source(text)); });
        EXPECT_NE(error, "no error");
        EXPECT_EQ(error.find(secret), std::string::npos) << error;
    }
    // A password in a PostgreSQL URL, as a connect failure shows the data source.
    const Result url =
        Run({"--db", QString::fromStdString("postgresql://gsm:" + secret + "@127.0.0.1:1"),
             "credit", "13800138000"});
    EXPECT_EQ(url.code, 1);
    EXPECT_FALSE(url.err.contains(QString::fromStdString(secret))) << url.err.toStdString();
    EXPECT_TRUE(url.err.contains("postgresql://***@127.0.0.1:1")) << url.err.toStdString();
    EXPECT_EQ(MaskSecrets(std::string("password=qelvix:-! and qelvix:-!")), "password=*** and ***");
    // ODBC reads an unbraced value up to the next ";", blanks included.
    EXPECT_EQ(MaskSecrets(std::string("UID=gsm;PWD=my secret;Pooling=No")),
              "UID=gsm;PWD=***;Pooling=No");
}
