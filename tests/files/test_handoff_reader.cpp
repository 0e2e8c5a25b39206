#include "tests/files/HandoffTestSupport.h"

#include "core/GbkTexts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace telvoro;
namespace fs = std::filesystem;
using Result = HandoffReader::TickResult;

namespace {

class HandoffTest : public HandoffFixture {
protected:
    static void Append(const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        ASSERT_TRUE(out.is_open());
        out << bytes;
        out.close();
        ASSERT_TRUE(out.good());
    }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(HandoffTest, MergesNameAndPhoneLinesSkippingListedPhones) {
    struct Case {
        std::string bytes;
        Strings phones; // Customer=Phone, after merging into a list holding "old=1"
    } cases[] = {
        {"a\t2\r\nb\t3\r\nc\t2\r\n", {"old=1", "a=2", "b=3"}}, // duplicate within the file
        {"a\t1\r\n", {"old=1"}},                               // duplicate against the list
        {"", {"old=1"}},
        {"\r\n", {"old=1", "="}},                             // blank line: empty name and phone
        {"name only", {"old=1", "name only="}},               // no TAB
        {"a\t2\tthird\r\n", {"old=1", "a=2"}},                // third field ignored
        {"a\t2 \nb\t2\r", {"old=1", "a=2 ", "b=2"}},          // trailing space counts; LF, CR ends
        {std::string("a\t2\r\n\0b\t3", 9), {"old=1", "a=2"}}, // NUL ends the text
    };
    for (const Case& c : cases) {
        list_.ReplaceFromPhoneLines({});
        list_.AddIfNewPhone("old", "1");
        Drop(c.bytes);
        EXPECT_EQ(reader_.Tick(), Result::Merged) << c.bytes;
        EXPECT_EQ(Phones(), c.phones) << c.bytes;
        EXPECT_TRUE(NoFilesLeft());
    }
    EXPECT_EQ(list_.At(1).Status, gbk::kStatusWaiting);
    EXPECT_FALSE(list_.At(1).Checked);
    EXPECT_EQ(list_.At(1).SeqNo, "2");
    EXPECT_EQ(reader_.Tick(), Result::NoFile);

    Drop("x\t1\r\ny\t9\r\n"); // dropped again after deletion
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"old=1", "a=2", "y=9"}));
}

TEST_F(HandoffTest, FileHeldOpenForWritingWaits) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX writer; the share-mode version is in test_windows_files.cpp";
#else
    Drop("a\t1\r\n");
    const int writer = ::open(reader_.HandoffPath().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    ASSERT_EQ(::write(writer, "b\t2\r\n", 5), 5);
    ::close(writer);
    EXPECT_EQ(list_.Count(), 0u);
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2"}));
    EXPECT_TRUE(NoFilesLeft());
#endif
}

// Writers that come in between the reader's steps lose no line.
TEST_F(HandoffTest, WriterBetweenStepsLosesNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "leases and renames over an open file are Linux's; see test_windows_files.cpp";
#else
    // A writer that only writes a file it created finds none after the claim and writes a
    // new one: it waits for the next tick.
    Drop("a\t1\r\n");
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s == HandoffReader::Step::Claimed) Drop("b\t2\r\n");
        if (s == HandoffReader::Step::Merged) Append(reader_.HandoffPath(), "c\t3\r\n");
    });
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1"}));
    reader_.SetStepHook({});
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3"}));

    // A writer that opens the file being read (its open waits for the lease):
    // the claimed file is kept, and merged once the writer has closed it.
    Drop("d\t4\r\n");
    std::thread late;
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s != HandoffReader::Step::Read) return;
        late = std::thread([path = reader_.ClaimedPath()] { Append(path, "e\t5\r\n"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let its open start
    });
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    late.join();
    reader_.SetStepHook({});
    EXPECT_TRUE(fs::exists(reader_.ClaimedPath()));
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3", "d=4", "e=5"}));
    EXPECT_TRUE(NoFilesLeft());

    // A writer that replaces the hand-off file by a rename just before the
    // claim: the name claimed is its new, unread file, which must stay.
    Drop("f\t6\r\n");
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s != HandoffReader::Step::Claimed) return;
        const fs::path fresh = dir_ / "fresh.tmp";
        WriteWholeFile(fresh, "g\t7\r\n");
        fs::rename(fresh, reader_.ClaimedPath());
    });
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    reader_.SetStepHook({});
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3", "d=4", "e=5", "f=6", "g=7"}));
    EXPECT_TRUE(NoFilesLeft());
