// The gateway and the send job on real engines: SQLite files in a temp folder
// and the PostgreSQL server that the test script starts (TELVORO_PG_HOST/PORT).
#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "queue/QueueReport.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/ServerTestSupport.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>

using namespace telvoro;
using namespace telvoro::testing;
namespace fs = std::filesystem;

namespace {

struct QueuedRow {
    std::string sendNo, memo, list, state;
};

class Gateway : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        EnsureApp();
        ASSERT_TRUE(dir.isValid());
        if (UsesPostgres()) TELVORO_REQUIRE_POSTGRES();
        source = MakeSource();
        // The ODBC path reaches the same PostgreSQL server; its tables are made natively.
        setupSource = IsOdbc() ? PostgresSource() : source;
        SqlGateway admin(QStringLiteral("setup"));
        admin.Open(setupSource, Create::Yes);
        // Test processes share the PostgreSQL server, and PostgreSQL's CREATE
        // TABLE IF NOT EXISTS can collide with the same statement elsewhere.
        for (int attempt = 1;; ++attempt) {
            try {
                ServerUpkeep(admin.connection()).CreateTables();
                break;
            } catch (const Error&) {
                if (attempt == 5) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(50 * attempt));
            }
        }
    }

    bool IsOdbc() const { return std::string(GetParam()) == "odbc"; }
    bool UsesPostgres() const { return std::string(GetParam()) != "sqlite"; }
    static DataSource PostgresSource() { return Source(PostgresText(PostgresPort())); }
    DataSource MakeSource() {
        if (!UsesPostgres())
            return ParseDataSource("sqlite:Orvanta.db", ProgramFolder(ToFsPath(dir.path())));
        return IsOdbc() ? Source(OdbcText(PostgresPort())) : PostgresSource();
    }

    void SetCredit(const std::string& login, int credit) {
        SqlGateway admin(QStringLiteral("setup"));
        admin.Open(setupSource);
        ServerUpkeep(admin.connection()).SetCredit(login, credit);
    }

    // A fresh login with `credit`, the job's gateway open on the engine, and
    // a window that sends `numbers` numbers for the login.
    void Prepare(int credit, int numbers) {
        login = FreshLogin();
        SetCredit(login, credit);
        gw.Open(source);
        w.account = login;
        w.phones = Numbers(numbers);
    }

    // The login's queued rows, in ID order, as the gateway lists them.
    std::vector<QueuedRow> Rows(SqlGateway& gw, const std::string& login) {
        std::vector<QueuedRow> rows;
        for (const queue::QueueReport::QueueRow& r :
             queue::QueueReport(gw.connection()).ListQueue())
            if (r.sendNo == FromGbk(login))
                rows.push_back({ToGbk(r.sendNo), ToGbk(r.memo), ToGbk(r.list), ToGbk(r.state)});
        return rows;
    }

    QTemporaryDir dir;
    DataSource source, setupSource;
    std::string login;
    SqlGateway gw{QStringLiteral("job")};
    RecordingWindow w;
};

} // namespace

TEST_P(Gateway, BatchesRowsAndDeductions) {
    Prepare(1000, 249);
    w.selfCheck = true;
    w.selfCheckNumber = login;
    // 祝您生日快乐 it's "ok" — with a quote, Chinese text and line breaks.
    w.message = "\xD7\xA3\xC4\xFA\xC9\xFA\xC8\xD5\xBF\xEC\xC0\xD6 it's \"ok\"\r\n\r\n";
    SendJobRunner runner;
    ASSERT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Submitted) << w.LastNotice();

    const std::vector<QueuedRow> rows = Rows(gw, login);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(Ranges(rows[0].list), "13900000000-13900000099");
    EXPECT_EQ(Ranges(rows[1].list), "13900000100-13900000199");
    EXPECT_EQ(Ranges(rows[2].list), "13900000200-13900000248," + login);
    for (const QueuedRow& r : rows) {
        EXPECT_EQ(r.memo, w.message);
        EXPECT_EQ(r.state, "0");
    }
    EXPECT_EQ(gw.QueryCredit(login), std::optional<std::string>("750"));
    EXPECT_EQ(w.balance, "750");
}

