// Numbers per second from the queue to the SMS centre: telvoro-smsd draining
// SendTemp through Kannel to its fake SMSC, beside Kannel's own sendsms driven
// directly in the same run, on the same Kannel. Run by hand:
//   build/bin/bench_smsd [NUMBERS]      (PostgreSQL too when TELVORO_PG_HOST/PORT are set)

#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/KannelRig.h"
#include "tests/support/ServerTestSupport.h"
#include "tests/support/TempFolder.h"
#include "text/GbkCodec.h"

#include <QSqlQuery>
#include <QUrl>

#include <atomic>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

using namespace telvoro;
using namespace std::chrono_literals;
using telvoro::test::ChildProcess;
using telvoro::test::KannelRig;

namespace {

// `numbers` unique numbers in rows of 100, queued as the client queues them.
void Queue(const std::string& source, std::size_t numbers, std::size_t from) {
    SqlGateway gw(QStringLiteral("bench-client"));
    gw.Open(telvoro::testing::Source(source));
    for (std::size_t done = 0; done < numbers;) {
        std::string list;
        for (int i = 0; i < 100 && done < numbers; ++i, ++done)
            list += (list.empty() ? "" : ";") + std::to_string(13000000000ULL + from + done);
        gw.BeginTransaction();
        gw.InsertSendRow("13800138000", ToGbk(QStringLiteral("Bench message")), list);
        gw.Commit();
    }
}

// Seconds from telvoro-smsd's start until the SMSC has `numbers` more parts.
double Drain(const KannelRig& rig, const std::string& source, std::size_t numbers, int drains,
             const std::filesystem::path& log) {
    const std::size_t before = rig.ReceivedParts();
    ChildProcess smsd;
    const auto start = std::chrono::steady_clock::now();
    smsd.Start(TELVORO_BIN_DIR "/telvoro-smsd",
               {"--db", source, "--kannel", rig.SendsmsUrl().toStdString(), "--kannel-user",
                rig.User().toStdString(), "--kannel-password-file", rig.PasswordFile().string(),
                "--listen", "127.0.0.1:" + std::to_string(test::FreePort()), "--worker", "bench",
                "--drains", std::to_string(drains)},
               log);
    while (rig.ReceivedParts() < before + numbers &&
           std::chrono::steady_clock::now() - start < 300s)
        std::this_thread::sleep_for(5ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    smsd.Stop(20s);
    return seconds;
}

// Kannel's own sendsms asking for the same reports as telvoro-smsd (dlr-mask=31,
// to a receiver that answers at once): 100 numbers a request, 4 at a time.
double OwnWithReports(const KannelRig& rig, std::size_t numbers, std::size_t from) {
    test::HttpRecorder receiver;
    const std::size_t before = rig.ReceivedParts();
    std::atomic<std::size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (std::size_t first; (first = next.fetch_add(100)) < numbers;) {
                QStringList to;
                for (std::size_t i = first; i < std::min(numbers, first + 100); ++i)
                    to << QString::number(14000000000ULL + from + i);
                const QString url = rig.SendsmsUrl() + "?username=" + rig.User() +
                                    "&password=" + QUrl::toPercentEncoding(rig.Password()) +
                                    "&to=" + QUrl::toPercentEncoding(to.join(' ')) +
                                    "&text=Bench%20message&dlr-mask=31" + "&dlr-url=" +
                                    QUrl::toPercentEncoding(receiver.BaseUrl() + "/dlr?p=%p&t=%d");
                while (test::HttpGet(url).status == 503)
                    std::this_thread::sleep_for(10ms);
            }
        });
    for (std::thread& t : senders)
        t.join();
    while (rig.ReceivedParts() < before + numbers &&
           std::chrono::steady_clock::now() - start < 300s)
        std::this_thread::sleep_for(5ms);
    return numbers /
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    telvoro::testing::EnsureApp();
    const std::size_t numbers = argc > 1 ? std::stoul(argv[1]) : 10000;
    KannelRig rig;
    TempFolder folder;
    const test::SendsmsRate own = test::MeasureSendsms(rig, numbers, 100, 4);
    std::printf("Kannel's own sendsms, 100 numbers a request, 4 at a time: %.0f numbers/s\n",
                own.PerSecond());
    const double withReports = OwnWithReports(rig, numbers, 0);
    std::printf("  the same asking for every report (dlr-mask=31): %.0f numbers/s\n", withReports);
    std::vector<std::pair<std::string, std::string>> sources = {
        {"SQLite", "sqlite:" + (folder / "Orvanta.db").string()}};
    if (telvoro::testing::PostgresConfigured())
        sources.emplace_back("PostgreSQL",
                             telvoro::testing::PostgresText(telvoro::testing::PostgresPort()));
    std::size_t from = numbers;
    for (const auto& [name, source] : sources) {
        Connection c(QStringLiteral("bench-init"));
        c.Open(telvoro::testing::Source(source), Create::Yes);
        ServerUpkeep(c).CreateTables();
        for (int drains : {1, 4}) {
            from += numbers;
            Queue(source, numbers, from);
            const double seconds = Drain(rig, source, numbers, drains, folder / "smsd.log");
            std::printf("telvoro-smsd on %s, %d drain%s: %.0f numbers/s (%.0f%% of Kannel's own, "
                        "%.0f%% of Kannel's own with reports)\n",
                        name.c_str(), drains, drains == 1 ? "" : "s", numbers / seconds,
                        100.0 * numbers / seconds / own.PerSecond(),
                        100.0 * numbers / seconds / withReports);
        }
    }
    return 0;
}