#endif
}

TEST_F(HandoffTest, ClaimedFileLeftBehindGoesFirst) {
    WriteWholeFile(reader_.ClaimedPath(), "old\t1\r\n");
    Drop("new\t1\r\nnew\t2\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"old=1"}));
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"old=1", "new=2"}));
    EXPECT_TRUE(NoFilesLeft());
}

TEST_F(HandoffTest, ErrorPartWayKeepsFileAndMergedEntries) {
    int calls = 0;
    RecipientList list;
    HandoffReader reader(list, ProgramFolder(dir_.path), [&] {
        if (++calls == 2) throw std::runtime_error("memory exhausted");
    });
    WriteWholeFile(reader.HandoffPath(), "a\t1\r\nb\t2\r\nc\t3\r\n");
    EXPECT_EQ(reader.Tick(), Result::Failed);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_TRUE(fs::exists(reader.ClaimedPath()));
    EXPECT_EQ(reader.Tick(), Result::Merged);
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_FALSE(fs::exists(reader.ClaimedPath()));
}

TEST_F(HandoffTest, StabilityCheckWithoutLeases) {
#ifdef _WIN32
    GTEST_SKIP() << "no leases on Windows: the share mode decides";
#else
    reader_.UseLeases(false);
    Drop("a\t1\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    Append(reader_.HandoffPath(), "b\t2\r\n"); // still growing
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2"}));

    // A writer still holding the claimed file appends after the read: kept.
    Drop("c\t3\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s == HandoffReader::Step::Read) Append(reader_.ClaimedPath(), "d\t4\r\n");
    });
    EXPECT_EQ(reader_.Tick(), Result::Waiting);
    reader_.SetStepHook({});
    while (reader_.Tick() == Result::Waiting) {
    }
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2", "c=3", "d=4"}));
    EXPECT_TRUE(NoFilesLeft());
#endif
}

TEST_F(HandoffTest, OddFilesNeverCrashOrHang) {
#ifdef _WIN32
    GTEST_SKIP() << "FIFOs are Linux's; see test_windows_files.cpp";
#else
    // A folder or a FIFO where the file should be: nothing merged, no hang.
    // Each failure names its own cause, never one left from before.
    const std::string opened = "无法打开文件“" + PathText(reader_.HandoffPath()) + "”：";
    fs::create_directory(reader_.HandoffPath());
    EXPECT_EQ(reader_.Tick(), Result::Failed);
    EXPECT_EQ(reader_.LastFailure(), opened + ReasonText(EISDIR));
    fs::remove(reader_.HandoffPath());
    ASSERT_EQ(::mkfifo(reader_.HandoffPath().c_str(), 0644), 0);
    EXPECT_EQ(reader_.Tick(), Result::Failed);
    EXPECT_EQ(reader_.LastFailure(), opened + "不是普通文件");
    fs::remove(reader_.HandoffPath());
    EXPECT_EQ(list_.Count(), 0u);

    // The file vanishes after the claim: what was opened is still merged.
    Drop("a\t1\r\n");
    reader_.SetStepHook([&](HandoffReader::Step s) {
        if (s == HandoffReader::Step::Claimed) fs::remove(reader_.ClaimedPath());
    });
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    reader_.SetStepHook({});
    EXPECT_EQ(Phones(), (Strings{"a=1"}));

    // A million blank lines: one entry (empty phone); junk and huge lines.
    Drop(std::string(1'000'000, '\n'));
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(list_.Count(), 2u);
    std::mt19937 rng(3);
    std::string junk(1 << 20, '\0');
    for (char& b : junk)
        b = static_cast<char>(rng());
    Drop(junk);
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    Drop(std::string(10'000'000, '\x81') + "\t\xFE");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(list_.At(list_.Count() - 1).Phone, "\xFE");
    EXPECT_TRUE(NoFilesLeft());
#endif
}

