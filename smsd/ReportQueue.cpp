#include "smsd/ReportQueue.h"

#include <limits>

namespace telvoro::smsd {

std::optional<Report> ParseReport(const QUrlQuery& q) {
    bool okId = false, okRound = false, okType = false;
    Report r;
    r.id = q.queryItemValue(QStringLiteral("r")).toLongLong(&okId);
    r.round = q.queryItemValue(QStringLiteral("g")).toInt(&okRound);
    r.type = q.queryItemValue(QStringLiteral("t")).toInt(&okType);
    r.secret = q.queryItemValue(QStringLiteral("k"));
    r.phone = q.queryItemValue(QStringLiteral("p"), QUrl::FullyDecoded);
    // smsbox form-encodes the SMSC's text (a space as "+", a plus as "%2B").
    QString text = q.queryItemValue(QStringLiteral("a"), QUrl::FullyEncoded);
    text.replace(QLatin1Char('+'), QLatin1Char(' '));
    r.text = QUrl::fromPercentEncoding(text.toUtf8());
    // Row IDs are 32-bit in every schema; a control character is no SMSC's text
    // and a NUL is refused by PostgreSQL.
    for (QString* field : {&r.phone, &r.text})
        for (QChar& c : *field)
            if (c.unicode() < 0x20) c = QLatin1Char(' ');
    if (!okId || !okRound || !okType || r.id <= 0 || r.id > std::numeric_limits<qint32>::max() ||
        r.round < 0 || r.secret.isEmpty() || r.secret.size() > 64 || r.phone.isEmpty() ||
        r.phone.size() > 40)
        return std::nullopt;
    return r;
}

void ReportQueue::Push(Report report) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(report));
        // The writer waits for the first report, then for a full batch.
        wake = items_.size() == 1 || items_.size() == wanted_;
    }
    if (wake) ready_.notify_one();
}

std::vector<Report> ReportQueue::Take(std::size_t most, std::chrono::milliseconds wait,
                                      std::chrono::milliseconds gather) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, wait, [&] { return !items_.empty() || woken_; });
    if (!items_.empty() && !woken_) {
        // Gathering stops once reports stop coming: when Kannel has sent all
        // it may send before an answer, waiting longer only delays the answers.
        wanted_ = most;
        const auto until = std::chrono::steady_clock::now() + gather;
        for (std::size_t had = 0; items_.size() > had && items_.size() < most && !woken_;) {
            had = items_.size();
            const auto now = std::chrono::steady_clock::now();
            if (now >= until) break;
            ready_.wait_for(lock,
                            std::min<std::chrono::steady_clock::duration>(kQuiet, until - now),
                            [&] { return items_.size() >= most || woken_; });
        }
        wanted_ = 1;
    }
    woken_ = false;
    const auto n = static_cast<long>(std::min(most, items_.size()));
    std::vector<Report> batch(std::make_move_iterator(items_.begin()),
                              std::make_move_iterator(items_.begin() + n));
    items_.erase(items_.begin(), items_.begin() + n);
    return batch;
}

void ReportQueue::Return(std::vector<Report> batch) {
    std::lock_guard lock(mutex_);
    items_.insert(items_.begin(), std::make_move_iterator(batch.begin()),
                  std::make_move_iterator(batch.end()));
}

std::size_t ReportQueue::Size() {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void ReportQueue::Wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_all();
}

void ReportQueue::Know(qint64 id, const QString& secret) {
    std::lock_guard lock(mutex_);
    // Only the rows in hand need an answer at the door; the writer checks every report.
    if (secrets_.size() > 10000) secrets_.clear();
    secrets_.insert(id, secret);
}

bool ReportQueue::Plausible(qint64 id, const QString& secret) {
    std::lock_guard lock(mutex_);
    auto it = secrets_.constFind(id);
    return it == secrets_.constEnd() || *it == secret;
}

} // namespace telvoro::smsd
