// Numbers per second from the queue to the SMSC through telvoro-smsd, beside
// Kannel's own sendsms driven directly, in the same run and on the same Kannel
// (fake SMSC). The rows are queued first, as the client queues them; the clock
// runs from the queue server's start until the SMSC has every number.
//
//   bench_smsd [--numbers N] [--rows R] [--drains K,...] [--history H]
//              [--db postgresql://HOST:PORT] [--text chinese|ascii] [--latency N]
//              [--opt-outs M]
//
// The text is the client's kind by default: 74 Chinese characters, two UCS-2
// parts a number (each part reaches the SMSC and brings its own reports), or
// a one-part ASCII text. The latency run queues one number at a time on an
// idle queue server and times each from its commit to the SMSC.
// --opt-outs M puts M other numbers on the account's opt-out list first:
// the price of the claim's look-up on the list.
//
// Kannel's own rate is taken before and after the queue server's runs: on a
// shared machine the two readings show how much the load moved meanwhile.

#include "db/Connection.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/KannelRig.h"
#include "tests/support/TempFolder.h"
#include "text/GbkCodec.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
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

namespace {

using Clock = std::chrono::steady_clock;

// The fields of /proc/PID/stat after the command name (the first is the
// state, field 3); none when the process is gone.
std::vector<std::string> StatFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(stat.substr(close + 2));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

// CPU seconds (user + system, fields 14 and 15) a process has used so far; 0 when it is gone.
double CpuSeconds(pid_t pid) {
    const std::vector<std::string> f = StatFields(pid);
    if (f.size() < 13) return 0;
    return static_cast<double>(std::stoull(f[11]) + std::stoull(f[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The parent process ID of a process (field 4); 0 when it is gone.
pid_t ParentOf(pid_t pid) {
    const std::vector<std::string> f = StatFields(pid);
    return f.size() < 2 ? 0 : static_cast<pid_t>(std::stoi(f[1]));
}

// The local PostgreSQL server the bench drives (its postmaster), or 0.
pid_t g_postmaster = 0;

// CPU seconds by process of that server and its children (backends come and go).
std::map<pid_t, double> PostgresCpu() {
    std::map<pid_t, double> cpu;
    if (g_postmaster <= 0) return cpu;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stoi(name));
        if (pid == g_postmaster || ParentOf(pid) == g_postmaster) cpu[pid] = CpuSeconds(pid);
    }
    return cpu;
}

double Since(const std::map<pid_t, double>& before) {
    double sum = 0;
    for (const auto& [pid, seconds] : PostgresCpu()) {
        const auto it = before.find(pid);
        sum += seconds - (it == before.end() ? 0 : it->second);
    }
    return sum;
}

// Kannel's CPU so far: bearerbox and smsbox.
double KannelCpu(const KannelRig& rig) {
    double sum = 0;
    for (pid_t pid : rig.KannelPids())
        if (pid > 0) sum += CpuSeconds(pid);
    return sum;
}

struct Args {
    int numbers = 20000, rows = 200;
    int history = 0; // numbers sent before: half settled, half still waiting for a report
    std::vector<int> drains{1, 4};
    std::string db;   // empty: an SQLite file in a temp folder per run
    int pending = -1; // smsbox's max-pending-requests; -1: Kannel's default
    bool chinese = true;
    int latency = 40; // numbers queued one at a time on an idle server
    int optOuts = 0;  // numbers on the account's opt-out list, none of them queued
};

// What each number carries, and how many parts it makes at the SMSC.
QString BenchText(bool chinese) {
    // 74 characters: more than the 70 of one UCS-2 part.
    return chinese ? QString::fromUtf8(
                         "尊敬的客户，您好！本周六起营业厅延长服务时间至晚上九点，欢迎"
                         "光临。如有疑问请致电客服热线，我们将竭诚为您服务。祝您生活愉快，"
                         "万事如意！朗岳软件敬上。")
                   : QStringLiteral("Your code is 4711");
}
// The text as the queue server hands it to Kannel: UCS-2 as UTF-16BE bytes.
QString KannelText(bool chinese) {
    const QString text = BenchText(chinese);
    if (!chinese)
        return "&coding=0&charset=UTF-8&text=" + QString::fromLatin1(QUrl::toPercentEncoding(text));
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() >> 8));
        bytes.append(char(c.unicode() & 0xFF));
    }
    return "&coding=2&charset=UTF-16BE&text=" + QString::fromLatin1(bytes.toPercentEncoding());
}
int PartsOf(bool chinese) {
    return chinese ? 2 : 1;
}

