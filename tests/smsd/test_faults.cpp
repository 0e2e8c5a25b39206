// The queue server under faults, as a black box: the installed telvoro-smsd
// program against real Kannel and real databases, killed, cut off from Kannel
// or its database, or sharing one queue with a second worker. Whatever
// happens, no number reaches the SMSC more often than it was queued, none on
// the account's opt-out list reaches it at all (those end "opted-out", their
// price given back once), and every other queued number that never reached it
// is said to be "unknown".

#include "tests/smsd/FaultRunSupport.h"
#include "tests/support/HttpFaultProxy.h"

#include <functional>
#include <random>

using namespace telvoro;
using namespace telvoro::smsd::testing;
using namespace telvoro::smsd::testing::faults;
using namespace std::chrono_literals;

namespace {

TEST(SmsdFaults, StoppedAtRandomMomentsAndRestarted) {
    struct Case {
        const char* name;
        bool kill;
        int times;
        const char* validity; // none is swept while checked or waiting for a slow report
    };
    for (const Case c : {Case{"SIGKILL", true, 20, "60"}, Case{"SIGTERM", false, 5, "30"}}) {
        SCOPED_TRACE(c.name);
        TestDatabase db = Database("sqlite");
        // Reports to a dead server are tried again for as long as the kills go on.
        KannelRig rig({.httpRequestRetry = 60});
        KannelKeeper kannel{rig};
        const Drain drain = QueueDrain(db.text, 60);
        TempFolder folder;
        Worker smsd(rig, db.text, "w1", folder.path, {"--validity", c.validity, "--drains", "2"});
        // Kannel has run a while, as deployed: its start, read to the second,
        // is not mistaken for a restart after the first numbers.
        std::this_thread::sleep_for(2s);
        std::mt19937 random(std::random_device{}());
        int duringDrain = 0;
        for (int stop = 0; stop < c.times; ++stop) {
            smsd.Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(60 + random() % 300));
            if (c.kill)
                smsd.Kill();
            else
                EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
            duringDrain += RowsToSend(db.text) > 0;
            kannel.Check();
        }
        const size_t beforeLastStart = rig.ReceivedParts();
        smsd.Start();
        EXPECT_TRUE(WaitSettled(db.text, kannel, 120s)) << smsd.Log();
        EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
        const Tally t = Audit(db.text, rig, drain);
        // smsbox now and then aborts when a report receiver goes away
        // mid-request; the reports it held die with it and only numbers
        // submitted before its restart may end unknown.
        if (kannel.restarts == 0) {
            EXPECT_EQ(t.unknown, 0);
            EXPECT_EQ(t.missing, 0);
        }
        EXPECT_EQ(t.twice, 0);
        std::cout << "[ figures  ] " << c.name << " " << c.times << " times, " << duringDrain
                  << " of them with rows still to send; " << beforeLastStart
                  << " numbers sent before the last start; smsbox restarted " << kannel.restarts
                  << " times\n";
        Figures(c.name, t);
    }
}

// Killed while Kannel holds what it took: with the SMSC link down (the
// messages wait in bearerbox's store), and with the reports of numbers sent
// still owed when the worker comes back (smsbox retries them). The numbers
// caught "submitting" are found in the store or settled by their reports:
// none unknown, none sent twice, every one sent.
TEST(SmsdFaults, KilledWhileKannelHoldsTheNumbers) {
    struct Case {
        const char* name;
        bool smscDown;
        std::chrono::seconds away; // between the kill and the restart
    };
    for (const Case c : {Case{"SMSC link down, messages in bearerbox's store", true, 2s},
                         Case{"reports owed past the restart", false, 5s}}) {
        SCOPED_TRACE(c.name);
        TestDatabase db = Database("sqlite");
        KannelRig rig({.httpRequestRetry = 60});
        KannelKeeper kannel{rig};
        if (c.smscDown) rig.StopSmsc();
        const Drain drain = QueueDrain(db.text, 20);
        TempFolder folder;
        Worker smsd(rig, db.text, "w1", folder.path, {"--validity", "60"});
        smsd.Start();
        // Killed once Kannel has taken some, with the drain still going.
        ASSERT_TRUE(WaitUntil(30s, [&] {
            if (!c.smscDown) return rig.ReceivedParts() >= 300;
            return Count(db.text, QStringLiteral("select count(*) from SendDetail where "
                                                 "Status='submitted'")) >= 300;
        })) << smsd.Log();
        smsd.Kill();
        const int caught = Caught(db.text);
        std::this_thread::sleep_for(c.away);
        smsd.Start();
        if (c.smscDown) {
            std::this_thread::sleep_for(20s); // past the grace: the store decides
            rig.StartSmsc();
        }
        EXPECT_TRUE(WaitSettled(db.text, kannel, 120s)) << smsd.Log();
        EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
        ExpectKept(c.name, caught, kannel, Audit(db.text, rig, drain));
    }
}

