#pragma once
// A gateway for fault injection: it fails at the operation the test names
// ("credit", "begin", "insert", "deduct", "commit") and records the rows it
// was asked to queue.

#include "core/Error.h"
#include "core/SendJob.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FakeGateway : telvoro::ServerGateway {
    std::string failAt;
    std::optional<std::string> credit = "100";
    int* alive = nullptr;
    std::vector<std::string>* rows = nullptr;

    explicit FakeGateway(std::string fail = {}, int* aliveCount = nullptr)
        : failAt(std::move(fail)), alive(aliveCount) {
        if (alive) ++*alive;
    }
    ~FakeGateway() override {
        if (alive) --*alive;
    }
    void Maybe(const char* op) {
        if (failAt == op) throw telvoro::Error(std::string(op) + " failed");
    }
    std::optional<std::string> QueryCredit(const std::string&) override {
        Maybe("credit");
        return credit;
    }
    void BeginTransaction() override { Maybe("begin"); }
    std::int64_t InsertSendRow(const std::string&, const std::string&,
                               const std::string& list) override {
        Maybe("insert");
        if (rows) rows->push_back(list);
        return ++lastId;
    }
    long long Deduct(const std::string&, std::int32_t) override {
        Maybe("deduct");
        return 1;
    }
    // With `commitFault` set, commit number `failCommitAt` fails: "lost"
    // (the server did not keep the row), "kept" (it did), "unknown" (it did,
    // and the lookup cannot tell).
    void Commit() override {
        Maybe("commit");
        ++commitsTried;
        const bool fault = !commitFault.empty() && commitsTried == failCommitAt;
        if (!fault || commitFault != "lost") kept.push_back(lastId);
        if (fault) throw telvoro::CommitUncertain("commit failed", "connection lost");
    }
    void Rollback() override {}
    bool LookUpRow(std::int64_t id) override {
        if (commitFault == "unknown") throw telvoro::ServerError("look up failed", "unreachable");
        return std::find(kept.begin(), kept.end(), id) != kept.end();
    }
    std::string commitFault;
    int failCommitAt = 1, commitsTried = 0;
    std::int64_t lastId = 0;
    std::vector<std::int64_t> kept;
};