Args Parse(int argc, char** argv) {
    Args a;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--numbers")
            a.numbers = std::stoi(value);
        else if (key == "--rows")
            a.rows = std::stoi(value);
        else if (key == "--history")
            a.history = std::stoi(value);
        else if (key == "--db")
            a.db = value;
        else if (key == "--opt-outs")
            a.optOuts = std::stoi(value);
        else if (key == "--pending")
            a.pending = std::stoi(value);
        else if (key == "--text")
            a.chinese = value != "ascii";
        else if (key == "--latency")
            a.latency = std::stoi(value);
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

// What a queue holds after a while: rows of 100 numbers under negative IDs
// (never claimed), every other row settled, the others handed over and still
// waiting for their reports. Whatever the drain asks must not walk all of it.
void FillHistory(Connection& c, int numbers) {
    if (numbers <= 0) return;
    const bool sqlite = c.engine() == Engine::Sqlite;
    const QString series =
        sqlite ? QStringLiteral("with recursive s(g) as (select 0 union all select g+1 from s "
                                "where g < %1) ")
                     .arg(numbers - 1)
               : QString();
    const QString from =
        sqlite ? QStringLiteral(" from s")
               : QStringLiteral(" from generate_series(0, %1) as s(g)").arg(numbers - 1);
    const QString now = QString::number(QDateTime::currentMSecsSinceEpoch());
    QSqlQuery q(c.database());
    const QStringList statements = {
        series +
            QStringLiteral("insert into SendTemp (ID, SendNo, SendMemo, list, state) select "
                           "-(g+1), 'history', 'old', '', case when g % 2 = 0 then '3' else "
                           "'2' end") +
            from + QStringLiteral(" where g < %1").arg((numbers + 99) / 100),
        series +
            QStringLiteral("insert into SendDetail (SendTempID, Seq, Round, Phone, Status, "
                           "SubmitAt, UpdatedAt) select -(g/100+1), g % 100, 0, '1370' || "
                           "g, case when (g/100) % 2 = 0 then 'delivered' else 'submitted' "
                           "end, ") +
            now + QStringLiteral(", ") + now + from,
        QStringLiteral("analyze")};
    for (const QString& sql : statements)
        if (!q.exec(sql))
            throw std::runtime_error("history: " + q.lastError().text().toStdString());
}

// `numbers` numbers on the account's opt-out list, none of them among those queued.
void FillOptOuts(Connection& c, int numbers) {
    if (numbers <= 0) return;
    const bool sqlite = c.engine() == Engine::Sqlite;
    const QString sql =
        (sqlite ? QStringLiteral("with recursive s(g) as (select 0 union all select g+1 from s "
                                 "where g < %1) insert into OptOut (Login, Phone, AddedAt) "
                                 "select '13800138000', '150' || (10000000 + g), 0 from s")
                : QStringLiteral("insert into OptOut (Login, Phone, AddedAt) select "
                                 "'13800138000', '150' || (10000000 + g), 0 from "
                                 "generate_series(0, %1) as s(g)"))
            .arg(numbers - 1);
    QSqlQuery q(c.database());
    for (const QString& s : {QStringLiteral("delete from OptOut"), sql, QStringLiteral("analyze")})
        if (!q.exec(s)) throw std::runtime_error("opt-outs: " + q.lastError().text().toStdString());
}

// A fresh queue of `numbers` numbers in `rows` rows, queued as the client does.
void Queue(const std::string& text, int numbers, int rows, long long first, int history,
           bool chinese, int optOuts) {
    const DataSource source = ParseDataSource(text, ProgramFolder());
    {
        Connection c(QStringLiteral("bench-init"));
        c.Open(source, Create::Yes);
        ServerUpkeep(c).CreateTables();
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

// Kannel's own sendsms as MeasureSendsms drives it, but asking for every
// report (dlr-mask 31) to a bare HTTP receiver: Kannel's work for the reports
// the queue server asks for, without the queue server.
struct KannelRun {
    double perSecond = 0, reportsAfter = 0; // numbers/s to the SMSC; seconds until every report
    double kannelCpu = 0;                   // Kannel's CPU seconds for the run
};
KannelRun KannelWithReports(const KannelRig& rig, int numbers, int parallel, bool chinese) {
    telvoro::test::HttpRecorder receiver;
    const size_t before = rig.ReceivedParts();
    const QString base =
        rig.SendsmsUrl() + "?username=" + rig.User() + "&password=" + rig.Password() +
        "&from=10690000" + KannelText(chinese) + "&dlr-mask=31&dlr-url=" +
        QString::fromLatin1(QUrl::toPercentEncoding(receiver.BaseUrl() + "/dlr?p=%p&t=%d")) +
        "&to=";
    std::atomic<int> next{0};
    const double cpuBefore = KannelCpu(rig);
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < parallel; ++w)
        workers.emplace_back([&] {
            for (int first; (first = next.fetch_add(100)) < numbers;) {
                QStringList to;
                for (int i = first; i < std::min(numbers, first + 100); ++i)
                    to << QString::number(13700000000LL + i);
                while (telvoro::test::HttpGet(base + to.join("+")).status == 503)
                    std::this_thread::sleep_for(50ms);
            }
        });
    for (std::thread& t : workers)
        t.join();
    const size_t parts = static_cast<size_t>(numbers) * PartsOf(chinese);
    while (rig.ReceivedParts() - before < parts) {
        if (Clock::now() > start + 120s)
            throw std::runtime_error(
                "Kannel lost numbers: " + std::to_string(rig.ReceivedParts() - before) + " of " +
                std::to_string(parts) + " parts");
        std::this_thread::sleep_for(20ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Two reports (8 and 1) a number with the fake SMSC, whatever its parts.
    const auto got = receiver.WaitForRequests(2 * static_cast<size_t>(numbers), 300s);
    if (got.size() < 2 * static_cast<size_t>(numbers))
        throw std::runtime_error("Kannel's reports: " + std::to_string(got.size()) + " of " +
                                 std::to_string(2 * numbers));
    return {numbers / seconds, std::chrono::duration<double>(Clock::now() - start).count(),
            KannelCpu(rig) - cpuBefore};
}

struct Run {
    double handed = 0;                                  // seconds until the SMSC had every number
    double settled = 0;                                 // seconds until every row was in "3"
    double smsdCpu = 0, kannelCpu = 0, postgresCpu = 0; // CPU seconds until every row settled
};

Run RunQueueServer(const KannelRig& rig, const std::string& db, const Args& a, int drains) {
    TempFolder folder;
    const std::string text = db.empty() ? "sqlite:" + (folder / "Orvanta.db").string() : db;
    static long long first = 13900000000LL;
    Queue(text, a.numbers, a.rows, first, a.history, a.chinese, a.optOuts);
    first += a.numbers;
    const size_t before = rig.ReceivedParts();
    ChildProcess smsd;
    const double kannelBefore = KannelCpu(rig);
    const std::map<pid_t, double> postgresBefore = PostgresCpu();
    const auto start = Clock::now();
    smsd.Start(TELVORO_BIN_DIR "/telvoro-smsd",
               {"--db", text, "--kannel", rig.SendsmsUrl().toStdString(), "--kannel-user",
                rig.User().toStdString(), "--kannel-password-file", rig.PasswordFile().string(),
                "--listen", "127.0.0.1:" + std::to_string(telvoro::test::FreePort()), "--worker",
                "bench", "--drains", std::to_string(drains), "--sender", "10690000"},
               folder / "smsd.log");
    Run run;
    const auto limit = start + 600s;
    const size_t parts = static_cast<size_t>(a.numbers) * PartsOf(a.chinese);
    while (rig.ReceivedParts() - before < parts) {
        if (Clock::now() > limit || !smsd.Running())
            throw std::runtime_error("the SMSC got " +
                                     std::to_string(rig.ReceivedParts() - before) + " of " +
                                     std::to_string(a.numbers));
        std::this_thread::sleep_for(20ms);
    }
    run.handed = std::chrono::duration<double>(Clock::now() - start).count();
    const DataSource source = ParseDataSource(text, ProgramFolder());
    Connection look(QStringLiteral("bench-look"));
    look.Open(source);
    for (;;) {
        QSqlQuery q(look.database());
        if (q.exec(QStringLiteral("select count(*) from SendTemp where state<>'3' and ID>0")) &&
            q.next() && q.value(0).toInt() == 0)
            break;
        if (Clock::now() > limit) throw std::runtime_error("rows not settled");
        std::this_thread::sleep_for(50ms);
    }
    run.settled = std::chrono::duration<double>(Clock::now() - start).count();
    run.smsdCpu = CpuSeconds(smsd.Pid());
    run.kannelCpu = KannelCpu(rig) - kannelBefore;
    run.postgresCpu = Since(postgresBefore);
    smsd.Stop(30s);
    return run;
}

// One number at a time on an idle queue server: from the commit of its row
// to the SMSC, `samples` times, a random pause apart. Milliseconds, sorted.
std::vector<double> IdleLatency(const KannelRig& rig, const std::string& db, const Args& a) {
    TempFolder folder;
    const std::string text = db.empty() ? "sqlite:" + (folder / "Orvanta.db").string() : db;
    Queue(text, 1, 1, 13600000000LL, 0, a.chinese, 0); // the tables, and one row to start with
    ChildProcess smsd;
    smsd.Start(TELVORO_BIN_DIR "/telvoro-smsd",
               {"--db", text, "--kannel", rig.SendsmsUrl().toStdString(), "--kannel-user",
                rig.User().toStdString(), "--kannel-password-file", rig.PasswordFile().string(),
                "--listen", "127.0.0.1:" + std::to_string(telvoro::test::FreePort()), "--worker",
                "bench", "--drains", "1", "--sender", "10690000"},
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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const Args a = Parse(argc, argv);
        KannelRig::Options options;
        options.maxPendingRequests = a.pending;
        KannelRig rig(options);
        std::printf("%d numbers in %d rows, %s, Kannel with the fake SMSC, %s, %d numbers of "
                    "history\n",
                    a.numbers, a.rows,
                    a.chinese ? "74 Chinese characters (2 UCS-2 parts)" : "1-part ASCII text",
                    a.db.empty() ? "SQLite" : a.db.c_str(), a.history);
        const double kannelBefore =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 4).PerSecond();
        std::printf("  Kannel's own sendsms, 100 numbers a request, 4 at a time: %8.0f numbers/s\n",
                    kannelBefore);
        const double kannelSerial =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 1).PerSecond();
        std::printf("  Kannel's own sendsms, 100 numbers a request, 1 at a time: %8.0f numbers/s\n",
                    kannelSerial);
        const KannelRun withReports = KannelWithReports(rig, a.numbers, 4, a.chinese);
        const double kannelReports = withReports.perSecond;
        std::printf("  the same, every report to a bare HTTP receiver:          %8.0f numbers/s "
                    "(every report in after %.1f s; Kannel's CPU %.0f us a number)\n",
                    kannelReports, withReports.reportsAfter,
                    1e6 * withReports.kannelCpu / a.numbers);
        std::vector<std::pair<int, Run>> runs;
        for (int drains : a.drains) {
            const Run r = RunQueueServer(rig, a.db, a, drains);
            runs.emplace_back(drains, r);
            std::printf(
                "  telvoro-smsd --drains %d: %8.0f numbers/s to the SMSC (%.1f s; every row "
                "settled after %.1f s)\n"
                "      CPU a number: telvoro-smsd %.0f us, PostgreSQL %.0f us, Kannel %.0f us\n",
                drains, a.numbers / r.handed, r.handed, r.settled, 1e6 * r.smsdCpu / a.numbers,
                1e6 * r.postgresCpu / a.numbers, 1e6 * r.kannelCpu / a.numbers);
        }
        const double kannelAfter =
            telvoro::test::MeasureSendsms(rig, a.numbers, 100, 4).PerSecond();
        std::printf("  Kannel's own sendsms again:                              %8.0f numbers/s\n",
                    kannelAfter);
        const double kannel = (kannelBefore + kannelAfter) / 2;
        for (const auto& [drains, r] : runs) {
            const double rate = a.numbers / r.handed;
            std::printf("  ratio, --drains %d: %.2f of Kannel's own rate (mean of both readings), "
                        "%.2f of Kannel's rate with reports\n",
                        drains, rate / kannel, rate / kannelReports);
        }
        if (a.latency > 0) {
            const std::vector<double> ms = IdleLatency(rig, a.db, a);
            const auto at = [&](double q) {
                return ms[std::min(ms.size() - 1, size_t(q * ms.size()))];
            };
            std::printf("  idle latency, commit to SMSC (%zu numbers one at a time): p50 %.0f ms, "
                        "p95 %.0f ms, p99 %.0f ms, max %.0f ms\n",
                        ms.size(), at(0.50), at(0.95), at(0.99), ms.back());
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bench_smsd: " << e.what() << "\n";
        return 1;
    }
}