// Killed at each point of one sendsms exchange, held there by a proxy: before
// Kannel has the request, with half of it, just after Kannel took it (its
// answer held back) with the SMSC link up or down. The numbers caught are sent
// again, or settled by their reports or bearerbox's store, as Kannel had them.
// A SIGTERM stops at once though Kannel never answers, leaving them to check.
TEST(SmsdFaults, KilledAtEachPointOfARequest) {
    using Hold = HttpFaultProxy::Hold;
    struct Case {
        const char* name;
        Hold hold;
        bool smscDown;
        int signal;
    };
    for (const Case c :
         {Case{"request held before Kannel", Hold::Request, false, SIGKILL},
          Case{"half of the request with Kannel", Hold::HalfRequest, false, SIGKILL},
          Case{"Kannel's answer held back", Hold::Answer, false, SIGKILL},
          Case{"Kannel's answer held back, SMSC link down", Hold::Answer, true, SIGKILL},
          Case{"SIGTERM, request held before Kannel", Hold::Request, false, SIGTERM}}) {
        SCOPED_TRACE(c.name);
        TestDatabase db = Database("sqlite");
        KannelRig rig({.httpRequestRetry = 60});
        KannelKeeper kannel{rig};
        if (c.smscDown) rig.StopSmsc();
        HttpFaultProxy proxy(rig.SendsmsPort());
        const Drain drain = QueueDrain(db.text, 6);
        TempFolder folder;
        // One drain: the held request is the only one in flight.
        Worker smsd(rig, db.text, "w1", folder.path, {"--validity", "60", "--drains", "1"},
                    proxy.port());
        std::this_thread::sleep_for(2s); // Kannel has run a while, as deployed
        // Signalled the moment the hold begins, before a report of a number
        // Kannel took can reach it. The second request is the second row's
        // first round (the first row's repeated number is opted out): a
        // request of many numbers.
        proxy.Set(c.hold, 2, [&] { smsd.Signal(c.signal); });
        smsd.Start();
        ASSERT_TRUE(WaitUntil(30s, [&] { return proxy.Holding(); })) << smsd.Log();
        const auto signalled = std::chrono::steady_clock::now();
        if (c.signal == SIGKILL)
            smsd.Kill();
        else
            EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 15s) << smsd.Log();
        const int caught = Caught(db.text);
        EXPECT_GT(caught, 0);
        smsd.Start();
        if (c.smscDown) { // the store decides, then the messages go
            EXPECT_TRUE(WaitUntil(60s, [&] { return Caught(db.text) == 0; })) << smsd.Log();
            rig.StartSmsc();
        }
        EXPECT_TRUE(WaitSettled(db.text, kannel, 120s)) << smsd.Log();
        EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
        ExpectKept(c.name, caught, kannel, Audit(db.text, rig, drain));
    }
}