TEST_F(HandoffTest, HeldBackAndNestedTicksDoNothing) {
    Drop("a\t1\r\n");
    reader_.SetHeldBack(true);
    EXPECT_EQ(reader_.Tick(), Result::HeldBack);
    EXPECT_TRUE(fs::exists(reader_.HandoffPath()));
    reader_.SetHeldBack(false);

    Result nested = Result::NoFile;
    RecipientList list;
    HandoffReader* self = nullptr;
    HandoffReader reader(list, ProgramFolder(dir_.path), [&] { nested = self->Tick(); });
    self = &reader;
    EXPECT_EQ(reader.Tick(), Result::Merged);
    EXPECT_EQ(nested, Result::HeldBack);
    EXPECT_EQ(list.Count(), 1u);
}

// Only the text is read: a sparse file of 4 GB costs one piece, and a text
// larger than any hand-off is refused and set aside, so the next one goes on.
TEST_F(HandoffTest, ReadsOnlyTheTextAndSetsAsideTooLargeFiles) {
    reader_.SetTextLimit(1000);
    std::vector<std::string> notices;
    reader_.SetNoticeHook([&](const std::string& text) { notices.push_back(text); });
    const std::string tooLarge =
        "无法打开文件“" + PathText(reader_.ClaimedPath()) + "”：文件超过 1000 字节";
    struct Case {
        std::string bytes;
        std::uintmax_t size; // when larger: a hole after the bytes
        Result result;
        std::string failure;
        Strings phones; // the list after the tick
    } cases[] = {
#ifndef _WIN32 // sparse files of 4 GB; Windows would write out the zeros
        {"", std::uintmax_t{4} << 30, Result::Merged, "", {}},
        {"a\t1\r\n", std::uintmax_t{4} << 30, Result::Merged, "", {"a=1"}},
#else
        {"a\t1\r\n", 0, Result::Merged, "", {"a=1"}},
#endif
        // Exactly the limit; a line without TAB is a name alone.
        {"b\t2\r\n" + std::string(995, 'x'), 0, Result::Merged, "",
         Strings{"a=1", "b=2", std::string(995, 'x') + "="}},
        {"c\t3\r\n" + std::string(996, 'x'), 0, Result::Failed, tooLarge, {}},
        {"d\t4\r\n" + std::string(2000, 'x'), 0, Result::Failed, tooLarge, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 8) + " size " + std::to_string(c.size));
        const Strings before = Phones();
        notices.clear();
        Drop(c.bytes);
        if (c.size > c.bytes.size()) fs::resize_file(reader_.HandoffPath(), c.size);
        EXPECT_EQ(reader_.Tick(), c.result);
        EXPECT_EQ(reader_.LastFailure(), c.failure);
        EXPECT_TRUE(NoFilesLeft());
        if (c.result == Result::Merged) {
            EXPECT_EQ(Phones(), c.phones);
            EXPECT_TRUE(notices.empty());
        } else {
            EXPECT_EQ(Phones(), before);
            ASSERT_EQ(notices.size(), 1u);
            EXPECT_NE(notices[0].find("set aside as"), std::string::npos) << notices[0];
        }
    }
    // The refused files wait under names of their own, bytes unchanged.
    EXPECT_EQ(fs::file_size(dir_ / "SendGSM.ini.set-aside.1"), 1001u);
    EXPECT_EQ(fs::file_size(dir_ / "SendGSM.ini.set-aside.2"), 2005u);
    Drop("f\t6\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones().back(), "f=6");
}

