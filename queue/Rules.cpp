#include "queue/Rules.h"

#include "core/SendJob.h"

#include <QHash>
#include <QStringList>

namespace telvoro::queue {

bool ValidNumber(const QString& phone) {
    // The rule the send job queues by, so the server sends what the client
    // and telvoro-admin send would keep, and nothing they would drop.
    return phone.size() <= 12 && IsPhoneNumber(phone.toLatin1().toStdString());
}

std::vector<Element> SplitList(const QString& list) {
    std::vector<Element> elements;
    QHash<QString, int> seen;
    int seq = 0;
    for (const QString& part : list.split(QLatin1Char(';'))) {
        Element e;
        e.seq = ++seq;
        e.phone = part;
        e.valid = ValidNumber(part);
        e.round = e.valid ? seen[part]++ : 0;
        elements.push_back(e);
    }
    return elements;
}

std::optional<NumberStatus> StatusOfReport(int type) {
    switch (type) {
    case 1:
        return NumberStatus::Delivered;
    case 2:
        return NumberStatus::Undelivered;
    case 4:
        return NumberStatus::Buffered;
    case 8:
        return NumberStatus::Accepted;
    case 16:
        return NumberStatus::Rejected;
    default:
        return std::nullopt;
    }
}

} // namespace telvoro::queue
