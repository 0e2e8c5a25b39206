// Numbers per second from the queue to the SMSC through telvoro-smsd, beside
// Kannel's own sendsms driven directly, in the same run and on the same Kannel
// (fake SMSC). The rows are queued first, as the client queues them; the clock
// runs from the queue server's start until the SMSC has every number.
//
//   bench_smsd [--numbers N] [--rows R] [--drains K,...] [--history H]
//              [--db postgresql://HOST:PORT] [--text chinese|ascii] [--latency N]
//              [--opt-outs M] [--repeat B] [--stop S] [--rounds N] [--relay 0]
//              [--smsd DIR]
//
// The text is the client's kind by default: 74 Chinese characters, two UCS-2
// parts a number (each part reaches the SMSC and brings its own reports), or
// a one-part ASCII text. The latency run queues one number at a time on an
// idle queue server and times each from its commit to the SMSC.
// --opt-outs M puts M other numbers on the account's opt-out list first:
// the price of the claim's look-up on the list.
// Each report passes a relay that times it from arrival to answer (the
// endpoint answers once it is stored). --repeat B sends the batch B times in
// one telvoro-smsd and prints its memory after each; --stop S then stops it
// for S seconds while Kannel owes a batch's reports, and times the burst.
//
// --smsd DIR measures the telvoro-smsd of another build (an earlier commit's)
// with this same bench: its telvoro-admin init makes the tables, and options
// its --help lacks are left out; without --report-url there is no relay, and
// the report times are absent.
//
// Kannel's own rate is taken before and after the queue server's runs: on a
// shared machine the two readings show how much the load moved meanwhile.

#include "bench/KannelCeiling.h"
#include "bench/ProcessStats.h"
#include "bench/QueueFill.h"
#include "bench/SmsdUnderTest.h"
#include "bench/TimingRelay.h"
#include "db/Connection.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/KannelRig.h"
#include "tests/support/TempFolder.h"
#include "text/GbkCodec.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <random>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace telvoro;
using namespace std::chrono_literals;
using telvoro::test::ChildProcess;
using telvoro::test::KannelRig;
using namespace telvoro::bench;

namespace {

using Clock = std::chrono::steady_clock;

// The local PostgreSQL server the bench drives (its postmaster), or 0.
pid_t g_postmaster = 0;

std::map<pid_t, double> PostgresCpu() {
    return TreeCpu(g_postmaster);
}
double Since(const std::map<pid_t, double>& before) {
    return TreeCpuSince(g_postmaster, before);
}

struct Args {
    int numbers = 100000, rows = 1000; // 100 numbers a row, as the client queues them
    int history = 0; // numbers sent before: half settled, half still waiting for a report
    std::vector<int> drains{1, 8};
    std::string db;   // empty: an SQLite file in a temp folder per run
    int pending = -1; // smsbox's max-pending-requests; -1: Kannel's default
    bool chinese = true;
    int latency = 40;  // numbers queued one at a time on an idle server
    int optOuts = 0;   // numbers on the account's opt-out list, none of them queued
    int repeat = 1;    // batches of `numbers` one after the other in one telvoro-smsd
    int stop = 0;      // seconds telvoro-smsd is stopped while Kannel owes a batch's reports
    bool relay = true; // reports through the timing relay
    int rounds = 1;    // the ceiling and the queue server, side by side, this many times
    std::string smsd;  // another build's telvoro-smsd and telvoro-admin; empty: this tree's
};

Args Parse(int argc, char** argv) {
    Args a;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        static const std::map<std::string, int Args::*> counts{
            {"--numbers", &Args::numbers}, {"--rows", &Args::rows},
            {"--history", &Args::history}, {"--opt-outs", &Args::optOuts},
            {"--pending", &Args::pending}, {"--repeat", &Args::repeat},
            {"--rounds", &Args::rounds},   {"--stop", &Args::stop},
            {"--latency", &Args::latency}};
        if (const auto count = counts.find(key); count != counts.end())
            a.*(count->second) = std::stoi(value);
        else if (key == "--db")
            a.db = value;
        else if (key == "--text")
            a.chinese = value != "ascii";
        else if (key == "--relay")
            a.relay = value != "0";
        else if (key == "--smsd")
            a.smsd = value;
        else if (key == "--drains") {
            a.drains.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                a.drains.push_back(std::stoi(item));
        } else {
            throw std::runtime_error("unknown option " + key);
        }
    }
    if (argc % 2 == 0) throw std::runtime_error("every option takes a value");
    if (a.numbers < a.rows || a.rows < 1)
        throw std::runtime_error("need at least one number per row");
    return a;
}

