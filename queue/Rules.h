#pragma once
// The queue's pure rules: a row's list split into numbers by position, and
// the status a delivery report type gives.

#include "queue/States.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace telvoro::queue {

struct Element {
    int seq = 0;   // 1-based position in the list
    int round = 0; // how many times this number came before it in the list
    QString phone;
    bool valid = false;
};

// The list's elements by position, ";"-separated as the client joins them; a
// duplicate number and an empty element stay elements of their own.
std::vector<Element> SplitList(const QString& list);

// A number to send: the send job's rule (IsPhoneNumber), 11 digits or 12
// beginning with "0"; anything else in a list is invalid and never sent.
bool ValidNumber(const QString& phone);

// One phone's form on the opt-out lists and in the daily counts: a mainland
// mobile number without its country code (+86, 0086, 86), so a reply from
// "+8613900000005" stops the sending to "13900000005"; any other number as given.
QString ListedNumber(const QString& phone);

// Whether an inbound text, trimmed and upper-cased, is one of `words` (a
// message that only contains one among others is no refusal).
bool IsRefusal(const QString& text, const QStringList& words);
// T, TD, N, R, 退订, 取消, 拒收, STOP, UNSUBSCRIBE.
QStringList DefaultRefusalWords();

// The account an inbound message to `receiver` belongs to: the one whose own
// sender number is `receiver` or begins it (an extension), the longest such;
// empty for none. `senders`: login, sender.
QString AccountOfReceiver(const QString& receiver,
                          const std::vector<std::pair<QString, QString>>& senders);

// The status a Kannel report type (dlr-mask bit) gives; nothing for an unknown type.
std::optional<NumberStatus> StatusOfReport(int type);

} // namespace telvoro::queue
