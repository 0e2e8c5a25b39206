#pragma once
// A SendTemp row's state and a SendDetail number's status, each named once:
// the enum the code speaks and the text the database stores. The statements
// name them as {Token}s that QueueSql turns into the stored text.

#include <QString>
#include <QStringView>
#include <optional>

namespace telvoro::queue {

// SendTemp.state: the client writes "0"; the queue server moves it on.
enum class RowState {
    New,     // "0": queued by the client
    Claimed, // "1": a worker records and hands over its numbers
    Handed,  // "2": every number handed over (or invalid)
    Settled, // "3": every number has its final status or is unknown
};

// SendDetail.Status.
enum class NumberStatus {
    Waiting,     // not yet handed over
    Submitting,  // committed before the request goes out
    Submitted,   // Kannel took it
    Accepted,    // the SMSC took it (report 8)
    Buffered,    // the SMSC holds it (report 4)
    Delivered,   // final (report 1)
    Undelivered, // final (report 2)
    Rejected,    // final: Kannel or the SMSC refused it
    Invalid,     // final: never sent
    Unknown,     // no answer to be had; a later report may still settle it
    OptedOut,    // final: never sent, the number is on its account's opt-out list
    Capped,      // final: never sent, over the daily cap of its account for that phone
    // Caught "submitting" when its worker died: Kannel's reports, its store
    // and its uptime decide whether it reached Kannel (KannelFacts).
    Checking,
};

const char* SqlText(RowState state);
const char* SqlText(NumberStatus status);
inline QString TextOf(NumberStatus status) {
    return QString::fromLatin1(SqlText(status));
}
std::optional<NumberStatus> NumberStatusNamed(QStringView text);

bool IsFinal(NumberStatus status);

// The groups the statements ask for, by the {Token}s QueueSql gives them.
// Numbers that keep a row from Handed.
inline constexpr NumberStatus kNotHanded[] = {NumberStatus::Waiting, NumberStatus::Submitting};
// Numbers that keep a row from Settled.
inline constexpr NumberStatus kOpen[] = {NumberStatus::Waiting,   NumberStatus::Submitting,
                                         NumberStatus::Submitted, NumberStatus::Accepted,
                                         NumberStatus::Buffered,  NumberStatus::Checking};
// Numbers on their way: any report may still move them.
inline constexpr NumberStatus kOnTheWay[] = {NumberStatus::Submitting, NumberStatus::Submitted,
                                             NumberStatus::Accepted, NumberStatus::Buffered,
                                             NumberStatus::Checking};
// Numbers handed over that wait for their final report (the sweeper's).
// A number still being checked past the validity is swept too.
inline constexpr NumberStatus kAwaitingReport[] = {NumberStatus::Submitted, NumberStatus::Accepted,
                                                   NumberStatus::Buffered, NumberStatus::Checking};
// Numbers a report has moved: their request reached Kannel.
inline constexpr NumberStatus kReported[] = {NumberStatus::Accepted, NumberStatus::Buffered,
                                             NumberStatus::Delivered, NumberStatus::Undelivered,
                                             NumberStatus::Rejected};
// Numbers whose units go back to the account.
inline constexpr NumberStatus kRefundable[] = {NumberStatus::Rejected, NumberStatus::Undelivered,
                                               NumberStatus::Invalid, NumberStatus::OptedOut,
                                               NumberStatus::Capped};
// Numbers held back by a rule: refunded at once, whether or not refunds are on.
inline constexpr NumberStatus kHeldBack[] = {NumberStatus::OptedOut, NumberStatus::Capped};
// The same with --refund-unknown.
inline constexpr NumberStatus kRefundableOrUnknown[] = {
    NumberStatus::Rejected, NumberStatus::Undelivered, NumberStatus::Invalid,
    NumberStatus::OptedOut, NumberStatus::Capped,      NumberStatus::Unknown};

} // namespace telvoro::queue
