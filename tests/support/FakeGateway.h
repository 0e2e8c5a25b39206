#pragma once
// A scripted gateway for every suite: it records the calls and the committed
// rows, keeps the credit it is given, and fails where the test says, also in
// the ways a real server cannot be made to fail on demand.

#include "core/Error.h"
#include "core/ServerGateway.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telvoro {

class FakeGateway : public ServerGateway {
public:
    struct Row {
        std::string sendNo, memo, list;
    };

    // Counts the live fakes in `*aliveCount` when given.
    explicit FakeGateway(int* aliveCount = nullptr) : alive_(aliveCount) {
        if (alive_) ++*alive_;
    }
    ~FakeGateway() override {
        if (alive_) --*alive_;
    }
    FakeGateway(const FakeGateway&) = delete;
    FakeGateway& operator=(const FakeGateway&) = delete;

    std::optional<std::string> credit = std::string("100000");
    // Operation `failAt` ("credit", "begin", "insert", "deduct", "commit")
    // throws Error "OP failed": at its call number `failAtCall` (1-based),
    // or at every call when that is 0.
    std::string failAt;
    int failAtCall = 0;
    // Deduction number `shortDeductAt` finds the credit short.
    int shortDeductAt = 0;
    // Commit number `failCommitAt` throws CommitUncertain (cause "connection
    // lost"): the server keeps the batch when `commitKept`, else not.
    int failCommitAt = 0;
    bool commitKept = false;
    // The row lookup after a failed commit cannot reach the server.
    bool lookUpFails = false;
    bool failRollback = false;

    std::vector<Row> committed;
    std::vector<std::string> calls; // every call but the credit query, in order
    int queries = 0;                // credit queries
    bool open = false;              // a transaction is open
    long long paid = 0;             // the deductions committed

    std::optional<std::string> QueryCredit(const std::string&) override {
        ++queries;
        Maybe("credit");
        return credit;
    }
    void BeginTransaction() override {
        Maybe("begin");
        if (open) throw Error("nested transaction");
        open = true;
        pending_.clear();
        pendingPrice_ = 0;
        calls.push_back("begin");
    }
    std::int64_t InsertSendRow(const std::string& sendNo, const std::string& memo,
                               const std::string& list) override {
        calls.push_back("insert");
        Maybe("insert");
        pending_.push_back({sendNo, memo, list});
        return pendingId_ = 1000 + counts_["insert"];
    }
    long long Deduct(const std::string&, std::int32_t price) override {
        calls.push_back("deduct " + std::to_string(price));
        Maybe("deduct");
        if (counts_["deduct"] == shortDeductAt) return 0;
        pendingPrice_ = price;
        return 1;
    }
    void Commit() override {
        calls.push_back("commit");
        Maybe("commit");
        if (counts_["commit"] == failCommitAt) {
            if (commitKept) Keep();
            throw CommitUncertain("commit: connection lost", "connection lost");
        }
        Keep();
    }
    void Rollback() override {
        calls.push_back("rollback");
        open = false;
        if (failRollback) throw Error("rollback failed");
    }
    bool LookUpRow(std::int64_t id) override {
        calls.push_back("look up " + std::to_string(id));
        if (lookUpFails) throw ServerError("look up: server unreachable", "server unreachable");
        return std::find(keptIds_.begin(), keptIds_.end(), id) != keptIds_.end();
    }

private:
    void Maybe(const std::string& op) {
        const int n = ++counts_[op];
        if (op == failAt && (failAtCall == 0 || n == failAtCall)) throw Error(op + " failed");
    }
    void Keep() {
        committed.insert(committed.end(), pending_.begin(), pending_.end());
        keptIds_.push_back(pendingId_);
        paid += pendingPrice_;
        pending_.clear();
        pendingPrice_ = 0;
        open = false;
    }

    int* alive_;
    std::map<std::string, int> counts_; // calls per operation
    std::vector<Row> pending_;
    std::int32_t pendingPrice_ = 0;
    std::int64_t pendingId_ = 0;
    std::vector<std::int64_t> keptIds_;
};

} // namespace telvoro