// `numbers` numbers in `rows` rows, queued as the client does, from `first` on.
void QueueRows(const DataSource& source, int numbers, int rows, long long first, bool chinese) {
    SqlGateway gw(QStringLiteral("bench-queue"));
    gw.Open(source);
    const std::string memo = ToGbk(BenchText(chinese));
    long long next = first;
    for (int r = 0; r < rows; ++r) {
        const int here = numbers / rows + (r < numbers % rows ? 1 : 0);
        std::string list;
        for (int i = 0; i < here; ++i)
            list += (i ? ";" : "") + std::to_string(next++);
        gw.BeginTransaction();
        gw.InsertSendRow("13800138000", memo, list);
        gw.Commit();
    }
}

// A fresh queue (history and opt-outs as asked) with those rows, its tables
// made as `tested` expects them.
void Queue(const SmsdUnderTest& tested, const std::string& text, int numbers, int rows,
           long long first, int history, bool chinese, int optOuts) {
    const DataSource source = ParseDataSource(text, ProgramFolder());
    if (!tested.Own()) tested.InitTables(text);
    {
        Connection c(QStringLiteral("bench-init"));
        c.Open(source, Create::Yes);
        if (tested.Own()) ServerUpkeep(c).CreateTables();
        if (source.engine != Engine::Sqlite) {
            // A server database is shared between runs: start from an empty queue.
            QSqlQuery q(c.database());
            for (const char* sql :
                 {"delete from SendTemp", "delete from SendDetail", "delete from SendClaim"})
                q.exec(QString::fromLatin1(sql));
        }
        FillHistory(c, history);
        FillOptOuts(c, optOuts);
        if (source.engine == Engine::PostgreSql && g_postmaster == 0) {
            QSqlQuery pid(c.database());
            if (pid.exec(QStringLiteral("select pg_backend_pid()")) && pid.next())
                g_postmaster = ParentOf(static_cast<pid_t>(pid.value(0).toInt()));
        }
    }
    QueueRows(source, numbers, rows, first, chinese);
}

// The `q` quantile of sorted values; 0 for none.
double Percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()))];
}

struct Run {
    double handed = 0;     // seconds until the SMSC had every number
    double settled = 0;    // seconds until every row was in "3"
    bool relayed = false;  // the reports passed the timing relay, which took the times below
    double lastReport = 0; // seconds until the last report of the first batch was answered
    double smsdCpu = 0, kannelCpu = 0, postgresCpu = 0; // CPU seconds until every row settled
    std::vector<double> reportMs; // how long each report of the first batch waited to be stored
    std::vector<double> rssMb;    // telvoro-smsd's resident memory after each batch settled
    double peakMb = 0;            // and its peak over them all
    // --stop: the reports owed during the stop, after the restart.
    double burstPeakMb = 0, burstSettled = 0;
    std::vector<double> burstMs;
};

// The SMSC has `parts` more parts than `before`.
void WaitHanded(const KannelRig& rig, size_t before, size_t parts, ChildProcess& smsd,
                Clock::time_point limit) {
    while (rig.ReceivedParts() - before < parts) {
        if (Clock::now() > limit || !smsd.Running())
            throw std::runtime_error("the SMSC got " +
                                     std::to_string(rig.ReceivedParts() - before) + " of " +
                                     std::to_string(parts) + " parts");
        std::this_thread::sleep_for(20ms);
    }
}

