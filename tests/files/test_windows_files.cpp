// The Windows branches of the program folder's files: the hand-off reader's
// share mode and claim by handle, and wide file names. Built everywhere, run
// on Windows (under Wine in the test run).
#ifdef _WIN32

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/RecipientList.h"
#include "core/TextRules.h"
#include "files/HandoffReader.h"
#include "files/ProgramFolder.h"
#include "files/ProgramFolderChoice.h"
#include "files/Templates.h"
#include "tests/files/HandoffTestSupport.h"
#include "tests/support/OtherHandle.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

using namespace telvoro;
namespace fs = std::filesystem;
using Result = HandoffReader::TickResult;
using Strings = std::vector<std::string>;

namespace {

// Another program's handle on a file, open for appending.
struct Writer : OtherHandle {
    Writer(const fs::path& path, DWORD share)
        : OtherHandle(path, FILE_APPEND_DATA, share, OPEN_ALWAYS) {}
};

class WindowsHandoff : public HandoffFixture {
protected:
    WindowsHandoff() : HandoffFixture(u8"程序目录") {}
};

} // namespace

TEST_F(WindowsHandoff, FileHeldOpenForWritingWaitsAndIsTakenOnceClosed) {
    // However the writer shares its handle, the file waits.
    const DWORD shares[] = {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, kShareAll};
    for (const DWORD share : shares) {
        list_.ReplaceFromPhoneLines({});
        Drop("a\t1\r\n");
        Writer writer(reader_.HandoffPath(), share);
        ASSERT_NE(writer.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reader_.Tick(), Result::Waiting) << share;
        EXPECT_TRUE(writer.Write("b\t2\r\n"));
        EXPECT_EQ(reader_.Tick(), Result::Waiting) << share;
        EXPECT_EQ(list_.Count(), 0u);
        writer.Close();
        EXPECT_EQ(reader_.Tick(), Result::Merged) << share;
        EXPECT_EQ(Phones(), (Strings{"a=1", "b=2"}));
        EXPECT_TRUE(NoFilesLeft());
    }

    // A claimed file left behind and held by a writer waits the same way.
    WriteWholeFile(reader_.ClaimedPath(), "c\t3\r\n");
    Writer writer(reader_.ClaimedPath(), kShareAll);
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    EXPECT_TRUE(writer.Write("d\t4\r\n"));
    writer.Close();
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3", "d=4"}));
    EXPECT_TRUE(NoFilesLeft());
}

// Writers that come in between the reader's steps lose no line: the file
// being read cannot be opened for writing nor replaced, so a writer's
// lines go to a new hand-off file, merged at the next tick.
TEST_F(WindowsHandoff, WriterBetweenStepsLosesNothing) {
    Drop("a\t1\r\n");
    bool appendRefused = false, replaceRefused = false;
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s == HandoffReader::Step::Claimed) {
            Writer late(reader_.ClaimedPath(), kShareAll);
            appendRefused = late.h == INVALID_HANDLE_VALUE;
            const fs::path fresh = dir_ / "fresh.tmp";
            WriteWholeFile(fresh, "x\t9\r\n");
            replaceRefused = !MoveFileExW(fresh.c_str(), reader_.ClaimedPath().c_str(),
                                          MOVEFILE_REPLACE_EXISTING);
            fs::remove(fresh);
            // The hand-off name is free again: a new file by rename.
            WriteWholeFile(dir_ / "next.tmp", "b\t2\r\n");
            ASSERT_TRUE(MoveFileExW((dir_ / "next.tmp").c_str(), reader_.HandoffPath().c_str(),
                                    MOVEFILE_REPLACE_EXISTING));
        }
        if (s == HandoffReader::Step::Read) {
            Writer more(reader_.HandoffPath(), FILE_SHARE_READ);
            ASSERT_TRUE(more.Write("c\t3\r\n"));
        }
    });
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_TRUE(appendRefused);
    EXPECT_TRUE(replaceRefused);
    EXPECT_EQ(Phones(), (Strings{"a=1"}));
    reader_.SetStepHook({});
    EXPECT_TRUE(fs::exists(reader_.HandoffPath()));
    EXPECT_FALSE(fs::exists(reader_.ClaimedPath()));
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3"}));
    EXPECT_TRUE(NoFilesLeft());
}

