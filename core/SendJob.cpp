#include "core/SendJob.h"

#include "core/Error.h"
#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <charconv>
#include <limits>

namespace telvoro {

bool GetYuE(ServerGateway& server, SendWindow& window) {
    const std::optional<std::string> credit = server.QueryCredit(window.AccountNumber());
    if (!credit) {
        window.ShowNotice(gbk::kMsgNotRegistered, gbk::kCaptionNotice);
        window.RequestClose();
        return false;
    }
    window.SetDisplayedBalance(*credit);
    return true;
}

std::string PrepareNumber(const std::string& phone) {
    std::string number = GetOkTel(Trim(phone));
    const std::size_t keep = (!number.empty() && number.front() == '0') ? 12 : 11;
    if (number.size() > keep) number.resize(keep);
    return number;
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

enum class BatchResult { Written, Failed };

// One batch: its row and its deduction in one transaction. A batch that
// cannot be paid for in full, or fails anywhere before its commit, is rolled
// back, so no row is ever queued without its payment and no transaction is
// left open on the connection.
BatchResult WriteBatch(ServerGateway& server, SendWindow& window, const std::string& account,
                       const std::string& memo, const std::string& list, std::int32_t price) {
    server.BeginTransaction();
    try {
        server.InsertSendRow(account, memo, list);
        if (server.Deduct(account, price) < 1) {
            server.Rollback();
            window.ShowNotice(gbk::kMsgSendError, gbk::kCaptionNotice);
            return BatchResult::Failed;
        }
        const std::int64_t shown = ParseWholeNumber(window.DisplayedBalance());
        window.SetDisplayedBalance(std::to_string(shown - price));
    } catch (...) {
        server.Rollback(); // a failing rollback replaces the original error
        throw;
    }
    try {
        server.Commit();
    } catch (...) {
        server.Rollback();
        window.ShowNotice(gbk::kMsgSendError, gbk::kCaptionNotice);
        return BatchResult::Failed;
    }
    return BatchResult::Written;
}

} // namespace

SendOutcome SendJobRunner::Btn_BeginClick(ServerGateway& server, SendWindow& window) {
    if (running_) return SendOutcome::Busy;
    if (window.AccountNumber().size() != kAccountLength) {
        window.ShowNotice(gbk::kMsgInvalidAccount, gbk::kCaptionHint);
        return SendOutcome::Refused;
    }
    RunningFlag flag(running_);
    return OpenGSMEx(server, window);
}

SendOutcome SendJobRunner::OpenGSMEx(ServerGateway& server, SendWindow& window) {
    // The job is priced for this text and sent for this account: both are
    // taken once, so every batch carries what was priced.
    const std::string account = window.AccountNumber();
    const std::string memo = window.MessageText();
    const std::int32_t segments = GetSegCount(GetMsgLen(Trim(memo)));

    std::vector<std::string> selection;
    for (const std::string& phone : window.CheckedPhones()) {
        std::string number = PrepareNumber(phone);
        if (IsNumber(number)) selection.push_back(std::move(number));
    }
    bool anyNumber = false;
    for (const std::string& n : selection)
        anyNumber = anyNumber || !n.empty();
    if (!anyNumber) {
        window.ShowNotice(gbk::kMsgNoNumbers, gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    if (!GetYuE(server, window)) return SendOutcome::NotRegistered;

    const bool selfCheck = window.SelfCheckOn();
    // 64-bit: a long message to many numbers must not wrap around to a small price.
    const std::int64_t count = static_cast<std::int64_t>(selection.size()) + (selfCheck ? 1 : 0);
    const std::int64_t required = static_cast<std::int64_t>(segments) * count;
    const std::int64_t balance = ParseWholeNumber(window.DisplayedBalance());
    if (required > balance) {
        window.ShowNotice(gbk::kMsgShortfallPrefix + std::to_string(required - balance) +
                              gbk::kMsgShortfallSuffix,
                          gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    if (selfCheck) selection.push_back(window.SelfCheckNumber());
    if (selection.size() > kMaxNumbersPerJob) {
        window.ShowNotice(gbk::kMsgTooMany, gbk::kCaptionNotice);
        return SendOutcome::Refused;
    }

    window.SetProgressPosition(0);
    window.SetProgressMaximum(static_cast<int>(selection.size()));
    std::size_t batchStart = 0;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        const std::size_t inBatch = i + 1 - batchStart;
        if (inBatch == kNumbersPerBatch || i + 1 == selection.size()) {
            const std::int32_t price = static_cast<std::int32_t>(inBatch) * segments;
            if (WriteBatch(server, window, account, memo,
                           JoinNumbers(selection, batchStart, inBatch),
                           price) == BatchResult::Failed)
                return SendOutcome::Failed;
            batchStart = i + 1;
        }
        window.YieldStep();
        window.SetProgressPosition(static_cast<int>(i + 1));
    }

    window.ShowNotice(gbk::kMsgSubmitted, gbk::kCaptionNotice);
    window.RequestClose();
    return SendOutcome::Submitted;
}

} // namespace telvoro
