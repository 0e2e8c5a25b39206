// The queue's conformance suite: every storage operation through the state
// machine, the same cases on every engine there is (see Engines.h): claims,
// rounds, crash settlement, takeover, reports, sweeping and refunds; inbound
// messages, opt-out lists and daily caps.

#include "queue/Inbox.h"
#include "queue/QueueReport.h"
#include "queue/QueueStore.h"
#include "tests/queue/QueueTestSupport.h"
#include "tests/support/Engines.h"

#include <QDateTime>
#include <QSet>
#include <QTimeZone>
#include <functional>
#include <mutex>
#include <thread>

using namespace telvoro;
using namespace telvoro::queue;
using namespace telvoro::queue::testing;
using std::chrono::milliseconds;
using telvoro::testing::EngineDatabase;
using telvoro::testing::kEngines;
using telvoro::testing::MakeEngineDatabase;

namespace {

// A worker's store on a connection of its own, with a clock the test moves.
struct Worker {
    Connection connection;
    qint64 now = 1'000'000;
    QueueStore store;
    Worker(const std::string& source, const QString& name, bool refund = false,
           const QString& connectionName = {}, bool refundUnknown = false)
        : connection(connectionName.isEmpty() ? QStringLiteral("smsd-test-") + name
                                              : connectionName),
          store(
              connection, name, [this] { return now; }, refund, refundUnknown) {
        connection.Open(telvoro::testing::Source(source));
    }
};

class Engines : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        db_ = MakeEngineDatabase(GetParam());
        TELVORO_ENGINE_OR_SKIP(db_);
    }
    const std::string& source() const { return db_.text; }
    EngineDatabase db_;
};