TEST_P(Gateway, AccountTextCannotChangeAStatement) {
    std::string quoted = FreshLogin(); // unique: the engines' tests share one server
    quoted[4] = '\'';
    const std::string injected = "1' or 1=1--";
    SetCredit(quoted, 5);
    gw.Open(source);
    EXPECT_EQ(gw.QueryCredit(quoted), std::optional<std::string>("5"));
    EXPECT_EQ(gw.QueryCredit(injected), std::nullopt);

    w.account = quoted;
    w.phones = Numbers(3);
    SendJobRunner runner;
    EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Submitted);
    EXPECT_EQ(gw.QueryCredit(quoted), std::optional<std::string>("2"));

    RecordingWindow other;
    other.account = injected;
    other.phones = Numbers(1);
    EXPECT_EQ(runner.Btn_BeginClick(gw, other), SendOutcome::NotRegistered);
    EXPECT_TRUE(other.closeRequested);
    EXPECT_EQ(gw.QueryCredit(quoted), std::optional<std::string>("2"));
}

TEST_P(Gateway, ShortCreditRollsTheBatchBack) {
    // Another client spends the credit between our check and our deduction.
    Prepare(300, 300);
    w.onYield = [&] {
        if (w.yields == 100) SetCredit(login, 150); // right after the first batch
    };
    SendJobRunner runner;
    EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Failed);
    EXPECT_EQ(w.LastNotice(), gbk::kMsgSendError);
    EXPECT_EQ(Rows(gw, login).size(), 2u) << "the third batch was not paid and not queued";
    EXPECT_EQ(gw.QueryCredit(login), std::optional<std::string>("50"));
    // The connection is usable again: no transaction was left open.
    gw.BeginTransaction();
    gw.Rollback();
}

TEST_P(Gateway, TwoClientsNeverSpendBelowZero) {
    login = FreshLogin();
    const int credit = 1050;
    SetCredit(login, credit);
    std::atomic<int> failed{0};
    // Both jobs pass their credit check before either writes a batch.
    std::barrier bothChecked(2);
    auto client = [&](int id) {
        SqlGateway gw(QStringLiteral("client%1").arg(id));
        gw.Open(source);
        RecordingWindow w;
        w.account = login;
        w.phones = Numbers(800);
        bool first = true;
        w.onYield = [&] {
            if (std::exchange(first, false)) bothChecked.arrive_and_wait();
        };
        SendJobRunner runner;
        if (runner.Btn_BeginClick(gw, w) != SendOutcome::Submitted) ++failed;
    };
    std::thread a(client, 1), b(client, 2);
    a.join();
    b.join();
    gw.Open(source);
    const int left = std::stoi(*gw.QueryCredit(login));
    long long queued = 0;
    for (const QueuedRow& r : Rows(gw, login))
        queued += std::count(r.list.begin(), r.list.end(), ';') + 1;
    EXPECT_GE(left, 0);
    EXPECT_EQ(queued, credit - left) << "every queued number is paid for";
    EXPECT_EQ(queued, 1000) << "ten batches fit the credit";
    EXPECT_GE(failed.load(), 1) << "two 800-number jobs cannot both be paid";
}

// Concurrent `account` calls for one new login leave one row, with one of the
// credits set; a later job is charged once.
TEST_P(Gateway, AccountUpkeepNeverMakesTwoRows) {
    login = FreshLogin();
    std::barrier start(8);
    std::vector<std::thread> admins;
    for (int i = 0; i < 8; ++i)
        admins.emplace_back([&, i] {
            SqlGateway admin(QStringLiteral("admin%1").arg(i));
            admin.Open(setupSource);
            start.arrive_and_wait();
            ServerUpkeep(admin.connection()).SetCredit(login, 1000 + i);
        });
    for (std::thread& t : admins)
        t.join();
    gw.Open(setupSource);
    QSqlQuery count(gw.connection().database());
    ASSERT_TRUE(
        count.exec(QStringLiteral("Select count(*), min(CurrSum) from Users where Login='") +
                   QString::fromStdString(login) + QLatin1Char('\'')));
    ASSERT_TRUE(count.next());
    EXPECT_EQ(count.value(0).toInt(), 1);
    EXPECT_GE(count.value(1).toInt(), 1000);
    EXPECT_LE(count.value(1).toInt(), 1007);
}

INSTANTIATE_TEST_SUITE_P(Engines, Gateway, ::testing::Values("sqlite", "postgresql", "odbc"),
                         [](const auto& info) { return std::string(info.param); });

