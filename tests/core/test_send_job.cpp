// The send job against a scripted gateway, for the checks and the failures
// that a real database cannot be made to produce on demand.
#include "core/Error.h"
#include "core/GbkTexts.h"
#include "core/SendJob.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/Numbers.h"
#include "tests/support/RecordingWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

using namespace telvoro;
using telvoro::testing::Numbers;
using telvoro::testing::Ranges;

namespace {

const std::string kAccount = "13800138000";

using Row = FakeGateway::Row;

std::string Shortfall(long long d) {
    return gbk::kMsgShortfallPrefix + std::to_string(d) + gbk::kMsgShortfallSuffix;
}

} // namespace

TEST(SendJob, AccountNumberMustBeElevenBytes) {
    for (const std::string account : {"1380013800", "138001380001", "",
                                      "\xB2\xE2\xCA\xD4"
                                      "12345678"}) {
        FakeGateway gw;
        RecordingWindow w;
        w.account = account;
        w.phones = Numbers(1);
        SendJobRunner runner;
        EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Refused);
        ASSERT_EQ(w.notices.size(), 1u);
        EXPECT_EQ(w.notices[0].first, gbk::kMsgInvalidAccount);
        EXPECT_EQ(w.notices[0].second, gbk::kCaptionHint);
        EXPECT_EQ(gw.queries, 0);
    }
}

TEST(SendJob, NumbersArePreparedAndVetted) {
    struct Case {
        std::vector<std::string> phones;
        std::string wantList; // empty: refused with the no-number message
    };
    const std::string fw1 = "\xA3\xB1"; // full-width 1
    const Case cases[] = {
        {{}, ""},
        {{"+8613800138000", "138-0013-8000"}, ""},
        {{"   "}, ""},
        {{"13912345678901"}, "13912345678"},
        {{"0101234567890"}, "010123456789"},
        {{"1391234567"}, "1391234567"},
        {{"13912345678 (office)"}, "13912345678"},
        {{" 139 1234 5678 "}, "13912345678"},
        {{fw1 + "3912345678"}, "13912345678"},
        {{"13912345678", "", "13912345679"}, "13912345678;;13912345679"},
        {{"13912345678", "13912345678"}, "13912345678;13912345678"},
    };
    for (const Case& c : cases) {
        FakeGateway gw;
        RecordingWindow w;
        w.phones = c.phones;
        SendJobRunner runner;
        const SendOutcome outcome = runner.Btn_BeginClick(gw, w);
        if (c.wantList.empty()) {
            EXPECT_EQ(outcome, SendOutcome::Refused);
            EXPECT_EQ(w.LastNotice(), gbk::kMsgNoNumbers);
            EXPECT_EQ(gw.queries, 0) << "the credit is not re-read";
        } else {
            ASSERT_EQ(outcome, SendOutcome::Submitted) << c.wantList;
            ASSERT_EQ(gw.committed.size(), 1u);
            EXPECT_EQ(gw.committed[0].list, c.wantList);
        }
    }
}

TEST(SendJob, CreditCheckAndLimit) {
    struct Case {
        int numbers;
        bool selfCheck;
        std::string message;
        std::string credit;
        SendOutcome want;
        std::string notice;
    };
    const std::string long66(66, 'x');
    const Case cases[] = {
        {3, true, long66, "8", SendOutcome::Submitted, gbk::kMsgSubmitted},
        {3, true, long66, "7", SendOutcome::Refused, Shortfall(1)},
        {10, false, "", "10", SendOutcome::Submitted, gbk::kMsgSubmitted},
        {10, false, "", "9", SendOutcome::Refused, Shortfall(1)},
        {4000, false, "x", "4000", SendOutcome::Submitted, gbk::kMsgSubmitted},
        {4000, true, "x", "4001", SendOutcome::Refused, gbk::kMsgTooMany},
        {4001, false, "x", "4001", SendOutcome::Refused, gbk::kMsgTooMany},
        {3999, true, "x", "4000", SendOutcome::Submitted, gbk::kMsgSubmitted},
        // The credit check comes before the limit.
        {5000, false, "x", "10", SendOutcome::Refused, Shortfall(4990)},
        {1, false, "x", "-5", SendOutcome::Refused, Shortfall(6)},
    };
    for (const Case& c : cases) {
        FakeGateway gw;
        gw.credit = c.credit;
        RecordingWindow w;
        w.phones = Numbers(c.numbers);
        w.selfCheck = c.selfCheck;
        w.message = c.message;
        SendJobRunner runner;
        EXPECT_EQ(runner.Btn_BeginClick(gw, w), c.want) << c.numbers << " " << c.credit;
        EXPECT_EQ(w.LastNotice(), c.notice) << c.numbers << " " << c.credit;
        // Every submitted case spends the credit exactly.
        EXPECT_EQ(w.balance, c.want == SendOutcome::Submitted ? "0" : c.credit)
            << "the re-read balance stays displayed";
        if (c.want == SendOutcome::Submitted) {
            EXPECT_EQ(gw.paid, std::stoll(c.credit));
        } else {
            EXPECT_TRUE(gw.calls.empty());
        }
    }
}

