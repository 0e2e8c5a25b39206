#pragma once
// The delivery reports taken by the endpoint and not yet stored, handed from
// the endpoint's thread to the writer's; and the rows' secrets known so far,
// so a forged report is turned away at the door when its row is known.

#include "queue/QueueStore.h"

#include <QHash>
#include <QUrlQuery>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace telvoro::smsd {

using queue::Report;

// The report a dlr-url query carries (r, g, k, p, t, a), or nothing when it is malformed.
std::optional<Report> ParseReport(const QUrlQuery& query);

class ReportQueue {
public:
    void Push(Report report);
    // Waits up to `wait` for reports, then up to `gather` more for the batch
    // to fill up to `most`, and takes it: one commit for many reports.
    std::vector<Report> Take(std::size_t most, std::chrono::milliseconds wait,
                             std::chrono::milliseconds gather = {});
    // Puts a batch that could not be stored back in front.
    void Return(std::vector<Report> batch);
    std::size_t Size();
    void Wake();

    void Know(qint64 id, const QString& secret);
    // False only when the row's secret is known and differs.
    bool Plausible(qint64 id, const QString& secret);

private:
    // No report for this long ends a gather.
    static constexpr std::chrono::milliseconds kQuiet{3};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Report> items_;
    bool woken_ = false;
    std::size_t wanted_ = 1; // how many reports wake the writer
    QHash<qint64, QString> secrets_;
};

} // namespace telvoro::smsd