TEST(GatewayOpen, FailuresAreClearAndCreateNothing) {
    EnsureApp();
    QTemporaryDir dir;
    const fs::path folder = ToFsPath(dir.path());
    SqlGateway gw;

    EXPECT_THROW(gw.Open(ParseDataSource("", ProgramFolder(folder))), Error);
    EXPECT_FALSE(fs::exists(folder / "Orvanta.db")) << "a missing database is never created";
    EXPECT_FALSE(gw.IsOpen());

    WriteWholeFile(folder / "junk.db", "this is not a database, only some text");
    EXPECT_THROW(gw.Open(ParseDataSource("sqlite:junk.db", ProgramFolder(folder))), Error);
    fs::create_directory(folder / "dir.db");
    EXPECT_THROW(gw.Open(ParseDataSource("sqlite:dir.db", ProgramFolder(folder))), Error);

    // Nothing listens on port 1: both servers fail at once, with the driver's text.
    for (const char* text : {"postgresql://127.0.0.1:1", "127.0.0.1,1"}) {
        const auto start = std::chrono::steady_clock::now();
        try {
            gw.Open(ParseDataSource(text, ProgramFolder(folder)));
            ADD_FAILURE() << text << " opened";
        } catch (const Error& e) {
            EXPECT_GT(std::string(e.what()).size(), 10u) << text;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << text;
        EXPECT_FALSE(gw.IsOpen());
    }
}

// A database made before logins were unique: init names the duplicates
// instead of failing on the index.
TEST(GatewayOpen, InitNamesDuplicatedLogins) {
    EnsureApp();
    QTemporaryDir dir;
    const DataSource source =
        ParseDataSource("sqlite:Orvanta.db", ProgramFolder(ToFsPath(dir.path())));
    SqlGateway admin(QStringLiteral("old"));
    admin.Open(source, Create::Yes);
    for (const char* sql :
         {"Create table Users (Login VARCHAR(50) NOT NULL, CurrSum INTEGER NOT NULL DEFAULT 0)",
          "Insert into Users values ('13800000001', 5), ('13800000001', 7), ('13800000002', 1), "
          "('13800000003', 2), ('13800000003', 2)"})
        ASSERT_TRUE(QSqlQuery(admin.connection().database()).exec(QString::fromLatin1(sql)));
    const std::string error = ErrorOf([&] { ServerUpkeep(admin.connection()).CreateTables(); });
    EXPECT_NE(error.find("13800000001, 13800000003;"), std::string::npos) << error;
}

// A connection the driver closed on its own (as QPSQL does when the server
// goes away) is lost, so the next call opens it again instead of failing for good.
TEST(GatewayOpen, AConnectionTheDriverClosedIsOpenedAgain) {
    EnsureApp();
    QTemporaryDir dir;
    const DataSource source =
        ParseDataSource("sqlite:Orvanta.db", ProgramFolder(ToFsPath(dir.path())));
    SqlGateway gw(QStringLiteral("closed"));
    gw.Open(source, Create::Yes);
    ServerUpkeep(gw.connection()).CreateTables();
    ServerUpkeep(gw.connection()).SetCredit("13800000001", 7);
    gw.connection().database().close();
    EXPECT_EQ(gw.QueryCredit("13800000001"), std::optional<std::string>("7"));
    EXPECT_TRUE(gw.IsOpen());
}

TEST(GatewayOpen, SqlServerConnectString) {
    const DataSource source = ParseDataSource("h\\i,1444", ProgramFolder(fs::path("/opt/telvoro")));
    const SqlServerDriver freeTds{QStringLiteral("FreeTDS"), false,
                                  QStringLiteral(";TDS_Version=7.4;ClientCharset=UTF-8")};
    EXPECT_EQ(SqlServerConnectString(source, freeTds),
              QStringLiteral("DRIVER={FreeTDS};SERVER={h\\i};PORT=1444;DATABASE={Orvanta};"
                             "UID={gsm};PWD={qelvix:-!};TDS_Version=7.4;ClientCharset=UTF-8"));
    // Microsoft's drivers take the port after the server's name.
    const SqlServerDriver microsoft{QStringLiteral("ODBC Driver 18 for SQL Server"), true, {}};
    EXPECT_EQ(SqlServerConnectString(source, microsoft),
              QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};SERVER={h\\i,1444};"
                             "DATABASE={Orvanta};UID={gsm};PWD={qelvix:-!}"));
#ifdef _WIN32
    // Wine, like every Windows, has at least the "SQL Server" driver's name.
    EXPECT_TRUE(SqlServerConnectString(source).startsWith(QStringLiteral("DRIVER={")));
#else
    EXPECT_EQ(SqlServerConnectString(source), SqlServerConnectString(source, freeTds));
#endif
}
