// After a send job that failed part-way the list's ticks say exactly what is
// left to send, and the causes reach the log: failed connections, failed
// batches, uncertain commits, hand-off ticks that keep failing.

#include "ManualClock.h"

#include "app/SqlSession.h"
#include "client/ClientSession.h"
#include "core/GbkTexts.h"
#include "files/ProgramFolder.h"
#include "tests/support/FakeGateway.h"
#include "tests/support/RecordingView.h"
#include "tests/support/TempFolder.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using telvoro::FakeGateway;
using telvoro::ProgramFolder;
using telvoro::RecordingView;
using telvoro::client::ClientSession;
using telvoro::client::SessionOptions;

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

void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string Phone(int i) {
    const std::string d = std::to_string(i);
    return "139" + std::string(8 - d.size(), '0') + d;
}

// A session connected to a fake gateway the test can reach.
struct Connected {
    telvoro::TempFolder dir;
    RecordingView view;
    FakeGateway* gateway = nullptr;
    std::unique_ptr<ClientSession> session;
    explicit Connected(telvoro::client::Clock* clock = nullptr) {
        SessionOptions options;
        options.clock = clock;
        options.gateway = [this](const telvoro::DataSource&) {
            auto g = std::make_unique<FakeGateway>();
            g->credit = "100000";
            gateway = g.get();
            return g;
        };
        session = std::make_unique<ClientSession>(ProgramFolder(dir.path), view, options);
        session->Connect();
    }
    std::vector<bool> Ticks() {
        std::vector<bool> ticks;
        for (std::size_t i = 0; i < session->Recipients().Count(); ++i)
            ticks.push_back(session->Recipients().At(i).Checked);
        return ticks;
    }
};

} // namespace

TEST(SendFailures, QueuedEntriesAreUntickedByEntryNotByPhone) {
    struct Case {
        const char* name;
        bool kept, lookUpFails; // whether the server kept batch 2, and can tell
        int queuedEntries;      // entries 1..N were queued
        std::size_t unknownLogs;
    };
    for (const Case c : {Case{"lost", false, false, 100, 0}, Case{"kept", true, false, 200, 0},
                         Case{"unknown", true, true, 100, 1}}) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Connected s;
        // Entry 0 is dropped by the job (not a number); entries 1..300 are
        // the selection; entry 150 has entry 10's phone; entry 301 is not ticked.
        std::string list = "x\t+8613800138000\t\r\n";
        for (int i = 1; i <= 301; ++i)
            list += "n\t" + Phone(i == 150 ? 10 : i) + "\t\r\n";
        WriteFile(s.dir / "list.dat", list);
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
        std::string expected;
        for (int i = c.queuedEntries + 1; i <= 300; ++i)
            expected += (expected.empty() ? "" : ";") + Phone(i == 150 ? 10 : i);
        EXPECT_EQ(sent, expected);
    }
}

TEST(SendFailures, AListReplacedDuringTheJobKeepsItsTicks) {
    LogCapture log;
    ManualClock clock(15ms); // every yield step dispatches
    Connected s(&clock);
    for (int i = 0; i < 250; ++i) {
        s.session->Recipients().AddIfNewPhone("n", Phone(i));
        s.session->Recipients().SetChecked(static_cast<std::size_t>(i), true);
    }
    s.gateway->failCommitAt = 2;
    bool replaced = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            s.session->Edit([&](const std::vector<std::string>&) {
                replaced = true;
                return std::optional<std::vector<std::string>>({Phone(1), Phone(2)});
            });
        },
        Qt::QueuedConnection);
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
        s.session->Recipients().AddIfNewPhone("n", Phone(1));
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
    WriteFile(ProgramFolder(dir.path).ServerFile(),
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