// Under a claimed name, only the program's own file is merged. Anything else
// is set aside, or skipped where it cannot be moved, told once; the new
// hand-off file is merged all the same.
TEST_F(HandoffTest, ClaimedNamesNotOursNeverMergedNorBlocking) {
#ifdef _WIN32
    GTEST_SKIP() << "owners, links and FIFOs are POSIX's; see test_windows_files.cpp";
#else
    ASSERT_EQ(::chmod(dir_.path.c_str(), 01777), 0); // a shared, sticky folder
    const fs::path claimed = reader_.ClaimedPath();
    const fs::path lines = dir_ / "lines.txt";
    WriteWholeFile(lines, "x\t9\r\n");
    std::vector<std::string> notices;
    reader_.SetNoticeHook([&](const std::string& text) { notices.push_back(text); });
    struct Case {
        std::string what; // told
        std::function<void()> make;
    } cases[] = {
        {"a file of another user (uid 65534)",
         [&] {
             WriteWholeFile(claimed, "x\t9\r\n");
             ASSERT_EQ(::chown(claimed.c_str(), 65534, 65534), 0);
         }},
        {"a symbolic link", [&] { fs::create_symlink(lines, claimed); }},
        {"a symbolic link", [&] { fs::create_symlink(dir_ / "nowhere", claimed); }},
        {"a folder", [&] { fs::create_directory(claimed); }},
        {"not a regular file", [&] { ASSERT_EQ(::mkfifo(claimed.c_str(), 0644), 0); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ++n;
        c.make();
        Drop("a\t" + std::to_string(n) + "\r\n");
        notices.clear();
        EXPECT_EQ(reader_.Tick(), Result::Merged);
        EXPECT_EQ(Phones().back(), "a=" + std::to_string(n));
        EXPECT_TRUE(NoFilesLeft());
        const fs::path aside = dir_ / ("SendGSM.ini.set-aside." + std::to_string(n));
        EXPECT_TRUE(fs::exists(fs::symlink_status(aside)));
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0], "“" + PathText(claimed) + "” is " + c.what + ": set aside as “" +
                                  PathText(aside) + "”");
    }
    EXPECT_EQ(Phones(), (Strings{"a=1", "a=2", "a=3", "a=4", "a=5"}));
    EXPECT_EQ(ReadWholeFile(lines), "x\t9\r\n");

    // A reader that is not root cannot move another user's file out of a
    // sticky folder: skipped, told once, the claim takes the spare name, and
    // the reader's own claimed file left there goes first.
    WriteWholeFile(claimed, "x\t9\r\n");
    ASSERT_EQ(::chown(claimed.c_str(), 65534, 65534), 0);
    const int failed = RunInChild(
        [&] {
            RecipientList list;
            const ProgramFolder folder(dir_.path);
            HandoffReader reader(list, folder);
            int told = 0;
            reader.SetNoticeHook([&](const std::string& text) {
                told += text.find("skipped, as it cannot be set aside (" + ReasonText(EPERM)) !=
                        std::string::npos;
            });
            WriteWholeFile(folder.ClaimedHandoffFile(1), "own\t1\r\n");
            WriteWholeFile(reader.HandoffPath(), "new\t2\r\n");
            const Result first = reader.Tick(), second = reader.Tick(), third = reader.Tick();
            if (first != Result::Merged || second != Result::Merged) return 1;
            if (third != Result::NoFile || told != 1) return 2;
            if (list.Count() != 2 || list.At(0).Phone != "1" || list.At(1).Phone != "2") return 3;
            if (fs::exists(folder.ClaimedHandoffFile(1)) || fs::exists(reader.HandoffPath()))
                return 4;
            return ReadWholeFile(reader.ClaimedPath()) == "x\t9\r\n" ? 0 : 5;
        },
        {.uid = 65533});
    EXPECT_EQ(failed, 0);
#endif
}
