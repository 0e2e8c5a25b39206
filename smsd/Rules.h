#pragma once
// The queue server's pure rules: a row's list split into numbers by position,
// the statuses a number goes through, the delivery report types, and the
// choice between GSM-7 and UCS-2.

#include <QString>
#include <optional>
#include <vector>

namespace telvoro::smsd {

// A number's status in SendDetail, by its stored word.
namespace status {
inline constexpr const char* kWaiting = "waiting";         // not yet handed over
inline constexpr const char* kSubmitting = "submitting";   // committed before the request
inline constexpr const char* kSubmitted = "submitted";     // Kannel took it
inline constexpr const char* kAccepted = "accepted";       // the SMSC took it (report 8)
inline constexpr const char* kBuffered = "buffered";       // the SMSC holds it (report 4)
inline constexpr const char* kDelivered = "delivered";     // final (report 1)
inline constexpr const char* kUndelivered = "undelivered"; // final (report 2)
inline constexpr const char* kRejected = "rejected";       // final: Kannel or the SMSC refused it
inline constexpr const char* kInvalid = "invalid";         // final: never sent
inline constexpr const char* kUnknown = "unknown"; // no answer to be had; a report may settle it
} // namespace status

// The statuses a later report may still change, as an SQL list.
inline constexpr const char* kSettleableSql =
    "('submitting','submitted','accepted','buffered','unknown')";
// The statuses that keep a row from "3".
inline constexpr const char* kOpenSql =
    "('waiting','submitting','submitted','accepted','buffered')";
// The statuses that keep a row from "2".
inline constexpr const char* kNotHandedSql = "('waiting','submitting')";

bool IsFinal(const QString& status);
bool IsRefundable(const QString& status); // rejected, undelivered, invalid

struct Element {
    int seq = 0;   // 1-based position in the list
    int round = 0; // how many times this number came before it in the list
    QString phone;
    bool valid = false;
};

// The list's elements by position, ";"-separated as the client joins them; a
// duplicate number and an empty element stay elements of their own.
std::vector<Element> SplitList(const QString& list);

// A number Kannel can take: 1 to 20 digits, an optional leading "+".
bool ValidNumber(const QString& phone);

// Whether every character has a form in the GSM 03.38 default alphabet or its
// extension table.
bool FitsGsm7(const QString& text);

// The status a Kannel report type (dlr-mask bit) gives; nothing for an unknown type.
std::optional<QString> StatusOfReport(int type);

} // namespace telvoro::smsd