void WaitSettled(Connection& look, Clock::time_point limit) {
    for (;;) {
        QSqlQuery q(look.database());
        if (q.exec(QStringLiteral("select count(*) from SendTemp where state<>'3' and ID>0")) &&
            q.next() && q.value(0).toInt() == 0)
            return;
        if (Clock::now() > limit) throw std::runtime_error("rows not settled");
        std::this_thread::sleep_for(50ms);
    }
}

Run RunQueueServer(const KannelRig& rig, const SmsdUnderTest& tested, const Args& a, int drains) {
    TempFolder folder;
    const std::string text = a.db.empty() ? "sqlite:" + (folder / "Orvanta.db").string() : a.db;
    static long long first = 13900000000LL;
    Queue(tested, text, a.numbers, a.rows, first, a.history, a.chinese, a.optOuts);
    first += a.numbers;
    const size_t parts = static_cast<size_t>(a.numbers) * PartsOf(a.chinese);
    // Kannel reaches the report endpoint through the relay, which times each
    // report (--relay 0: directly, to see what the relay itself costs).
    const int listen = telvoro::test::FreePort();
    TimingRelay relay(listen);
    std::vector<std::string> args{"--db", text, "--kannel", rig.SendsmsUrl().toStdString(),
                                  "--kannel-user", rig.User().toStdString(),
                                  "--kannel-password-file", rig.PasswordFile().string(), "--listen",
                                  "127.0.0.1:" + std::to_string(listen), "--worker", "bench",
                                  "--drains", std::to_string(drains), "--sender", "10690000",
                                  // As the service runs it: Kannel's facts
                                  // looked at every few seconds.
                                  "--kannel-conf", rig.ConfigFile().string()};
    Run run;
    run.relayed = a.relay && tested.Takes("--report-url");
    if (run.relayed) {
        args.push_back("--report-url");
        args.push_back("http://127.0.0.1:" + std::to_string(relay.port()) + "/dlr");
    }
    args = tested.Command(args);
    size_t before = rig.ReceivedParts();
    ChildProcess smsd;
    const double kannelBefore = KannelCpu(rig);
    const std::map<pid_t, double> postgresBefore = PostgresCpu();
    auto start = Clock::now();
    smsd.Start(tested.Program(), args, folder / "smsd.log");
    WaitHanded(rig, before, parts, smsd, start + 600s);
    run.handed = std::chrono::duration<double>(Clock::now() - start).count();
    const DataSource source = ParseDataSource(text, ProgramFolder());
    Connection look(QStringLiteral("bench-look"));
    look.Open(source);
    WaitSettled(look, start + 600s);
    run.settled = std::chrono::duration<double>(Clock::now() - start).count();
    if (run.relayed)
        run.lastReport = std::chrono::duration<double>(relay.LastAnswer() - start).count();
    run.smsdCpu = CpuSeconds(smsd.Pid());
    run.kannelCpu = KannelCpu(rig) - kannelBefore;
    run.postgresCpu = Since(postgresBefore);
    run.reportMs = relay.Take();
    run.rssMb.push_back(MemoryMb(smsd.Pid(), "VmRSS"));
    // The same batch again in the same process, queued while it runs.
    for (int batch = 1; batch < a.repeat; ++batch) {
        before = rig.ReceivedParts();
        start = Clock::now();
        QueueRows(source, a.numbers, a.rows, first, a.chinese);
        first += a.numbers;
        WaitHanded(rig, before, parts, smsd, start + 600s);
        WaitSettled(look, start + 600s);
        run.rssMb.push_back(MemoryMb(smsd.Pid(), "VmRSS"));
    }
    run.peakMb = MemoryMb(smsd.Pid(), "VmHWM");
    if (a.stop > 0) {
        // Stopped once Kannel has the batch, so its reports pile up in smsbox,
        // then started again to take them all at once.
        before = rig.ReceivedParts();
        start = Clock::now();
        QueueRows(source, a.numbers, a.rows, first, a.chinese);
        first += a.numbers;
        WaitHanded(rig, before, parts, smsd, start + 600s);
        smsd.Stop(30s);
        relay.Take();
        std::this_thread::sleep_for(std::chrono::seconds(a.stop));
        start = Clock::now();
        smsd.Start(tested.Program(), args, folder / "smsd.log");
        WaitSettled(look, start + 600s);
        run.burstSettled = std::chrono::duration<double>(Clock::now() - start).count();
        run.burstPeakMb = MemoryMb(smsd.Pid(), "VmHWM");
        run.burstMs = relay.Take();
    }
    smsd.Stop(30s);
    return run;
}