// Kannel or the database away for a while in the middle of a drain: the server
// backs off, reconnects and finishes. Only a request in flight when Kannel
// went can leave numbers unknown.
TEST(SmsdFaults, DrainOutlivesAnOutage) {
    struct Case {
        const char* name;
        const char* engine;
        std::function<void(KannelRig&)> outage;
        int mayMiss; // numbers that may end unknown without reaching the SMSC
    };
    // Not the SMSC link alone: fakesmsc acknowledges nothing, so Kannel reports a
    // message written into a dying fakesmsc as delivered.
    const Case cases[] = {
        {"Kannel stopped and started", "sqlite",
         [](KannelRig& rig) {
             rig.Stop();
             std::this_thread::sleep_for(1s);
             rig.Start();
         },
         8 * kPerRow + 1}, // a request in flight in each of the eight drains
        {"PostgreSQL restarted", "postgresql",
         [](KannelRig&) {
             EXPECT_TRUE(PgServer::Get()->Restart(1.0)) << "PostgreSQL did not come back";
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDatabase db = Database(c.engine);
        if (db.text.empty()) continue;
        KannelRig rig;
        KannelKeeper kannel{rig};
        // Enough rows that the outage finds the drain under way even on an
        // idle machine, where 2,000 numbers go out in about half a second.
        const Drain drain = QueueDrain(db.text, 60);
        TempFolder folder;
        // Kannel forgets the reports it still owed when it stops: those numbers
        // are swept as unknown after the validity.
        Worker smsd(rig, db.text, "w1", folder.path, {"--validity", "8"});
        smsd.Start();
        ASSERT_TRUE(WaitUntil(30s, [&] { return rig.ReceivedParts() >= 400; })) << smsd.Log();
        EXPECT_GT(RowsToSend(db.text), 0) << "the drain was over before the outage";
        c.outage(rig);
        ASSERT_TRUE(WaitSettled(db.text, kannel, 60s)) << smsd.Log();
        EXPECT_EQ(kannel.restarts, 0);
        EXPECT_EQ(smsd.Stop(), 0) << smsd.Log();
        const Tally t = Audit(db.text, rig, drain);
        EXPECT_LE(t.missing, c.mayMiss);
        // The statements of the lost connection go without a word from the driver.
        EXPECT_EQ(smsd.Log().find("Unable to free"), std::string::npos) << smsd.Log();
        Figures(c.name, t);
    }
}

// Two workers drain one PostgreSQL queue: no row is taken twice. When one of
// them dies, the other takes its rows over once their lease runs out.
TEST(SmsdFaults, TwoWorkersShareOnePostgresQueue) {
    struct Case {
        const char* name;
        bool killFirst;
    };
    for (const Case c : {Case{"both run to the end", false},
                         Case{"one killed, the other takes over its rows", true}}) {
        SCOPED_TRACE(c.name);
        TestDatabase db = Database("postgresql");
        if (db.text.empty()) GTEST_SKIP() << "no PostgreSQL server";
        KannelRig rig;
        KannelKeeper kannel{rig};
        const Drain drain = QueueDrain(db.text, 20);
        TempFolder folder;
        const std::vector<std::string> options{"--validity", "6", "--lease", "2", "--drains", "1"};
        Worker a(rig, db.text, "alpha", folder.path, options);
        Worker b(rig, db.text, "beta", folder.path, options);
        a.Start();
        b.Start();
        if (c.killFirst) {
            // Frozen, then killed only while it holds a row it has not handed over.
            ASSERT_TRUE(WaitUntil(30s, [&] { return rig.ReceivedParts() >= 400; })) << a.Log();
            const QString holding = QStringLiteral(
                "select count(*) from SendClaim c join SendTemp t on t.ID=c.SendTempID where "
                "c.Worker='alpha' and t.state='1'");
            bool killed = false;
            for (int attempt = 0; attempt < 200 && !killed; ++attempt) {
                a.Signal(SIGSTOP);
                if (Count(db.text, holding) > 0) {
                    a.Kill();
                    killed = true;
                } else {
                    a.Signal(SIGCONT);
                    std::this_thread::sleep_for(std::chrono::milliseconds(attempt % 17));
                }
            }
            ASSERT_TRUE(killed) << "alpha never caught holding a row";
        }
        ASSERT_TRUE(WaitSettled(db.text, kannel, 60s)) << a.Log() << b.Log();
        EXPECT_EQ(b.Stop(), 0) << b.Log();
        const QString workers =
            Value(db.text, QStringLiteral("select count(distinct Worker) from SendClaim"))
                .toString();
        if (c.killFirst) {
            const Tally t = Audit(db.text, rig, drain);
            EXPECT_NE(b.Log().find("taken over from alpha"), std::string::npos) << b.Log();
            Figures(c.name, t);
        } else {
            EXPECT_EQ(a.Stop(), 0) << a.Log();
            EXPECT_EQ(workers, "2") << "one worker took every row";
            // Nothing went wrong: every number not opted out reached the SMSC as often as queued.
            const Tally t = Audit(db.text, rig, drain);
            EXPECT_EQ(t.sent, t.queued - t.optedOut);
            EXPECT_EQ(t.unknown, 0);
            Figures(c.name, t);
        }
    }
}

} // namespace