// Two workers drain one queue at once: every row is taken exactly once.
TEST_P(Engines, TwoWorkersNeverTakeTheSameRow) {
#ifdef _WIN32
    // The queue server, whose workers run side by side, is a Linux service;
    // under Wine two threads opening SQLite connections at once now and then
    // fault inside the runtime, a crash the Windows programs never reach.
    GTEST_SKIP() << "the queue server's workers run on Linux only";
#endif
    constexpr int kRows = 40;
    QSet<qint64> queued;
    for (int i = 0; i < kRows; ++i)
        queued.insert(QueueRow(source(), kAccount, QStringLiteral("hi"),
                               QStringLiteral("13900000001;13900000002")));
    std::mutex mutex;
    QList<qint64> taken;
    std::vector<std::thread> threads;
    for (const char* name : {"a", "b"})
        threads.emplace_back([&, name] {
            Worker w(source(), QString::fromLatin1(name));
            while (const auto row = w.store.Claim(milliseconds(60000))) {
                std::lock_guard lock(mutex);
                taken << row->id;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(taken.size(), kRows);
    EXPECT_EQ(QSet<qint64>(taken.begin(), taken.end()), queued);
    EXPECT_EQ(
        Value(source(), QStringLiteral("select count(*) from SendTemp where state='1'")).toInt(),
        kRows);
}

// Each case runs on a fresh queue of the engine; the steps drive two workers
// and a clock; the check reads the database.
struct Case {
    const char* id; // the test's name
    const char* name;
    std::function<void(const std::string& source)> run;
};

const Case kCases[] = {
    {"ElementsByPosition",
     "elements by position: duplicates go in later rounds, junk is invalid and never sent",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000001;;12a4;"
                                                   "+8613900000001;13900000001;13800138000"));
         Worker w(src, QStringLiteral("w"));
         const auto row = w.store.Claim(milliseconds(60000));
         ASSERT_TRUE(row);
         EXPECT_EQ(row->numbers, 8);
         // "+86..." is dropped by telvoro-admin send's rule too: one rule for both.
         EXPECT_EQ(row->invalid, 3);
         QStringList rounds;
         while (const auto r = w.store.StartRound(id, milliseconds(60000))) {
             rounds << QString::number(r->round) + QLatin1Char(':') +
                           r->phones.join(QLatin1Char(' '));
             w.store.FinishRound(id, r->round, NumberStatus::Submitted,
                                 QStringLiteral("0: Accepted"));
         }
         EXPECT_EQ(rounds.join(QLatin1Char('|')),
                   "0:13900000001 13900000002 13800138000|1:13900000001|2:13900000001");
         EXPECT_EQ(Statuses(src, id),
                   "submitted,submitted,submitted,invalid,invalid,invalid,submitted,submitted");
         EXPECT_EQ(StateOf(src, id), "2");
     }},
    {"RetryAfterAFailedCommitThatWentThrough",
     "a commit that reported failure but went through: its retry hands back the round it marked",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000001"));
         Worker w(src, QStringLiteral("w"));
         const auto row = w.store.Claim(milliseconds(60000), /*startRound=*/true);
         ASSERT_TRUE(row && row->first);
         const auto finish = [&](int round) {
             return w.store.FinishRound(id, round, NumberStatus::Submitted, {}, {},
                                        milliseconds(60000), /*markNext=*/true);
         };
         const auto next = finish(row->first->round);
         ASSERT_TRUE(next);
         const auto again = finish(row->first->round); // the same answer stored once more
         ASSERT_TRUE(again) << "the marked round would stay submitting, never sent";
         EXPECT_EQ(again->round, next->round);
         EXPECT_EQ(again->phones, QStringList{QStringLiteral("13900000001")});
         EXPECT_FALSE(finish(again->round));
         EXPECT_EQ(Statuses(src, id), "submitted,submitted,submitted");
         EXPECT_EQ(StateOf(src, id), "2");
     }},
    {"SameWorkerNameTwice",
     "a second process under the same worker name: the first one's late answer sends nothing",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000001"));
         Worker a(src, QStringLiteral("w"));
         Worker b(src, QStringLiteral("w"), false, QStringLiteral("smsd-test-w-again"));
         const auto first = a.store.Claim(milliseconds(60000), /*startRound=*/true);
         ASSERT_TRUE(first && first->first);
         EXPECT_EQ(b.store.SettleOwn(), 2); // b cannot tell a's numbers from its own past
         const auto taken = b.store.Claim(milliseconds(60000), /*startRound=*/true);
         ASSERT_TRUE(taken && taken->first);
         EXPECT_THROW(a.store.FinishRound(id, first->first->round, NumberStatus::Submitted, {}, {},
                                          milliseconds(60000), /*markNext=*/true),
                      ClaimLost);
         EXPECT_EQ(Statuses(src, id), "checking,checking,submitting");
     }},
    {"OnlyInvalidElements", "a row of nothing but invalid elements is settled at once",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"), QStringLiteral(";"));
         Worker w(src, QStringLiteral("w"));
         ASSERT_TRUE(w.store.Claim(milliseconds(60000)));
         EXPECT_EQ(Statuses(src, id), "invalid,invalid");
         EXPECT_EQ(StateOf(src, id), "3");
         EXPECT_FALSE(w.store.StartRound(id, milliseconds(60000)));
     }},
    {"CrashWhileSubmitting",
     "a crash while submitting: Kannel's report, store and uptime decide; sent again only when "
     "it never reached a Kannel that ran throughout",
     [](const std::string& src) {
         // The request went out at 1,000 s; the worker was back at 1,010 s.
         struct Check {
             const char* name;
             std::function<void(KannelFacts&)> facts;
             int reported = 0; // report type for the first number before the checks, 0 none
             int checks = 2;   // checks, 10 s apart from 1,025 s on (past the grace)
             const char *statuses, *state;
             int credit; // of 100, with --refund-unknown
         };
         const Check checks[] = {
             {"in Kannel's store",
              [](KannelFacts& f) { f.stored.emplace("13900000002", 1'000'000); }, 1, 2,
              "delivered,submitted", "2", 100},
             {"in Kannel's store as one message for the request",
              [](KannelFacts& f) { f.stored.emplace("13900000002", 1'000'000); }, 0, 1,
              "submitted,submitted", "2", 100},
             {"in the store before the crash: another message",
              [](KannelFacts& f) { f.stored.emplace("13900000001", 900'000); }, 0, 2,
              "waiting,waiting", "1", 100},
             {"a report for another number of the request", [](KannelFacts&) {}, 1, 2,
              "delivered,submitted", "2", 100},
             {"absent once only", [](KannelFacts&) {}, 0, 1, "checking,checking", "2", 100},
             {"the store not listed: nothing decided on it",
              [](KannelFacts& f) { f.storeLooked = false; }, 0, 2, "checking,checking", "2", 100},
             {"Kannel restarted since", [](KannelFacts& f) { f.runningSince = 1'005'000; }, 0, 2,
              "unknown,unknown", "3", 102},
             {"smsbox gave up on reports", [](KannelFacts& f) { f.reportWindow = 20'000; }, 2, 2,
              "undelivered,unknown", "3", 102},
         };
         for (const Check& c : checks) {
             SCOPED_TRACE(c.name);
             SetCredit(src, kAccount, 100);
             const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                        QStringLiteral("13900000001;13900000002"));
             QString secret;
             {
                 Worker w(src, QStringLiteral("w"), false, QStringLiteral("smsd-test-before"));
                 secret = w.store.Claim(milliseconds(60000))->secret;
                 ASSERT_TRUE(w.store.StartRound(id, milliseconds(60000)));
             } // the process dies here, its request in flight
             Worker again(src, QStringLiteral("w"), true, {}, /*refundUnknown=*/true);
             again.now = 1'010'000;
             EXPECT_EQ(again.store.SettleOwn(), 2);
             EXPECT_EQ(Statuses(src, id), "checking,checking");
             const auto row = again.store.Claim(milliseconds(60000)); // its own row, at once
             ASSERT_TRUE(row && row->takenOver);
             EXPECT_FALSE(again.store.StartRound(id, milliseconds(60000))); // nothing sent yet
             if (c.reported)
                 again.store.ApplyReports(
                     {{id, 0, QStringLiteral("13900000001"), secret, c.reported, {}}});
             for (int i = 0; i < c.checks; ++i) {
                 again.now = 1'025'000 + i * 10'000;
                 KannelFacts f{again.now, 0, {}, 600'000, 12'000};
                 c.facts(f);
                 again.store.Check(f);
             }
             EXPECT_EQ(Statuses(src, id), c.statuses);
             EXPECT_EQ(StateOf(src, id), c.state);
             EXPECT_EQ(Value(src, QStringLiteral("select CurrSum from Users")).toInt(), c.credit);
             if (QString(c.state) == "1") { // claimed again at once, the waiting ones sent
                 const auto resent = again.store.Claim(milliseconds(60000), true);
                 ASSERT_TRUE(resent && resent->first);
                 EXPECT_EQ(resent->first->phones.size(), QString(c.statuses).count("waiting"));
             }
             // A late final report still settles a number left unknown or checking.
             again.store.ApplyReports({{id, 0, QStringLiteral("13900000001"), secret, 1, {}},
                                       {id, 0, QStringLiteral("13900000002"), secret, 1, {}}});
             EXPECT_TRUE(Statuses(src, id).endsWith("delivered"));
             EXPECT_EQ(StateOf(src, id), "3");
         }
     }},
    {"CrashWhileSubmittingAPhoneTwice",
     "a phone twice in a list: the message in Kannel's store of its number sent before is never "
     "taken for the number caught submitting",
     [](const std::string& src) {
         const struct Check {
             const char* name;
             int stored;   // messages to the phone in Kannel's store
             int reported; // report type for the number sent before, 0 none
             const char* statuses;
         } checks[] = {
             {"the first one's message still in the store", 1, 0, "submitted,waiting"},
             {"both messages in the store", 2, 0, "submitted,submitted"},
             {"the first one delivered, the store empty", 0, 1, "delivered,waiting"},
         };
         int n = 0;
         for (const Check& c : checks) {
             SCOPED_TRACE(c.name);
             // A phone of its own: the earlier cases' numbers wait for reports.
             const QString phone = QStringLiteral("1390000000%1").arg(++n);
             const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"), phone + ";" + phone);
             QString secret;
             int firstRound = 0;
             {
                 Worker w(src, QStringLiteral("w"), false, QStringLiteral("smsd-test-before"));
                 secret = w.store.Claim(milliseconds(60000))->secret;
                 const auto first = w.store.StartRound(id, milliseconds(60000));
                 ASSERT_TRUE(first);
                 ASSERT_EQ(first->phones.size(), 1);
                 firstRound = first->round;
                 ASSERT_TRUE(w.store.FinishRound(id, firstRound, NumberStatus::Submitted, {}, {},
                                                 milliseconds(60000), /*markNext=*/true));
             } // the process dies here, the second request in flight
             Worker again(src, QStringLiteral("w"), true);
             again.now = 1'010'000;
             EXPECT_EQ(again.store.SettleOwn(), 1);
             ASSERT_TRUE(again.store.Claim(milliseconds(60000)));
             EXPECT_FALSE(again.store.StartRound(id, milliseconds(60000)));
             if (c.reported)
                 again.store.ApplyReports({{id, firstRound, phone, secret, c.reported, {}}});
             for (int i = 0; i < 2; ++i) {
                 again.now = 1'025'000 + i * 10'000;
                 KannelFacts f{again.now, 0, {}, 600'000, 12'000};
                 for (int k = 0; k < c.stored; ++k)
                     f.stored.emplace(phone, 1'000'000);
                 again.store.Check(f);
             }
             EXPECT_EQ(Statuses(src, id), c.statuses);
             if (QString(c.statuses).contains(QLatin1String("waiting"))) { // sent again at once
                 const auto resent = again.store.Claim(milliseconds(60000), true);
                 ASSERT_TRUE(resent && resent->id == id && resent->first);
                 EXPECT_EQ(resent->first->phones, QStringList{phone});
                 again.store.FinishRound(id, resent->first->round, NumberStatus::Submitted, {});
             }
         }
     }},
    {"StatusOfTheRoad",
     "telvoro-admin status: each worker's beat, the numbers under way by status, those "
     "unchanged too long, the rows not taken yet",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000001"));
         QueueRow(src, kAccount, QStringLiteral("hi"), QStringLiteral("13900000004"));
         Worker w(src, QStringLiteral("w"));
         ASSERT_TRUE(w.store.Claim(milliseconds(60000), /*startRound=*/true));
         w.store.Beat({900'000, 1'000'000, 0, false, 990'000});
         w.now = 1'005'000; // the same line again, written over
         w.store.Beat({900'000, 1'000'000, 1'004'000, true, 1'003'000});
         const auto road = QueueReport(w.connection).Status(1'000'001);
         ASSERT_EQ(road.workers.size(), 1u);
         const auto& line = road.workers[0];
         EXPECT_EQ(line.worker, "w");
         EXPECT_EQ(std::tuple(line.started, line.seen, line.lastClaim, line.lastReport,
                              line.kannelUp, line.kannelSince),
                   std::tuple(900'000, 1'005'000, 1'000'000, 1'004'000, true, 1'003'000));
         std::map<QString, int> numbers;
         for (const auto& c : road.numbers)
             numbers[c.status] = c.numbers;
         EXPECT_EQ(numbers, (std::map<QString, int>{{"submitting", 2}, {"waiting", 1}}));
         ASSERT_EQ(road.stuck.size(), 2u); // unchanged since 1,000,000
         EXPECT_EQ(road.stuck[0].row, id);
         EXPECT_EQ(road.newRows, 1);
         EXPECT_FALSE(road.oldestNew.isEmpty());
         EXPECT_TRUE(QueueReport(w.connection).Status(1'000'000).stuck.empty());
     }},
    {"TakeoverAfterTheLease",
     "a dead worker's row is taken over after its lease, not before; the old holder loses it",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000001"));
         Worker a(src, QStringLiteral("a")), b(src, QStringLiteral("b"));
         ASSERT_TRUE(a.store.Claim(milliseconds(60000)));
         const auto round = a.store.StartRound(id, milliseconds(60000));
         ASSERT_TRUE(round);
         b.now = a.now + 59'000;
         EXPECT_FALSE(b.store.Claim(milliseconds(60000)));
         b.now = a.now + 61'000;
         const auto taken = b.store.Claim(milliseconds(60000));
         ASSERT_TRUE(taken);
         EXPECT_EQ(taken->madeChecking, 2);
         // The old holder's late answer must not touch what is now b's.
         EXPECT_THROW(a.store.FinishRound(id, round->round, NumberStatus::Submitted, {}),
                      ClaimLost);
         EXPECT_THROW(a.store.StartRound(id, milliseconds(60000)), ClaimLost);
         const auto rest = b.store.StartRound(id, milliseconds(60000));
         ASSERT_TRUE(rest);
         EXPECT_EQ(rest->phones, QStringList{QStringLiteral("13900000001")});
         EXPECT_EQ(Statuses(src, id), "checking,checking,submitting");
     }},
    {"Reports",
     "reports: types map to statuses, a final status is never overwritten, forgeries do nothing",
     [](const std::string& src) {
         const qint64 id =
             QueueRow(src, kAccount, QStringLiteral("hi"), QStringLiteral("1;2;3;4;5;6;7"));
         Worker w(src, QStringLiteral("w"));
         const QString k = w.store.Claim(milliseconds(60000))->secret;
         const auto r = w.store.StartRound(id, milliseconds(60000));
         w.store.FinishRound(id, r->round, NumberStatus::Submitted, {});
         const auto p = [](int n) { return QString::number(n); };
         const std::vector<Report> reports = {
             {id, 0, p(1), k, 8, QStringLiteral("ACK")},
             {id, 0, p(1), k, 1, QStringLiteral("DELIVRD")},
             {id, 0, p(2), k, 1, {}},
             {id, 0, p(2), k, 8, {}},
             {id, 0, p(3), k, 2, QStringLiteral("UNDELIV")},
             {id, 0, p(3), k, 1, {}},
             {id, 0, p(4), k, 4, {}},
             {id, 0, p(5), k, 16, QStringLiteral(R"(NACK/0x45 "x" \ {a,b})")},
             {id, 0, p(6), QStringLiteral("forged"), 1, {}},
             {id, 0, p(7), k, 99, {}},
             {id + 1000, 0, p(7), k, 1, {}},
         };
         // Kannel may repeat a report: the same batch twice changes nothing more.
         const ReportCounts first = w.store.ApplyReports(reports);
         EXPECT_EQ(first.forged, 2);
         EXPECT_EQ(first.applied, 8);
         w.store.ApplyReports(reports);
         EXPECT_EQ(Statuses(src, id),
                   "delivered,delivered,undelivered,buffered,rejected,submitted,submitted");
         EXPECT_EQ(Value(src, QStringLiteral("select SmscText from SendDetail where SendTempID=%1 "
                                             "and Seq=5")
                                  .arg(id))
                       .toString(),
                   R"(NACK/0x45 "x" \ {a,b})"); // the SMSC's text as it came
         EXPECT_EQ(StateOf(src, id), "2");
         // The sweeper ends the wait; a late final report still counts.
         w.now += 3'600'001;
         EXPECT_EQ(w.store.Sweep(milliseconds(3'600'000)), 3);
         EXPECT_EQ(StateOf(src, id), "3");
         w.store.ApplyReports({{id, 0, p(6), k, 1, {}}});
         EXPECT_EQ(Statuses(src, id),
                   "delivered,delivered,undelivered,unknown,rejected,delivered,unknown");
     }},
    {"KannelAnswers",
     "Kannel's answers: 503 sends the round again, a refusal is final, named failures wait",
     [](const std::string& src) {
         const qint64 id = QueueRow(src, kAccount, QStringLiteral("hi"),
                                    QStringLiteral("13900000001;13900000002;13900000003"));
         Worker w(src, QStringLiteral("w"));
         ASSERT_TRUE(w.store.Claim(milliseconds(60000)));
         auto r = w.store.StartRound(id, milliseconds(60000));
         w.store.FinishRound(id, r->round, NumberStatus::Waiting, QStringLiteral("503"));
         r = w.store.StartRound(id, milliseconds(60000));
         ASSERT_TRUE(r);
         EXPECT_EQ(r->phones.size(), 3);
         w.store.FinishRound(id, r->round, NumberStatus::Submitted, {},
                             {QStringLiteral("13900000002")});
         r = w.store.StartRound(id, milliseconds(60000));
         ASSERT_TRUE(r);
         EXPECT_EQ(r->phones, QStringList{QStringLiteral("13900000002")});
         w.store.FinishRound(id, r->round, NumberStatus::Rejected, QStringLiteral("Kannel 403"));
         EXPECT_EQ(Statuses(src, id), "submitted,rejected,submitted");
         EXPECT_EQ(StateOf(src, id), "2");
     }},
    {"Refunds", "refunds: rejected, undelivered and invalid numbers give their units back once",
     [](const std::string& src) {
         SetCredit(src, kAccount, 100);
         // 70 characters: two units a number, as the client priced it.
         const qint64 id =
             QueueRow(src, kAccount, QString(70, QChar(0x4E2D)), QStringLiteral("1;;3;4;5"));
         Worker w(src, QStringLiteral("w"), true);
         const QString k = w.store.Claim(milliseconds(60000))->secret;
         EXPECT_EQ(Value(src, QStringLiteral("select CurrSum from Users")).toInt(), 102);
         const auto r = w.store.StartRound(id, milliseconds(60000));
         w.store.FinishRound(id, r->round, NumberStatus::Submitted, {});
         const std::vector<Report> reports = {{id, 0, QStringLiteral("1"), k, 1, {}},
                                              {id, 0, QStringLiteral("3"), k, 2, {}},
                                              {id, 0, QStringLiteral("4"), k, 16, {}},
                                              {id, 0, QStringLiteral("5"), k, 8, {}}};
         w.store.ApplyReports(reports);
         w.store.ApplyReports(reports);
         w.store.ApplyReports({{id, 0, QStringLiteral("3"), k, 16, {}}});
         EXPECT_EQ(Value(src, QStringLiteral("select CurrSum from Users")).toInt(), 106);
         w.now += 10'000;
         w.store.Sweep(milliseconds(1000)); // unknown gives nothing back
         EXPECT_EQ(Value(src, QStringLiteral("select CurrSum from Users")).toInt(), 106);

         // A text with no GBK form (written by another program) was never
         // priced by the client: no refund on other bytes, the number stays unrefunded.
         const qint64 odd = QueueRow(src, kAccount, QStringLiteral("x"), QStringLiteral("6"));
         {
             Connection c(QStringLiteral("smsd-test-odd"));
             c.Open(telvoro::testing::Source(src));
             QSqlQuery q(c.database());
             q.prepare(QStringLiteral("update SendTemp set SendMemo=? where ID=?"));
             q.addBindValue(QString::fromUtf8("\xF0\x9F\x98\x80 \xE9\x80\x9A\xE7\x9F\xA5"));
             q.addBindValue(odd);
             ASSERT_TRUE(q.exec());
         }
         const QString ok = w.store.Claim(milliseconds(60000))->secret;
         const auto r2 = w.store.StartRound(odd, milliseconds(60000));
         w.store.FinishRound(odd, r2->round, NumberStatus::Submitted, {});
         w.store.ApplyReports({{odd, 0, QStringLiteral("6"), ok, 16, {}}});
         EXPECT_EQ(Statuses(src, odd), QStringLiteral("rejected"));
         EXPECT_EQ(Value(src, QStringLiteral("select CurrSum from Users")).toInt(), 106);
     }},
    {"InboundAndOptOuts",
     "inbound: stored once, to the account whose number it extends; a refusal stops that "
     "account's sending, refunded at once, and no other account's",
     [](const std::string& src) {
         const QString a = QStringLiteral("acct-a"), b = QStringLiteral("acct-b");
         SetCredit(src, a, 100);
         SetCredit(src, b, 100);
         Connection c(QStringLiteral("smsd-test-inbox"));
         c.Open(telvoro::testing::Source(src));
         qint64 now = 5'000'000;
         Inbox inbox(c, [&] { return now; });
         inbox.SetSender(a, QStringLiteral("1069001"));
         inbox.SetSender(b, QStringLiteral("10690012"));
         struct Mo {
             const char *id, *from, *to, *text, *account;
             bool stored, listed;
         };
         const Mo table[] = {
             {"m1", "+8613900000005", "1069001", " t ", "acct-a", true, true},
             {"m1", "+8613900000005", "1069001", " t ", "acct-a", false, false},    // Kannel again
             {"m2", "13900000006", "10690019", "退订", "acct-a", true, true},       // an extension
             {"m3", "13900000007", "106900123", "T please", "acct-b", true, false}, // no refusal
             {"m4", "13900000008", "10690012", "STOP", "acct-b", true, true}, // the longer number
             {"m5", "13900000009", "95555", "td", "", true, true}, // no account: all accounts
         };
         for (const Mo& m : table) {
             const InboundOutcome out = inbox.Take(
                 {QString::fromUtf8(m.id), QString::fromUtf8(m.from), QString::fromUtf8(m.to),
                  QString::fromUtf8(m.text), QStringLiteral("s")});
             EXPECT_EQ(out.stored, m.stored) << m.id;
             EXPECT_EQ(out.listed, m.listed) << m.id;
             EXPECT_EQ(out.account, QString::fromUtf8(m.account)) << m.id;
         }
         EXPECT_EQ(Value(src, QStringLiteral("select count(*) from Inbound")).toInt(), 5);
         EXPECT_EQ(
             Value(src, QStringLiteral("select Body from Inbound where MessageId='m2'")).toString(),
             QString::fromUtf8("退订"));
         EXPECT_EQ(Value(src, QStringLiteral("select count(*) from OptOutLog")).toInt(), 4);
         // 70 characters: two units a number.
         const QString text(70, QChar(0x4E2D));
         const QString list = QStringLiteral("13900000005;13900000006;13900000007;13900000008;"
                                             "13900000009;13900000005");
         const qint64 ra = QueueRow(src, a, text, list), rb = QueueRow(src, b, text, list);
         Worker w(src, QStringLiteral("w")); // refunds off: held-back numbers still go back
         const auto rowA = w.store.Claim(milliseconds(60000), /*startRound=*/true);
         ASSERT_TRUE(rowA && rowA->first);
         EXPECT_EQ(rowA->sender, QStringLiteral("1069001"));
         EXPECT_EQ(rowA->optedOut, 4);
         EXPECT_EQ(rowA->first->phones,
                   (QStringList{QStringLiteral("13900000007"), QStringLiteral("13900000008")}));
         EXPECT_EQ(Statuses(src, ra),
                   "opted-out,opted-out,submitting,submitting,opted-out,opted-out");
         EXPECT_EQ(
             Value(src, QStringLiteral("select CurrSum from Users where Login='acct-a'")).toInt(),
             100 + 8);
         const auto rowB = w.store.Claim(milliseconds(60000), /*startRound=*/true);
         ASSERT_TRUE(rowB);
         EXPECT_EQ(Statuses(src, rb),
                   "submitting,submitting,submitting,opted-out,opted-out,waiting");
         // Removed from the list: sent again; the change is recorded.
         EXPECT_EQ(inbox.RemoveOptOut(a, {QStringLiteral("13900000006")}, QStringLiteral("t")), 1);
         EXPECT_EQ(inbox.RemoveOptOut(a, {QStringLiteral("13900000006")}, QStringLiteral("t")), 0);
         EXPECT_EQ(inbox.OptOuts(a).size(), 1u);
         EXPECT_EQ(inbox.OptOuts(std::nullopt).size(), 3u);
         EXPECT_EQ(inbox.Messages(b, 0).size(), 2u);
     }},
    {"DailyCap", "a daily cap per account and phone, by local day; capped numbers refunded",
     [](const std::string& src) {
         SetCredit(src, kAccount, 100);
         Worker w(src, QStringLiteral("w"));
         w.store.SetDailyCap(2, QTimeZone(QByteArrayLiteral("Asia/Shanghai")));
         // 2024-03-01 23:00 in Shanghai.
         w.now = QDateTime(QDate(2024, 3, 1), QTime(23, 0),
                           QTimeZone(QByteArrayLiteral("Asia/Shanghai")))
                     .toMSecsSinceEpoch();
         const QString list = QStringLiteral("13900000001;13900000001;13900000001;13900000002");
         const qint64 first = QueueRow(src, kAccount, QStringLiteral("hi"), list);
         ASSERT_TRUE(w.store.Claim(milliseconds(86'400'000)));
         EXPECT_EQ(Statuses(src, first), "waiting,waiting,capped,waiting");
         const qint64 second = QueueRow(src, QStringLiteral("other"), QStringLiteral("hi"), list);
         ASSERT_TRUE(w.store.Claim(milliseconds(86'400'000))); // another account counts apart
         EXPECT_EQ(Statuses(src, second), "waiting,waiting,capped,waiting");
         w.now += 3'600'000; // the next local day
         const qint64 third = QueueRow(src, kAccount, QStringLiteral("hi"), list);
         ASSERT_TRUE(w.store.Claim(milliseconds(86'400'000)));
         EXPECT_EQ(Statuses(src, third), "waiting,waiting,capped,waiting");
         EXPECT_EQ(
             Value(src, QStringLiteral("select CurrSum from Users where Login='%1'").arg(kAccount))
                 .toInt(),
             100 + 2);
     }},
};

class Rules : public ::testing::TestWithParam<std::tuple<const char*, const Case*>> {};

TEST_P(Rules, OnEveryEngine) {
    const auto [engine, c] = GetParam();
    const EngineDatabase db = MakeEngineDatabase(engine);
    TELVORO_ENGINE_OR_SKIP(db);
    SCOPED_TRACE(c->name);
    c->run(db.text);
}

INSTANTIATE_TEST_SUITE_P(Queue, Engines, ::testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param); });

std::vector<const Case*> AllCases() {
    std::vector<const Case*> all;
    for (const Case& c : kCases)
        all.push_back(&c);
    return all;
}

INSTANTIATE_TEST_SUITE_P(Queue, Rules,
                         ::testing::Combine(::testing::ValuesIn(kEngines),
                                            ::testing::ValuesIn(AllCases())),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param)->id;
                         });

} // namespace