// One number at a time on an idle queue server: from the commit of its row
// to the SMSC, `samples` times, a random pause apart. Milliseconds, sorted.
std::vector<double> IdleLatency(const KannelRig& rig, const SmsdUnderTest& tested, const Args& a) {
    TempFolder folder;
    const std::string text = a.db.empty() ? "sqlite:" + (folder / "Orvanta.db").string() : a.db;
    // The tables, and one row to start with.
    Queue(tested, text, 1, 1, 13600000000LL, 0, a.chinese, 0);
    ChildProcess smsd;
    smsd.Start(tested.Program(),
               tested.Command({"--db", text, "--kannel", rig.SendsmsUrl().toStdString(),
                               "--kannel-user", rig.User().toStdString(), "--kannel-password-file",
                               rig.PasswordFile().string(), "--listen",
                               "127.0.0.1:" + std::to_string(telvoro::test::FreePort()), "--worker",
                               "bench", "--drains", "1", "--sender", "10690000"}),
               folder / "smsd.log");
    const DataSource source = ParseDataSource(text, ProgramFolder());
    SqlGateway gw(QStringLiteral("bench-latency"));
    gw.Open(source);
    const std::string memo = ToGbk(BenchText(a.chinese));
    const size_t parts = PartsOf(a.chinese);
    std::this_thread::sleep_for(2s); // the first row out, the server idle
    std::vector<double> ms;
    std::mt19937 random(7);
    for (int i = 0; i < a.latency; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 400));
        const size_t before = rig.ReceivedParts();
        gw.BeginTransaction();
        gw.InsertSendRow("13800138000", memo, std::to_string(13600000001LL + i));
        gw.Commit();
        const auto committed = Clock::now();
        while (rig.ReceivedParts() - before < parts) {
            if (Clock::now() > committed + 30s) {
                std::ifstream log(folder / "smsd.log");
                throw std::runtime_error("a number did not arrive; telvoro-smsd said:\n" +
                                         std::string(std::istreambuf_iterator<char>(log), {}));
            }
            std::this_thread::sleep_for(200us);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - committed).count());
    }
    smsd.Stop(30s);
    std::sort(ms.begin(), ms.end());
    return ms;
}

} // namespace

