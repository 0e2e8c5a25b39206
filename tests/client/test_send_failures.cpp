// After a send job that failed part-way the list's ticks say exactly what is
// left to send, and the causes reach the log: failed connections, failed
// batches, uncertain commits, hand-off ticks that keep failing.

#include "SessionTestSupport.h"

#include "app/SqlSession.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "tests/support/Numbers.h"

#include <QString>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using telvoro::Connected;
using telvoro::ProgramFolder;
using telvoro::RecordingView;
using telvoro::WriteWholeFile;
using telvoro::client::ClientSession;
using telvoro::testing::Numbers;
using telvoro::testing::Ranges;

// Qt's application object comes from the environment of test_client_session.cpp.

// The log lines of the system's own categories, while it lives.
struct LogCapture {
    static inline std::vector<std::pair<std::string, std::string>>* lines = nullptr;
    std::vector<std::pair<std::string, std::string>> captured;
    QtMessageHandler previous;
    LogCapture() {
        lines = &captured;
        previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext& c, const QString& text) {
                if (lines && c.category && std::string(c.category).rfind("telvoro.", 0) == 0)
                    lines->emplace_back(c.category, text.toStdString());
            });
    }
    ~LogCapture() {
        qInstallMessageHandler(previous);
        lines = nullptr;
    }
    std::size_t Count(const std::string& category, const std::string& part) const {
        std::size_t n = 0;
        for (const auto& [cat, text] : captured)
            n += cat == category && text.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
};

} // namespace

TEST(SendFailures, QueuedEntriesAreUntickedByEntryNotByPhone) {
    struct Case {
        const char* name;
        bool kept, lookUpFails; // whether the server kept batch 2, and can tell
        int queuedEntries;      // entries 1..N were queued
        std::size_t unknownLogs;
        const char* resent; // by the next press
    };
    const char* const fromEntry101 = "13900000101-13900000149,13900000010,13900000151-13900000300";
    for (const Case c : {Case{"lost", false, false, 100, 0, fromEntry101},
                         Case{"kept", true, false, 200, 0, "13900000201-13900000300"},
                         Case{"unknown", true, true, 100, 1, fromEntry101}}) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Connected s;
        // Entry 0 is dropped by the job (not a number); entries 1..300 are
        // the selection; entry 150 has entry 10's phone; entry 301 is not ticked.
        std::vector<std::string> phones = Numbers(301, 1);
        phones[149] = phones[9];
        std::string list = "x\t+8613800138000\t\r\n";
        for (const std::string& phone : phones)
            list += "n\t" + phone + "\t\r\n";
        WriteWholeFile(s.dir / "list.dat", list);
        s.session->LoadList(s.dir / "list.dat");
        for (std::size_t i = 0; i <= 300; ++i)
            s.session->Recipients().SetChecked(i, true);
        s.gateway->failCommitAt = 2;
        s.gateway->commitKept = c.kept;
        s.gateway->lookUpFails = c.lookUpFails;

        s.session->Send();
        EXPECT_EQ(s.view.LastNotice(), telvoro::gbk::kMsgSendError);
        std::vector<bool> want(302, true);
        for (int i = 1; i <= c.queuedEntries; ++i)
            want[i] = false;
        want[301] = false;
        EXPECT_EQ(s.Ticks(), want);
        EXPECT_EQ(log.Count("telvoro.server", "commit of batch 2"), 1u);
        EXPECT_EQ(log.Count("telvoro.server", "stay ticked"), c.unknownLogs);

        // The next press sends exactly what is still ticked (the unknown
        // batch too: the operator was told to check it first).
        s.gateway->failCommitAt = 0;
        const std::size_t before = s.gateway->committed.size();
        s.session->Send();
        std::string sent;
        for (std::size_t k = before; k < s.gateway->committed.size(); ++k)
            sent += (sent.empty() ? "" : ";") + s.gateway->committed[k].list;
        EXPECT_EQ(Ranges(sent), c.resent);
    }
}

TEST(SendFailures, AListReplacedDuringTheJobKeepsItsTicks) {
    LogCapture log;
    ManualClock clock(15ms); // every yield step dispatches
    Connected s(&clock);
    for (const std::string& phone : Numbers(250))
        s.session->Recipients().AddIfNewPhone("n", phone);
    s.session->Recipients().SetAllChecked([] { return true; });
    s.gateway->failCommitAt = 2;
    bool replaced = false;
    telvoro::Post([&] {
        s.session->Edit([&](const std::vector<std::string>&) {
            replaced = true;
            return std::optional<std::vector<std::string>>(Numbers(2, 1));
        });
    });
    s.session->Send();
    ASSERT_TRUE(replaced);
    EXPECT_EQ(s.Ticks(), (std::vector<bool>{true, true}))
        << "the new list's entries are not the queued ones";
    EXPECT_EQ(log.Count("telvoro.server", "the list was replaced"), 1u);
}

TEST(SendFailures, FailedBatchAndFailedConnectionAreLoggedWithoutThePassword) {
    LogCapture log;
    {
        Connected s;
        s.session->Recipients().AddIfNewPhone("n", "13900000001");
        s.session->Recipients().SetChecked(0, true);
        s.gateway->failAt = "deduct";
        EXPECT_THROW(s.session->Send(), telvoro::Error);
        EXPECT_EQ(log.Count("telvoro.server", "batch 1 (numbers 1-1) not queued: deduct failed"),
                  1u);
        EXPECT_TRUE(s.session->Recipients().At(0).Checked);
    }
    telvoro::TempFolder dir;
    RecordingView view;
    ClientSession session(ProgramFolder(dir.path), view, telvoro::app::SqlSessionOptions());
    WriteWholeFile(
        ProgramFolder(dir.path).ServerFile(),
        "odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=1;UID=gsm;PWD=topsecret\r\n");
    session.Connect();
    EXPECT_EQ(log.Count("telvoro.server", "connecting to the server failed"), 1u);
    EXPECT_EQ(log.Count("telvoro.server", "PWD=***"), 1u);
    EXPECT_EQ(log.Count("telvoro.server", "topsecret"), 0u);
}

TEST(SendFailures, AHandoffTickThatKeepsFailingIsLoggedOnce) {
    LogCapture log;
    telvoro::TempFolder dir;
    RecordingView view;
    ClientSession session(ProgramFolder(dir.path), view);
    session.Start();
    // A folder where the hand-off file should be: every tick fails.
    std::filesystem::create_directory(session.HandoffPath());
    for (int i = 0; i < 5; ++i)
        session.HandoffTick();
    EXPECT_EQ(log.Count("telvoro.handoff", "cannot be merged"), 1u);
    std::filesystem::remove(session.HandoffPath());
    session.HandoffTick();
    std::filesystem::create_directory(session.HandoffPath());
    session.HandoffTick();
    session.HandoffTick();
    EXPECT_EQ(log.Count("telvoro.handoff", "cannot be merged"), 2u)
        << "a failure after a good tick is told again";
}
