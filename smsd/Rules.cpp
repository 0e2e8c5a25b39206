#include "smsd/Rules.h"

#include <QHash>
#include <QStringList>

namespace telvoro::smsd {

bool IsFinal(const QString& s) {
    return s == QLatin1String(status::kDelivered) || s == QLatin1String(status::kUndelivered) ||
           s == QLatin1String(status::kRejected) || s == QLatin1String(status::kInvalid);
}

bool IsRefundable(const QString& s) {
    return s == QLatin1String(status::kUndelivered) || s == QLatin1String(status::kRejected) ||
           s == QLatin1String(status::kInvalid);
}

bool ValidNumber(const QString& phone) {
    const int start = phone.startsWith(QLatin1Char('+')) ? 1 : 0;
    const qsizetype digits = phone.size() - start;
    if (digits < 1 || digits > 20) return false;
    for (qsizetype i = start; i < phone.size(); ++i)
        if (phone[i] < QLatin1Char('0') || phone[i] > QLatin1Char('9')) return false;
    return true;
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

bool FitsGsm7(const QString& text) {
    // GSM 03.38 default alphabet (beyond printable ASCII less the few it lacks)
    // and the extension table's characters.
    static const QString extra =
        QStringLiteral("\n\r £¥èéùìòÇØøÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ¤¡ÄÖÑÜ§¿äöñüà^{}\\[~]|€");
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != '`') continue;
        if (!extra.contains(c)) return false;
    }
    return true;
}

std::optional<QString> StatusOfReport(int type) {
    switch (type) {
    case 1:
        return QString::fromLatin1(status::kDelivered);
    case 2:
        return QString::fromLatin1(status::kUndelivered);
    case 4:
        return QString::fromLatin1(status::kBuffered);
    case 8:
        return QString::fromLatin1(status::kAccepted);
    case 16:
        return QString::fromLatin1(status::kRejected);
    default:
        return std::nullopt;
    }
}

} // namespace telvoro::smsd