TEST(SendJob, BatchesOfAHundredWithTheirDeductions) {
    FakeGateway gw;
    gw.credit = "1000";
    RecordingWindow w;
    w.phones = Numbers(249);
    w.selfCheck = true;
    w.message = std::string(70, 'a') + "\r\n\r\n"; // 70 characters after trimming: 2 segments
    std::vector<std::string> balances;
    w.onYield = [&] { balances.push_back(w.balance); };
    SendJobRunner runner;
    ASSERT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Submitted);

    ASSERT_EQ(gw.committed.size(), 3u);
    EXPECT_EQ(Ranges(gw.committed[0].list), "13900000000-13900000099");
    EXPECT_EQ(Ranges(gw.committed[1].list), "13900000100-13900000199");
    EXPECT_EQ(Ranges(gw.committed[2].list), "13900000200-13900000248,15803800000");
    for (const Row& row : gw.committed) {
        EXPECT_EQ(row.sendNo, kAccount);
        EXPECT_EQ(row.memo, w.message) << "written untrimmed";
    }
    const std::vector<std::string> wantCalls = {"begin", "insert", "deduct 200", "commit",
                                                "begin", "insert", "deduct 200", "commit",
                                                "begin", "insert", "deduct 100", "commit"};
    EXPECT_EQ(gw.calls, wantCalls);
    EXPECT_EQ(w.balance, "500");
    EXPECT_EQ(balances[99], "800");
    EXPECT_EQ(balances[199], "600");
    EXPECT_EQ(w.maximum, 250);
    EXPECT_EQ(w.progress, 250);
    EXPECT_EQ(w.yields, 250);
    EXPECT_TRUE(w.closeRequested);
    EXPECT_EQ(w.notices.back().second, gbk::kCaptionNotice);
}

TEST(SendJob, FailuresInsideABatchNeverLeaveATransactionOpen) {
    enum Fault { Insert, Commit, Short, BadBalance, RollbackToo };
    struct Case {
        Fault fault;
        bool throws;
        std::size_t committedRows;
    };
    const Case cases[] = {
        {Insert, true, 1},     // the general error report; batch 1 stays queued
        {Commit, false, 1},    // "发送过程出现错误。" after the rollback
        {Short, false, 1},     // credit spent elsewhere meanwhile: rolled back, not paid below zero
        {BadBalance, true, 0}, // the displayed balance is no whole number
        {RollbackToo, true, 1}, // the rollback fails as well: the general error report
    };
    for (const Case& c : cases) {
        FakeGateway gw;
        RecordingWindow w;
        w.phones = Numbers(250);
        switch (c.fault) {
        case Insert:
            gw.failAt = "insert";
            gw.failAtCall = 2;
            break;
        case Commit:
            gw.failCommitAt = 2;
            break;
        case Short:
            gw.shortDeductAt = 2;
            break;
        case BadBalance:
            w.onYield = nullptr;
            gw.credit = "12.5";
            break;
        case RollbackToo:
            gw.failCommitAt = 2;
            gw.failRollback = true;
            break;
        }
        SendJobRunner runner;
        if (c.throws) {
            EXPECT_THROW(runner.Btn_BeginClick(gw, w), Error) << c.fault;
        } else {
            EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Failed) << c.fault;
            EXPECT_EQ(w.LastNotice(), gbk::kMsgSendError);
        }
        EXPECT_FALSE(gw.open) << "transaction left open, fault " << c.fault;
        EXPECT_EQ(gw.committed.size(), c.committedRows) << c.fault;
        EXPECT_FALSE(w.closeRequested);
        EXPECT_FALSE(runner.Running());
        if (c.fault == RollbackToo) {
            EXPECT_NE(w.LastNotice(), gbk::kMsgSendError);
        }
        if (c.fault != BadBalance) {
            EXPECT_EQ(w.progress, 199) << "the bar stays where it was";
        }
    }
}

TEST(SendJob, NotRegisteredEndsTheJobAtOnce) {
    FakeGateway gw;
    gw.credit.reset();
    RecordingWindow w;
    w.phones = Numbers(3);
    w.balance = "50";
    SendJobRunner runner;
    EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::NotRegistered);
    EXPECT_EQ(w.LastNotice(), gbk::kMsgNotRegistered);
    EXPECT_EQ(w.notices.back().second, gbk::kCaptionNotice);
    EXPECT_TRUE(w.closeRequested);
    EXPECT_TRUE(gw.calls.empty()) << "nothing written";
    EXPECT_EQ(w.balance, "50");
}

