#pragma once
// The ceiling the queue server is measured against: Kannel's own sendsms,
// driven directly, asking for every report as the queue server does, with the
// text the client sends.

#include "bench/ProcessStats.h"
#include "tests/support/KannelRig.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace telvoro::bench {

using telvoro::test::KannelRig;
using namespace std::chrono_literals;

// Kannel's CPU so far: bearerbox and smsbox.
inline double KannelCpu(const KannelRig& rig) {
    double sum = 0;
    for (pid_t pid : rig.KannelPids())
        if (pid > 0) sum += CpuSeconds(pid);
    return sum;
}

// What each number carries, and how many parts it makes at the SMSC.
inline QString BenchText(bool chinese) {
    // 74 characters: more than the 70 of one UCS-2 part.
    return chinese ? QString::fromUtf8(
                         "尊敬的客户，您好！本周六起营业厅延长服务时间至晚上九点，欢迎"
                         "光临。如有疑问请致电客服热线，我们将竭诚为您服务。祝您生活愉快，"
                         "万事如意！朗岳软件敬上。")
                   : QStringLiteral("Your code is 4711");
}
// The text as the queue server hands it to Kannel: UCS-2 as UTF-16BE bytes.
inline QString KannelText(bool chinese) {
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
inline int PartsOf(bool chinese) {
    return chinese ? 2 : 1;
}

// Kannel's own sendsms as MeasureSendsms drives it, but asking for every
// report (dlr-mask 31) to a bare HTTP receiver: Kannel's work for the reports
// the queue server asks for, without the queue server.
struct KannelRun {
    double perSecond = 0, reportsAfter = 0; // numbers/s to the SMSC; seconds until every report
    double kannelCpu = 0;                   // Kannel's CPU seconds for the run
};
inline KannelRun KannelWithReports(const KannelRig& rig, int numbers, int parallel, bool chinese) {
    telvoro::test::HttpRecorder receiver;
    const size_t before = rig.ReceivedParts();
    const QString base =
        rig.SendsmsUrl() + "?username=" + rig.User() + "&password=" + rig.Password() +
        "&from=10690000" + KannelText(chinese) + "&dlr-mask=31&dlr-url=" +
        QString::fromLatin1(QUrl::toPercentEncoding(receiver.BaseUrl() + "/dlr?p=%p&t=%d")) +
        "&to=";
    std::atomic<int> next{0};
    const double cpuBefore = KannelCpu(rig);
    const auto start = std::chrono::steady_clock::now();
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
        if (std::chrono::steady_clock::now() > start + 120s)
            throw std::runtime_error(
                "Kannel lost numbers: " + std::to_string(rig.ReceivedParts() - before) + " of " +
                std::to_string(parts) + " parts");
        std::this_thread::sleep_for(20ms);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Two reports (8 and 1) a number with the fake SMSC, whatever its parts.
    const auto got = receiver.WaitForRequests(2 * static_cast<size_t>(numbers), 300s);
    if (got.size() < 2 * static_cast<size_t>(numbers))
        throw std::runtime_error("Kannel's reports: " + std::to_string(got.size()) + " of " +
                                 std::to_string(2 * numbers));
    return {numbers / seconds,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            KannelCpu(rig) - cpuBefore};
}

} // namespace telvoro::bench