void PrintRun(const Args& a, int drains, const Run& r) {
    // Without the relay no report is timed: those figures are absent, not 0.
    char last[64] = "the last report's time absent, no relay";
    if (r.relayed)
        std::snprintf(last, sizeof last, "the last report answered after %.1f s", r.lastReport);
    std::printf(
        "  telvoro-smsd --drains %d: %8.0f numbers/s to the SMSC (%.1f s; every row settled "
        "after %.1f s, %s)\n"
        "      CPU a number: telvoro-smsd %.0f us, PostgreSQL %.0f us, Kannel %.0f us\n",
        drains, a.numbers / r.handed, r.handed, r.settled, last, 1e6 * r.smsdCpu / a.numbers,
        1e6 * r.postgresCpu / a.numbers, 1e6 * r.kannelCpu / a.numbers);
    if (r.relayed)
        std::printf("      reports stored (%zu, arrival to answer): p50 %.1f ms, p99 %.1f ms, max "
                    "%.0f ms\n",
                    r.reportMs.size(), Percentile(r.reportMs, 0.50), Percentile(r.reportMs, 0.99),
                    Percentile(r.reportMs, 1));
    else
        std::printf("      reports stored: absent (no relay)\n");
    std::printf("      resident memory after each batch:");
    for (double mb : r.rssMb)
        std::printf(" %.1f MB", mb);
    std::printf(" (peak %.1f MB)\n", r.peakMb);
    if (a.stop > 0 && r.relayed)
        std::printf("      after a %d s stop: every report owed stored %.1f s after the restart "
                    "(%zu reports, p99 %.0f ms); peak memory %.1f MB\n",
                    a.stop, r.burstSettled, r.burstMs.size(), Percentile(r.burstMs, 0.99),
                    r.burstPeakMb);
    else if (a.stop > 0)
        std::printf("      after a %d s stop: every report owed stored %.1f s after the restart "
                    "(report times absent, no relay); peak memory %.1f MB\n",
                    a.stop, r.burstSettled, r.burstPeakMb);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const Args a = Parse(argc, argv);
        const SmsdUnderTest tested(a.smsd, TELVORO_BIN_DIR);
        if (a.optOuts > 0 && !tested.AdminHas("optout"))
            throw std::runtime_error("--opt-outs: the queue server in " + tested.Folder() +
                                     " keeps no opt-out list");
        KannelRig::Options options;
        options.maxPendingRequests = a.pending;
        // smsbox keeps retrying the reports owed during a --stop.
        options.httpRequestRetry = std::max(options.httpRequestRetry, a.stop + 30);
        KannelRig rig(options);
        std::printf("%d numbers in %d rows, %s, Kannel with the fake SMSC, %s, %d numbers of "
                    "history\n",
                    a.numbers, a.rows,
                    a.chinese ? "74 Chinese characters (2 UCS-2 parts)" : "1-part ASCII text",
                    a.db.empty() ? "SQLite" : a.db.c_str(), a.history);
        if (!tested.Own())
            std::printf("  the queue server measured: %s (tables by its telvoro-admin init%s%s)\n",
                        tested.Program().c_str(), tested.Missing().empty() ? "" : "; it lacks ",
                        tested.Missing().c_str());
        const double kannelBefore =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 4).PerSecond();
        std::printf("  Kannel's own sendsms, 100 numbers a request, 4 at a time: %8.0f numbers/s\n",
                    kannelBefore);
        const double kannelSerial =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 1).PerSecond();
        std::printf("  Kannel's own sendsms, 100 numbers a request, 1 at a time: %8.0f numbers/s\n",
                    kannelSerial);
        // Rounds of the ceiling and the queue server side by side: a shared
        // machine's load moves both readings of a round alike.
        std::map<int, std::vector<double>> ratios; // by drains
        for (int round = 1; round <= a.rounds; ++round) {
            const KannelRun ceiling = KannelWithReports(rig, a.numbers, 4, a.chinese);
            std::printf("  round %d: Kannel's own sendsms, every report to a bare HTTP receiver: "
                        "%8.0f numbers/s (every report in after %.1f s; Kannel's CPU %.0f us a "
                        "number)\n",
                        round, ceiling.perSecond, ceiling.reportsAfter,
                        1e6 * ceiling.kannelCpu / a.numbers);
            for (int drains : a.drains) {
                const Run r = RunQueueServer(rig, tested, a, drains);
                PrintRun(a, drains, r);
                ratios[drains].push_back(a.numbers / r.handed / ceiling.perSecond);
            }
        }
        const double kannelAfter =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 4).PerSecond();
        std::printf("  Kannel's own sendsms again:                              %8.0f numbers/s\n",
                    kannelAfter);
        for (auto& [drains, list] : ratios) {
            std::printf("  share of the ceiling (Kannel's rate with reports, same round), --drains "
                        "%d:",
                        drains);
            for (double ratio : list)
                std::printf(" %.2f", ratio);
            std::sort(list.begin(), list.end());
            std::printf(" (median %.2f)\n", Percentile(list, 0.5));
        }
        if (a.latency > 0) {
            const std::vector<double> ms = IdleLatency(rig, tested, a);
            std::printf("  idle latency, commit to SMSC (%zu numbers one at a time): p50 %.0f ms, "
                        "p95 %.0f ms, p99 %.0f ms, max %.0f ms\n",
                        ms.size(), Percentile(ms, 0.50), Percentile(ms, 0.95), Percentile(ms, 0.99),
                        Percentile(ms, 1));
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_smsd: " << e.what() << "\n";
        return 1;
    }
}