TEST(SendJob, TextAndAccountAreTakenOnceAndASecondSendIsRefused) {
    FakeGateway gw;
    RecordingWindow w;
    w.phones = Numbers(300);
    SendJobRunner runner;
    std::vector<SendOutcome> inner;
    w.onYield = [&] {
        w.message = "changed during the job";
        w.account = "19999999999";
        inner.push_back(runner.Btn_BeginClick(gw, w));
    };
    ASSERT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Submitted);
    ASSERT_EQ(gw.committed.size(), 3u);
    for (const Row& row : gw.committed) {
        EXPECT_EQ(row.memo, "hello");
        EXPECT_EQ(row.sendNo, kAccount);
    }
    ASSERT_EQ(inner.size(), 300u);
    for (SendOutcome o : inner)
        EXPECT_EQ(o, SendOutcome::Busy);
    EXPECT_FALSE(runner.Running());
}

TEST(SendJob, ParseWholeNumber) {
    EXPECT_EQ(ParseWholeNumber("0"), 0);
    EXPECT_EQ(ParseWholeNumber("-12"), -12);
    EXPECT_EQ(ParseWholeNumber("+7"), 7);
    EXPECT_EQ(ParseWholeNumber("2147483647"), 2147483647);
    for (const std::string bad :
         {"", " 1", "1 ", "1.5", "abc", "2147483648", "+", "0x10", "+-3", "--3"})
        EXPECT_THROW(ParseWholeNumber(bad), Error) << bad;
    EXPECT_EQ(ErrorOf([] { ParseWholeNumber("1\xB5\xE3"); }),
              "'1\\xB5\\xE3' is not a valid integer value");
}

TEST(SendJob, AFailedCommitIsSettledByItsRowAndReported) {
    struct Case {
        bool kept, lookUpFails;
        BatchState second;
        std::size_t committedRows;
        // What a retry leaves out (entries 1..N) and sends.
        std::size_t entriesQueued;
        std::string left;
    };
    const Case cases[] = {
        {false, false, BatchState::NotQueued, 1, 100, "13900000100-13900000249"},
        {true, false, BatchState::Queued, 2, 200, "13900000200-13900000249"},
        {true, true, BatchState::Unknown, 2, 100, "13900000200-13900000249"},
    };
    for (const Case& c : cases) {
        FakeGateway gw;
        gw.failCommitAt = 2;
        gw.commitKept = c.kept;
        gw.lookUpFails = c.lookUpFails;
        RecordingWindow w;
        // A dropped entry first: the selection's elements name their entries.
        w.phones = Numbers(250);
        w.phones.insert(w.phones.begin(), "+8613800138000");
        w.selfCheck = true;
        SendJobRunner runner;
        EXPECT_EQ(runner.Btn_BeginClick(gw, w), SendOutcome::Failed);
        EXPECT_EQ(w.LastNotice(), gbk::kMsgSendError);
        EXPECT_EQ(gw.committed.size(), c.committedRows);
        EXPECT_EQ(w.balance, "99800") << "lowered before the commit, whatever its outcome";
        const SendReport& r = runner.Report();
        ASSERT_TRUE(r.selected);
        ASSERT_EQ(r.selection.size(), 251u);
        EXPECT_EQ(r.entryOf[0], 1u);
        EXPECT_EQ(r.entryOf[249], 250u);
        EXPECT_EQ(r.entryOf[250], SendReport::kNoEntry) << "the self-check number";
        ASSERT_EQ(r.batches.size(), 2u);
        EXPECT_EQ(r.batches[0].state, BatchState::Queued);
        EXPECT_FALSE(r.batches[0].commitFailed);
        EXPECT_EQ(r.batches[1].state, c.second);
        EXPECT_TRUE(r.batches[1].commitFailed);
        EXPECT_EQ(r.batches[1].rowId, 1002);
        EXPECT_EQ(r.StateOf(150), c.second);
        EXPECT_EQ(r.StateOf(250), BatchState::NotQueued) << "the batch never begun";
        EXPECT_EQ(r.Count(BatchState::Unknown), c.second == BatchState::Unknown ? 100u : 0u);
        EXPECT_EQ(r.cause, "connection lost");
        const std::vector<std::size_t> queued = r.EntriesQueued();
        ASSERT_EQ(queued.size(), c.entriesQueued);
        EXPECT_EQ(queued.front(), 1u) << "entry 0 was dropped";
        EXPECT_EQ(queued.back(), c.entriesQueued);
        EXPECT_EQ(Ranges(r.NumbersLeft()), c.left)
            << "neither the unknown batch nor the self-check number";
        EXPECT_EQ(gw.calls[9], "look up 1002");
    }
}