TEST_F(WindowsHandoff, OddFilesBlockNothing) {
    // A folder under the claimed name is cleared away; one under the hand-off
    // name fails the tick without a hang.
    fs::create_directory(reader_.ClaimedPath());
    Drop("a\t1\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    fs::create_directory(reader_.HandoffPath());
    EXPECT_EQ(reader_.Tick(), Result::Failed);
    fs::remove(reader_.HandoffPath());

    // A read-only file is deleted too, and the next one is not held back by it.
    Drop("b\t2\r\n");
    ASSERT_TRUE(SetFileAttributesW(reader_.HandoffPath().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_TRUE(NoFilesLeft());
    Drop("c\t3\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);

    // Deleting the claimed file meanwhile is refused; what was read is merged.
    Drop("d\t4\r\n");
    bool removed = true;
    reader_.SetStepHook([&](HandoffReader::Step s) {
        std::error_code ec;
        if (s == HandoffReader::Step::Read) removed = fs::remove(reader_.ClaimedPath(), ec);
    });
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_FALSE(removed);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3", "d=4"}));
    EXPECT_TRUE(NoFilesLeft());
}

// A program folder named relative to the current folder, as when the
// program's own path cannot be had: the claim stays in that folder.
TEST(WindowsFiles, RelativeProgramFolder) {
    TempFolder dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    fs::create_directory(u8"程序目录");
    RecipientList list;
    HandoffReader reader(list, ProgramFolder(u8"程序目录"));
    WriteWholeFile(reader.HandoffPath(), "a\t1\r\n");
    reader.SetStepHook([&](HandoffReader::Step s) {
        if (s == HandoffReader::Step::Claimed) {
            EXPECT_TRUE(fs::exists(dir / u8"程序目录" / u8"SendGSM.ini.claimed"));
        }
    });
    const Result r = reader.Tick();
    const bool strayClaim = fs::exists(dir / u8"SendGSM.ini.claimed");
    fs::current_path(before);
    EXPECT_EQ(r, Result::Merged);
    EXPECT_FALSE(strayClaim);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_TRUE(fs::is_empty(dir / u8"程序目录"));
}

TEST(WindowsFiles, TemplatesFileUnderItsChineseName) {
    TempFolder dir;
    const ProgramFolder folder(dir / u8"短信");
    fs::create_directory(folder.Path());
    ASSERT_TRUE(CreateTemplatesFile(folder.TemplatesFile()));
    WIN32_FIND_DATAW found{};
    const HANDLE h = FindFirstFileW((folder.Path() / L"*.ini").c_str(), &found);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FindClose(h);
    EXPECT_EQ(std::wstring(found.cFileName), L"\u77ED\u4FE1\u6A21\u677F.ini"); // 短信模板.ini
    EXPECT_EQ(ReadWholeFile(folder.TemplatesFile()), DefaultTemplatesText());
    EXPECT_EQ(ReadTemplateMenu(folder.TemplatesFile()),
              TemplateMenuEntries(SplitLines(DefaultTemplatesText())));
}

// The per-user folder of an installed program comes from the wide
// environment, so a folder name outside the ANSI code page stays whole.
// An installed copy (under Program Files, or in the bin/share layout) keeps its
// files in the user's roaming AppData as Windows names it; any other copy
// (the portable zip) beside itself.
TEST(WindowsFiles, PerUserFolderIsTheRoamingAppData) {
    TempFolder dir;
    fs::create_directories(dir / "usr" / "bin");
    fs::create_directories(dir / "usr" / "share" / "telvoro");
    const auto known = [](const KNOWNFOLDERID& id) {
        PWSTR raw = nullptr;
        EXPECT_TRUE(SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &raw)));
        const fs::path path(raw != nullptr ? raw : L"");
        CoTaskMemFree(raw);
        return path;
    };
    const ProgramFolderChoice perUser{known(FOLDERID_RoamingAppData) / "Telvoro",
                                      ProgramFolderKind::PerUser};
    EXPECT_EQ(ChooseProgramFolderHere(known(FOLDERID_ProgramFiles) / "Telvoro", std::nullopt),
              perUser);
    EXPECT_EQ(ChooseProgramFolderHere(dir / "usr" / "bin", std::nullopt), perUser);
    EXPECT_EQ(ChooseProgramFolderHere(dir / u8"便携", std::nullopt),
              (ProgramFolderChoice{dir / u8"便携", ProgramFolderKind::ExecutableFolder}));
}

#endif
