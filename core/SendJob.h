#pragma once
// The send job: prices the message, vets the ticked numbers, re-reads the
// credit, refuses what the credit cannot pay for, and queues the job in
// batches of 100 numbers, each row with its credit deduction in one
// transaction. It reaches the server's database and the operator only through
// its ports (ServerGateway, SendDisplay and SendHost), so it runs without
// either, and says what it did in a SendReport.

#include "core/SendReport.h"
#include "core/SendWindow.h"
#include "core/ServerGateway.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telvoro {

// Constants of a send job.
inline constexpr std::size_t kAccountLength = 11;
inline constexpr std::size_t kMaxNumbersPerJob = 4000;
inline constexpr std::size_t kNumbersPerBatch = 100;

// The credit query: shows `CurrSum` in the window, or, when the account has
// no row, says "当前帐户没有注册开通。" and asks the host to close. Returns
// whether the balance was shown. Query failures reach the caller.
bool GetYuE(ServerGateway& server, SendDisplay& display, SendHost& host);

// A phone text as the job sends it: trimmed, normalised, cut to 12 bytes when
// it starts with "0" and to 11 otherwise.
std::string PrepareNumber(const std::string& phone);

// A phone number, as the job queues it and the queue server sends it: 1 to 11
// ASCII digits, 12 when the first is "0". The job keeps a blank line too (it
// is charged) but drops every other text that is not a number.
bool IsPhoneNumber(std::string_view text);

// The whole text of `numbers[first, first+count)` joined by ";".
std::string JoinNumbers(const std::vector<std::string>& numbers, std::size_t first,
                        std::size_t count);

// The displayed balance as a whole number; throws Error when it is not one.
std::int32_t ParseWholeNumber(const std::string& text);

enum class SendOutcome {
    Refused,       // a check refused the job; nothing was written
    Submitted,     // every batch queued; the final notice was shown, close requested
    Failed,        // a batch failed; earlier batches stay queued
    NotRegistered, // the credit query found no account; close requested
    Busy,          // a job was already running; this press was ignored
};

// Runs one send job at a time for one window. A second start while a job
// runs (from a yield step) is refused with `Busy` and changes nothing.
class SendJobRunner {
public:
    // One press of the send button: checks the account number, then runs the
    // job (`OpenGSMEx`). Failures other than those the job turns into notices
    // propagate as exceptions, after any open transaction was rolled back.
    SendOutcome Btn_BeginClick(ServerGateway& server, SendDisplay& display, SendHost& host);
    SendOutcome Btn_BeginClick(ServerGateway& server, SendWindow& window) {
        return Btn_BeginClick(server, window, window);
    }
    bool Running() const { return running_; }
    // The account of the last job started (also when it ended by an
    // exception); a refused second start leaves it alone.
    const SendReport& Report() const { return report_; }

private:
    SendOutcome OpenGSMEx(ServerGateway& server, SendDisplay& display, SendHost& host);
    bool WriteBatch(ServerGateway& server, SendDisplay& display, const std::string& account,
                    const std::string& memo, std::size_t first, std::size_t count,
                    std::int32_t price);
    bool running_ = false;
    SendReport report_;
};

} // namespace telvoro
