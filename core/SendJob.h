#pragma once
// The send job: prices the message, vets the ticked numbers, re-reads the
// credit, refuses what the credit cannot pay for, and queues the job in
// batches of 100 numbers, each row with its credit deduction in one
// transaction. It reaches the server's database and the operator only through
// the two interfaces below, so it runs without either.

#include "core/Error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace telvoro {

// A failure of the server's database. `what()` says what failed and why;
// `cause()` is the engine's own first line (or what the client saw instead,
// such as a time limit that ran out), for the person who can act on it.
class ServerError : public Error {
public:
    ServerError(const std::string& text, std::string cause)
        : Error(text), cause_(std::move(cause)) {}
    const std::string& cause() const { return cause_; }

private:
    std::string cause_;
};

// A commit whose outcome the client cannot know from the call itself: the
// connection broke or the time limit ran out while the server was committing.
class CommitUncertain : public ServerError {
public:
    using ServerError::ServerError;
};

// The engine's first line when `e` is a ServerError, else `e.what()`.
std::string CauseOf(const std::exception& e);

// The SMS server's database as the send job and the credit query use it.
// Texts are GBK; every failure is an exception (telvoro::Error).
class ServerGateway {
public:
    virtual ~ServerGateway() = default;
    // `CurrSum` of the first `Users` row whose login is `login`, as text;
    // nothing when the account has no row.
    virtual std::optional<std::string> QueryCredit(const std::string& login) = 0;
    virtual void BeginTransaction() = 0;
    // Appends one `SendTemp` row: SendNo, SendMemo, list and state "0";
    // returns the row's ID, taken inside the transaction.
    virtual std::int64_t InsertSendRow(const std::string& sendNo, const std::string& memo,
                                       const std::string& list) = 0;
    // Lowers the account's `CurrSum` by `price` only where it covers the price;
    // returns the number of rows changed (0 when the credit was short).
    virtual long long Deduct(const std::string& login, std::int32_t price) = 0;
    // Any failure may leave the outcome unknown; the job then asks LookUpRow.
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    // Whether the `SendTemp` row `id` is there (committed), once the commit
    // that wrote it can no longer change its mind; reconnects when needed.
    // Throws when the server cannot tell, so the outcome stays unknown.
    virtual bool LookUpRow(std::int64_t id) = 0;
};

// What a send job reads from and shows to the operator (the account, the
// message, the balance, the progress, notices). Texts are GBK.
class SendDisplay {
public:
    virtual ~SendDisplay() = default;
    // The account number read from the settings file at start.
    virtual std::string AccountNumber() = 0;
    // The message as the operator wrote it, lines joined by CR LF.
    virtual std::string MessageText() = 0;
    // Whether the self-check number goes with the job as its last recipient.
    virtual bool SelfCheckOn() = 0;
    virtual std::string SelfCheckNumber() = 0;
    // The account's credit as last shown to the operator; the job lowers it
    // after every batch.
    virtual std::string DisplayedBalance() = 0;
    virtual void SetDisplayedBalance(const std::string& text) = 0;
    // The progress of the job: numbers handled so far out of the maximum.
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetProgressMaximum(int maximum) = 0;
    // A notice with one OK button and the exclamation icon; returns once the
    // operator has closed it.
    virtual void ShowNotice(const std::string& text, const std::string& caption) = 0;
};

// The operator's side of a send job: the display, the chosen numbers and the
// event loop. The client session implements it over the window and the list;
// the admin tool over a terminal.
class SendWindow : public SendDisplay {
public:
    // The phones of the ticked list entries, in list order.
    virtual std::vector<std::string> CheckedPhones() = 0;
    // Lets the window handle the events waiting at this moment.
    virtual void YieldStep() = 0;
    // Asks for the program to end once the running action has returned.
    virtual void RequestClose() = 0;
};

// Constants of a send job.
inline constexpr std::size_t kAccountLength = 11;
inline constexpr std::size_t kMaxNumbersPerJob = 4000;
inline constexpr std::size_t kNumbersPerBatch = 100;

// The credit query: shows `CurrSum` in the window, or, when the account has
// no row, says "当前帐户没有注册开通。" and asks the window to close. Returns
// whether the balance was shown. Query failures reach the caller.
bool GetYuE(ServerGateway& server, SendWindow& window);

// A phone text as the job sends it: trimmed, normalised, cut to 12 bytes when
// it starts with "0" and to 11 otherwise.
std::string PrepareNumber(const std::string& phone);

// The whole text of `numbers[first, first+count)` joined by ";".
std::string JoinNumbers(const std::vector<std::string>& numbers, std::size_t first,
                        std::size_t count);

// The displayed balance as a whole number; throws Error when it is not one.
std::int32_t ParseWholeNumber(const std::string& text);

// What one job did, batch by batch, for the operator's retry: which numbers
// are queued (and paid), which are not, and which cannot be known.
enum class BatchState { Queued, NotQueued, Unknown };

struct BatchReport {
    std::size_t first = 0, count = 0; // positions in the selection
    std::int64_t rowId = 0;           // 0 when no row was appended
    BatchState state = BatchState::NotQueued;
    bool commitFailed = false; // its commit failed and was settled by the row's ID
    std::string cause;         // why it is not queued or unknown (UTF-8)
};

struct SendReport {
    inline static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);
    bool selected = false;              // the job got as far as its selection
    std::vector<std::string> selection; // the numbers as sent, in order
    // For each selection element, its index among the checked phones the
    // window gave; kNoEntry for the self-check number.
    std::vector<std::size_t> entryOf;
    std::vector<BatchReport> batches; // the batches begun, in order
    std::string cause;                // the first cause of the job's failure (UTF-8)

    // The state of selection element `i`; those of batches never begun are
    // NotQueued.
    BatchState StateOf(std::size_t i) const;
    std::size_t Count(BatchState state) const;
};

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
    SendOutcome Btn_BeginClick(ServerGateway& server, SendWindow& window);
    bool Running() const { return running_; }
    // The account of the last job started (also when it ended by an
    // exception); a refused second start leaves it alone.
    const SendReport& Report() const { return report_; }

private:
    SendOutcome OpenGSMEx(ServerGateway& server, SendWindow& window);
    bool WriteBatch(ServerGateway& server, SendWindow& window, const std::string& account,
                    const std::string& memo, std::size_t first, std::size_t count,
                    std::int32_t price);
    bool running_ = false;
    SendReport report_;
};

} // namespace telvoro
