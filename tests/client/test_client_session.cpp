// The client session without a window: the start-up order, closing held by a
// running handler, the editing dialog against the hand-off tick, operations
// that arrive in a yield step, and connecting over a real SQLite file and over
// a gateway that fails where the test says.

#include "SessionTestSupport.h"

#include "app/SqlSession.h"
#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "files/DataSource.h"
#include "files/Settings.h"
#include "files/Templates.h"
#include "server/ServerUpkeep.h"
#include "server/SqlGateway.h"
#include "tests/support/DefaultTemplates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using telvoro::Connected;
using telvoro::FakeGateway;
using telvoro::Post;
using telvoro::ProgramFolder;
using telvoro::RecordingView;
using telvoro::WriteWholeFile;
using telvoro::client::ClientSession;
using telvoro::client::SessionOptions;
using Events = std::vector<std::string>;

// Qt's event loop for the yield steps and Qt SQL's driver plugins.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "telvoro_client_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};
const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TEST(TimeSlicer, DispatchesOnceASliceHasPassedSinceTheLastDispatch) {
    ManualClock clock;
    telvoro::client::TimeSlicer slicer(clock);
    struct Reading {
        std::chrono::milliseconds advance;
        bool due;
        bool dispatched;
    };
    const Reading readings[] = {
        {0ms, false, false},                      // the first call starts the first slice
        {14ms, false, false},                     // 14 ms into it
        {1ms, true, true},                        // 15 ms: due; the dispatch restarts the slice
        {14ms, false, false}, {1ms, true, false}, // not restarted: due again at once
        {0ms, true, true},    {15ms, true, true},
    };
    int i = 0;
    for (const Reading& r : readings) {
        clock.Advance(r.advance);
        EXPECT_EQ(slicer.Due(), r.due) << "reading " << i;
        if (r.dispatched) slicer.Restart();
        ++i;
    }
}

