#include "queue/States.h"

namespace telvoro::queue {

const char* SqlText(RowState state) {
    switch (state) {
    case RowState::New:
        return "0";
    case RowState::Claimed:
        return "1";
    case RowState::Handed:
        return "2";
    case RowState::Settled:
        return "3";
    }
    return "";
}

const char* SqlText(NumberStatus status) {
    switch (status) {
    case NumberStatus::Waiting:
        return "waiting";
    case NumberStatus::Submitting:
        return "submitting";
    case NumberStatus::Submitted:
        return "submitted";
    case NumberStatus::Accepted:
        return "accepted";
    case NumberStatus::Buffered:
        return "buffered";
    case NumberStatus::Delivered:
        return "delivered";
    case NumberStatus::Undelivered:
        return "undelivered";
    case NumberStatus::Rejected:
        return "rejected";
    case NumberStatus::Invalid:
        return "invalid";
    case NumberStatus::Unknown:
        return "unknown";
    case NumberStatus::OptedOut:
        return "opted-out";
    case NumberStatus::Capped:
        return "capped";
    case NumberStatus::Checking:
        return "checking";
    }
    return "";
}

std::optional<NumberStatus> NumberStatusNamed(QStringView text) {
    for (int i = 0; i <= static_cast<int>(NumberStatus::Checking); ++i) {
        const auto status = static_cast<NumberStatus>(i);
        if (text == QLatin1String(SqlText(status))) return status;
    }
    return std::nullopt;
}

bool IsFinal(NumberStatus status) {
    return status == NumberStatus::Delivered || status == NumberStatus::Undelivered ||
           status == NumberStatus::Rejected || status == NumberStatus::Invalid ||
           status == NumberStatus::OptedOut || status == NumberStatus::Capped;
}

} // namespace telvoro::queue
