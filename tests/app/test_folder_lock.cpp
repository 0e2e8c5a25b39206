// The program folder lock in-process: a second holder in the same folder is
// refused and changes nothing; a lock whose holder died is taken over, one
// whose holder lives is not, however old.

#include "app/FolderLock.h"
#include "core/FileIO.h"
#include "tests/support/TempFolder.h"
#include "text/QtPath.h"

#include <QLockFile>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using telvoro::ProgramFolder;
using telvoro::app::FolderLock;
using State = FolderLock::State;

// A program that took the lock and died without releasing it.
void LockAndDie(const ProgramFolder& folder) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QLockFile lock(telvoro::ToQString(folder.LockFile()));
        ::_exit(lock.tryLock(0) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace

TEST(FolderLock, OneProgramPerFolder) {
    enum class Holder { None, Live, LiveForAnHour, Dead };
    struct Case {
        const char* name;
        Holder holder;
        State want;
    };
    const Case cases[] = {
        {"free folder", Holder::None, State::Held},
        {"running program", Holder::Live, State::HeldElsewhere},
        {"running program, lock an hour old", Holder::LiveForAnHour, State::HeldElsewhere},
        {"crashed program", Holder::Dead, State::Held},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        telvoro::TempFolder dir;
        const ProgramFolder folder(dir.path);
        std::unique_ptr<FolderLock> holder;
        if (c.holder == Holder::Dead) LockAndDie(folder);
        if (c.holder == Holder::Live || c.holder == Holder::LiveForAnHour) {
            holder = std::make_unique<FolderLock>(folder);
            ASSERT_EQ(holder->state(), State::Held);
        }
        if (c.holder == Holder::LiveForAnHour)
            fs::last_write_time(folder.LockFile(),
                                fs::last_write_time(folder.LockFile()) - std::chrono::hours(1));
        const std::vector<fs::path> before = dir.Names();
        const std::string lockBefore =
            fs::exists(folder.LockFile()) ? telvoro::ReadWholeFile(folder.LockFile()) : "";

        auto lock = std::make_unique<FolderLock>(folder);
        EXPECT_EQ(lock->state(), c.want);
        if (c.want == State::HeldElsewhere) {
            EXPECT_EQ(dir.Names(), before) << "nothing in the folder was touched";
            EXPECT_EQ(telvoro::ReadWholeFile(folder.LockFile()), lockBefore);
        } else {
            EXPECT_EQ(dir.Names(), std::vector<fs::path>{"Telvoro.lock"});
            EXPECT_EQ(FolderLock(folder).state(), State::HeldElsewhere)
                << "and it now keeps a second start out";
            lock.reset();
            EXPECT_FALSE(fs::exists(folder.LockFile())) << "released when the program ends";
        }
    }
}

// No lock file can be made: the program runs unlocked, as it did before.
TEST(FolderLock, AFolderWithoutRoomForTheLockIsUsedUnlocked) {
    telvoro::TempFolder dir;
    EXPECT_EQ(FolderLock(ProgramFolder(dir.path / "missing")).state(), State::Unavailable);
}

// The templates editor the main window starts lives on after the window and
// must never keep a later start out of the folder.
TEST(FolderLock, TheTemplatesEditorHoldsNoLock) {
    telvoro::TempFolder dir;
    const ProgramFolder folder(dir.path);
    telvoro::WriteWholeFile(folder.TemplatesFile(), "a=b\r\n");
    const pid_t editor = ::fork();
    ASSERT_GE(editor, 0);
    if (editor == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string file = folder.TemplatesFile().string();
        ::execl(TELVORO_BIN_DIR "/telvoro", "telvoro", "--edit-templates", file.c_str(), nullptr);
        ::_exit(127);
    }
    ::sleep(1); // long enough for a start to have taken the lock
    int status = 0;
    EXPECT_EQ(::waitpid(editor, &status, WNOHANG), 0) << "the editor ended by itself";
    EXPECT_EQ(FolderLock(folder).state(), State::Held);
    ::kill(editor, SIGTERM);
    ::waitpid(editor, &status, 0);
}