TEST(ClientSession, StartUpRunsInOrderAndStopsAtTheFirstError) {
    struct Case {
        const char* name;
        bool folderExists;
        Events expected;
    };
    const Case cases[] = {
        {"writable folder", true, {"templates 7", "place", "timer on"}},
        {"missing folder", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        telvoro::TempFolder dir;
        const ProgramFolder folder(c.folderExists ? dir.path : dir.path / "missing");
        RecordingView view;
        ClientSession session(folder, view);
        session.ReadAccount(); // no settings file: nothing shown, nothing thrown
        if (c.folderExists)
            session.Start();
        else
            EXPECT_THROW(session.Start(), telvoro::Error);
        EXPECT_EQ(view.events, c.expected);
        EXPECT_EQ(session.HandoffPath().empty(), !c.folderExists);
    }
}

TEST(ClientSession, CloseWaitsForTheOutermostHandler) {
    telvoro::TempFolder dir;
    RecordingView view;
    ClientSession session(ProgramFolder(dir.path), view);
    session.EnterHandler();
    session.EnterHandler();
    session.RequestClose();
    EXPECT_FALSE(session.MayClose()); // the close box, too, waits
    EXPECT_FALSE(session.LeaveHandler());
    EXPECT_TRUE(session.LeaveHandler());
    EXPECT_TRUE(view.events.empty());
    session.EnterHandler();
    EXPECT_FALSE(session.LeaveHandler()); // the close was due only once

    session.RequestClose();
    EXPECT_EQ(view.events, Events{"close"});
    // Once closed, the editing dialog no longer opens and the tick does not restart its timer.
    EXPECT_TRUE(session.MayClose());
    bool opened = false;
    session.Edit([&](const std::vector<std::string>&) {
        opened = true;
        return std::nullopt;
    });
    EXPECT_FALSE(opened);
    view.events.clear();
    session.HandoffTick();
    EXPECT_EQ(view.events, Events{"timer off"});
}

// Entries the hand-off merge adds after the dialog was filled would be lost on
// its confirmation: asked for during a merge, it opens only after the merge.
TEST(ClientSession, EditAskedForDuringAMergeOpensAfterIt) {
    telvoro::TempFolder dir;
    ManualClock clock(telvoro::client::kYieldSlice);
    RecordingView view;
    SessionOptions options;
    options.clock = &clock;
    ClientSession session(ProgramFolder(dir.path), view, options);
    session.Start();
    WriteWholeFile(dir.path / "SendGSM.ini", "a\t13900000001\r\nb\t13900000002\r\n");
    bool opened = false;
    Post([&] {
        session.Edit([&](const std::vector<std::string>&) {
            opened = true;
            return std::nullopt;
        });
    });
    view.events.clear();
    session.HandoffTick();
    EXPECT_FALSE(opened);
    EXPECT_EQ(session.Recipients().Count(), 2u);
    EXPECT_EQ(view.events, (Events{"timer off", "timer on", "edit later"}));
}

// A second send while a job runs, and a load while every entry is being
// ticked, arrive in a yield step: both are refused and change nothing.
TEST(ClientSession, OverlappingOperationsAreRefused) {
    ManualClock clock(telvoro::client::kYieldSlice);
    Connected s(&clock, "100");
    ClientSession& session = *s.session;
    WriteWholeFile(s.dir / "list.dat", "x\t13900000009\r\n");
    for (int i = 0; i < 5; ++i)
        session.Recipients().AddIfNewPhone("n", std::to_string(13900000001LL + i));

    session.SetAllChecked([] { return true; });
    s.view.events.clear();
    Post([&] { session.Send(); });
    session.Send();
    EXPECT_EQ(s.gateway->committed.size(), 1u);
    EXPECT_EQ(s.view.events.front(), "balance 100");
    EXPECT_NE(std::find(s.view.events.begin(), s.view.events.end(), "refusal"),
              s.view.events.end());

    s.view.events.clear();
    Post([&] { session.LoadList(s.dir / "list.dat"); });
    session.SetAllChecked([] { return false; });
    EXPECT_EQ(s.view.events, Events{"refusal"});
    EXPECT_EQ(session.Recipients().Count(), 5u);
}

TEST(ClientSession, ConnectShowsTheCreditOrTheFailure) {
    struct Case {
        const char* name;
        std::string failAt; // "open": the factory throws
        std::optional<std::string> credit;
        Events expected;
    };
    const std::string notRegistered = std::string("notice ") + telvoro::gbk::kMsgNotRegistered;
    const Case cases[] = {
        {"credit shown", "", "500", {"connected", "balance 500"}},
        {"open fails", "open", "500", {"connect failed"}},
        {"credit query fails", "credit", "500", {"connected", "connect failed"}},
        {"no such account", "", std::nullopt, {"connected", notRegistered, "close"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        telvoro::TempFolder dir;
        RecordingView view;
        SessionOptions options;
        options.gateway = [&](const telvoro::DataSource&, telvoro::client::LockWait) {
            if (c.failAt == "open") throw telvoro::Error("cannot connect");
            auto g = std::make_unique<FakeGateway>();
            g->failAt = c.failAt;
            g->credit = c.credit;
            return g;
        };
        ClientSession session(ProgramFolder(dir.path), view, options);
        session.Connect();
        EXPECT_EQ(view.events, c.expected);
    }
}

// The set-up steps done while the window is open: an account file written
// after the start counts at the connect; without one, no "not registered" end.
TEST(ClientSession, ConnectWithoutAnAccountReadsTheFileAgain) {
    const std::string noFile = std::string("notice ") + telvoro::gbk::kMsgNoAccountFile;
    for (const bool written : {true, false}) {
        SCOPED_TRACE(written ? "file written after the start" : "no file");
        telvoro::TempFolder dir;
        RecordingView view;
        view.account.clear();
        SessionOptions options;
        options.gateway = [&](const telvoro::DataSource&, telvoro::client::LockWait) {
            auto g = std::make_unique<FakeGateway>();
            g->credit = std::nullopt; // any query would end the program
            if (written) g->credit = "300";
            return g;
        };
        ClientSession session(ProgramFolder(dir.path), view, options);
        if (written)
            telvoro::WriteAccountNumber(ProgramFolder(dir.path).SettingsFile(), "13800138000");
        session.Connect();
        const Events expected =
            written ? Events{"account 13800138000", "connected", "balance 300"} : Events{noFile};
        EXPECT_EQ(view.events, expected);
    }
}

// Two connections under one Qt SQL name cannot both exist: the old one goes
// before the new one opens.
TEST(ClientSession, ConnectingAgainReleasesTheOldConnectionFirst) {
    telvoro::TempFolder dir;
    RecordingView view;
    int alive = 0;
    std::vector<int> aliveAtOpen;
    SessionOptions options;
    options.gateway = [&](const telvoro::DataSource&, telvoro::client::LockWait) {
        aliveAtOpen.push_back(alive);
        return std::make_unique<FakeGateway>(&alive);
    };
    {
        ClientSession session(ProgramFolder(dir.path), view, options);
        session.Connect();
        session.Connect();
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(aliveAtOpen, (std::vector<int>{0, 0}));
    EXPECT_EQ(alive, 0);
}

TEST(ClientSession, SendWithoutConnectionMakesItsChecksThenFails) {
    telvoro::TempFolder dir;
    RecordingView view;
    ClientSession session(ProgramFolder(dir.path), view);
    view.account = "1380013800"; // too short
    session.Send();
    EXPECT_EQ(view.events, Events{std::string("notice ") + telvoro::gbk::kMsgInvalidAccount});
    view.account = "13800138000";
    session.Recipients().AddIfNewPhone("a", "13900000001");
    session.Recipients().SetChecked(0, true);
    EXPECT_THROW(session.Send(), telvoro::Error);
}

// The default gateway on the embedded SQLite database, and a data source
// that cannot be parsed.
TEST(ClientSession, ConnectOverTheEmbeddedDatabase) {
    telvoro::TempFolder dir;
    const ProgramFolder folder(dir.path);
    {
        telvoro::SqlGateway admin(QStringLiteral("prepare"));
        admin.Open(telvoro::ParseDataSource("", folder), telvoro::Create::Yes);
        telvoro::ServerUpkeep(admin.connection()).CreateTables();
        telvoro::ServerUpkeep(admin.connection()).SetCredit("13800138000", 321);
    }
    RecordingView view;
    ClientSession session(folder, view, telvoro::app::SqlSessionOptions());
    session.Connect();
    EXPECT_EQ(view.events, (Events{"connected", "balance 321"}));

    WriteWholeFile(folder.ServerFile(), "postgresql://localhost:99999\r\n");
    view.events.clear();
    session.Connect();
    EXPECT_EQ(view.events, Events{"connect failed"});
}

} // namespace

// A templates file a Linux editor saved as UTF-8 gives the menu and the
// contents the GBK file gives; a character without a GBK form is left out.
TEST(ClientSession, TemplatesSavedAsUtf8ReadAsTheGbkOnes) {
    using namespace telvoro::testing;
    using Menu = std::vector<telvoro::TemplateMenuEntry>;
    const std::string bom = "\xEF\xBB\xBF";
    const std::string utf8 = DefaultLinesUtf8("\n");
    const std::string holiday = "\xBD\xDA\xC8\xD5"; // 节日
    const struct {
        const char* name;
        std::string bytes;
        Menu menu;
        std::string caption, content;
    } cases[] = {
        {"GBK", telvoro::DefaultTemplatesText(), kDefaultMenu, kBirthday, kBirthdayText},
        {"UTF-8", utf8, kDefaultMenu, kBirthday, kBirthdayText},
        {"UTF-8 with BOM", bom + utf8, kDefaultMenu, kBirthday, kBirthdayText},
        // 节日=祝您快乐！ in GBK: the emoji has no GBK form.
        {"UTF-8 beyond GBK", reinterpret_cast<const char*>(u8"节日=祝您快乐😀！\n"),
         Menu{{"Menu_0", holiday}}, holiday, "\xD7\xA3\xC4\xFA\xBF\xEC\xC0\xD6\xA3\xA1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        telvoro::TempFolder dir;
        const ProgramFolder folder(dir.path);
        WriteWholeFile(folder.TemplatesFile(), c.bytes);
        RecordingView view;
        ClientSession session(folder, view);
        EXPECT_EQ(
            telvoro::ReadTemplateMenu(folder.TemplatesFile(), telvoro::client::TemplatesUtf8ToGbk),
            c.menu);
        EXPECT_EQ(session.TemplateContent(c.caption), c.content);
    }
}
