#include "core/SendJob.h"

#include "core/Error.h"
#include "core/GbkTexts.h"
#include "core/Price.h"
#include "core/TextRules.h"

#include <charconv>
#include <exception>
#include <limits>

namespace telvoro {

bool GetYuE(ServerGateway& server, SendDisplay& display, SendHost& host) {
    const std::optional<std::string> credit = server.QueryCredit(display.AccountNumber());
    if (!credit) {
        display.ShowNotice(gbk::kMsgNotRegistered, gbk::kCaptionNotice);
        host.RequestClose();
        return false;
    }
    display.SetDisplayedBalance(*credit);
    return true;
}

std::string PrepareNumber(const std::string& phone) {
    std::string number = GetOkTel(Trim(phone));
    const std::size_t keep = (!number.empty() && number.front() == '0') ? 12 : 11;
    if (number.size() > keep) number.resize(keep);
    return number;
}

bool IsPhoneNumber(std::string_view text) {
    const std::size_t most = (!text.empty() && text.front() == '0') ? 12 : 11;
    return !text.empty() && text.size() <= most && IsNumber(text);
}

std::string JoinNumbers(const std::vector<std::string>& numbers, std::size_t first,
                        std::size_t count) {
    std::string list;
    for (std::size_t i = first; i < first + count; ++i) {
        if (i != first) list += ';';
        list += numbers[i];
    }
    return list;
}

namespace {
// Error texts are UTF-8: bytes outside ASCII are shown as escapes.
std::string Printable(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}
} // namespace

std::int32_t ParseWholeNumber(const std::string& text) {
    std::int32_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    // from_chars takes no plus sign; one plus sign, then the digits.
    if (begin != end && *begin == '+' && begin + 1 != end && begin[1] != '-') ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (text.empty() || ec != std::errc() || ptr != end || begin == end)
        throw Error("'" + Printable(text) + "' is not a valid integer value");
    return value;
}

namespace {

// Clears the running flag however the job ends.
struct RunningFlag {
    bool& flag;
    explicit RunningFlag(bool& f) : flag(f) { flag = true; }
    ~RunningFlag() { flag = false; }
};

// The cause of the exception being handled.
std::string CurrentCause() {
    try {
        throw;
    } catch (const std::exception& e) {
        return CauseOf(e);
    } catch (...) {
        return "unknown failure";
    }
}

} // namespace

// One batch: its row and its deduction in one transaction. A batch that
// cannot be paid for in full, or fails anywhere before its commit, is rolled
// back, so no row is ever queued without its payment and no transaction is
// left open on the connection. A failed commit is never taken for a rollback:
// the row's ID tells whether the server kept the batch.
bool SendJobRunner::WriteBatch(ServerGateway& server, SendDisplay& display,
                               const std::string& account, const std::string& memo,
                               std::size_t first, std::size_t count, std::int32_t price) {
    report_.batches.push_back({first, count, 0, BatchState::NotQueued, false, {}});
    const std::size_t b = report_.batches.size() - 1;
    const auto failed = [&](std::string cause) {
        if (report_.cause.empty()) report_.cause = cause;
        report_.batches[b].cause = std::move(cause);
    };
    try {
        server.BeginTransaction();
    } catch (...) {
        failed(CurrentCause());
        throw;
    }
    std::int64_t id = 0;
    try {
        id = server.InsertSendRow(account, memo, JoinNumbers(report_.selection, first, count));
        report_.batches[b].rowId = id;
        if (server.Deduct(account, price) < 1) {
            failed("the credit no longer covers the batch");
            server.Rollback();
            display.ShowNotice(gbk::kMsgSendError, gbk::kCaptionNotice);
            return false;
        }
        const std::int64_t shown = ParseWholeNumber(display.DisplayedBalance());
        display.SetDisplayedBalance(std::to_string(shown - price));
    } catch (...) {
        failed(CurrentCause());
        server.Rollback(); // a failing rollback replaces the original error
        throw;
    }
    try {
        server.Commit();
    } catch (...) {
        failed(CurrentCause());
        std::exception_ptr rollbackError;
        try {
            server.Rollback();
        } catch (...) {
            rollbackError = std::current_exception();
        }
        BatchReport& batch = report_.batches[b];
        batch.commitFailed = true;
        try {
            batch.state = server.LookUpRow(id) ? BatchState::Queued : BatchState::NotQueued;
        } catch (...) {
            batch.state = BatchState::Unknown;
            batch.cause +=
                "; whether row " + std::to_string(id) + " was queued is unknown: " + CurrentCause();
        }
        if (rollbackError) std::rethrow_exception(rollbackError);
        display.ShowNotice(gbk::kMsgSendError, gbk::kCaptionNotice);
        return false;
    }
    report_.batches[b].state = BatchState::Queued;
    return true;
}

SendOutcome SendJobRunner::Btn_BeginClick(ServerGateway& server, SendDisplay& display,
                                          SendHost& host) {
    if (running_) return SendOutcome::Busy;
    report_ = SendReport{};
    if (display.AccountNumber().size() != kAccountLength) {
        display.ShowNotice(gbk::kMsgInvalidAccount, gbk::kCaptionHint);
        return SendOutcome::Refused;
    }
    RunningFlag flag(running_);
    try {
        return OpenGSMEx(server, display, host);
    } catch (...) {
        if (report_.cause.empty()) report_.cause = CurrentCause();
        throw;
    }
}

SendOutcome SendJobRunner::OpenGSMEx(ServerGateway& server, SendDisplay& display, SendHost& host) {
    // The job is priced for this text and sent for this account: both are
    // taken once, so every batch carries what was priced.
    const std::string account = display.AccountNumber();
    const std::string memo = display.MessageText();

    std::vector<std::string>& selection = report_.selection;
    const std::vector<std::string> phones = host.CheckedPhones();
    for (std::size_t k = 0; k < phones.size(); ++k) {
        std::string number = PrepareNumber(phones[k]);
        if (!number.empty() && !IsPhoneNumber(number)) {
            report_.dropped.push_back(k);
            continue;
        }
        selection.push_back(std::move(number));
        report_.entryOf.push_back(k);
    }
    report_.selected = true;
    bool anyNumber = false;
    for (const std::string& n : selection)
        anyNumber = anyNumber || !n.empty();
    if (!anyNumber) {
        display.ShowNotice(gbk::kMsgNoNumbers, gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    if (!GetYuE(server, display, host)) return SendOutcome::NotRegistered;

    const bool selfCheck = display.SelfCheckOn();
    const std::int64_t required =
        PriceOf(memo, static_cast<std::int64_t>(selection.size()), selfCheck);
    const std::int64_t balance = ParseWholeNumber(display.DisplayedBalance());
    if (required > balance) {
        display.ShowNotice(gbk::kMsgShortfallPrefix + std::to_string(required - balance) +
                               gbk::kMsgShortfallSuffix,
                           gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    if (selfCheck) {
        selection.push_back(display.SelfCheckNumber());
        report_.entryOf.push_back(SendReport::kNoEntry);
    }
    if (selection.size() > kMaxNumbersPerJob) {
        display.ShowNotice(gbk::kMsgTooMany, gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    display.SetProgressPosition(0);
    display.SetProgressMaximum(static_cast<int>(selection.size()));
    std::size_t batchStart = 0;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        const std::size_t inBatch = i + 1 - batchStart;
        if (inBatch == kNumbersPerBatch || i + 1 == selection.size()) {
            const auto price =
                static_cast<std::int32_t>(PriceOf(memo, static_cast<std::int64_t>(inBatch)));
            if (!WriteBatch(server, display, account, memo, batchStart, inBatch, price))
                return SendOutcome::Failed;
            batchStart = i + 1;
        }
        host.YieldStep();
        display.SetProgressPosition(static_cast<int>(i + 1));
    }

    display.ShowNotice(gbk::kMsgSubmitted, gbk::kCaptionNotice);
    host.RequestClose();
    return SendOutcome::Submitted;
}

} // namespace telvoro
