#pragma once
// A gateway for fault injection: it fails at the operation the test names
// ("credit", "begin", "insert", "deduct", "commit") and records the rows it
// was asked to queue.

#include "core/Error.h"
#include "core/SendJob.h"

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
    void InsertSendRow(const std::string&, const std::string&, const std::string& list) override {
        Maybe("insert");
        if (rows) rows->push_back(list);
    }
    long long Deduct(const std::string&, std::int32_t) override {
        Maybe("deduct");
        return 1;
    }
    void Commit() override { Maybe("commit"); }
    void Rollback() override {}
};
