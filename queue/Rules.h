#pragma once
// The queue's pure rules: a row's list split into numbers by position, and
// the status a delivery report type gives.

#include "queue/States.h"

#include <QString>
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

// The status a Kannel report type (dlr-mask bit) gives; nothing for an unknown type.
std::optional<NumberStatus> StatusOfReport(int type);

} // namespace telvoro::queue
