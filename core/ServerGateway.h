#pragma once
// The SMS server's database as the send job and the credit query use it, and
// the failures it reports. The SQL gateway implements it; the tests fake it.

#include "core/Error.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

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

} // namespace telvoro
