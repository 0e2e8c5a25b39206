#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/RecipientList.h"
#include "files/HandoffReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace telvoro;
namespace fs = std::filesystem;
using Result = HandoffReader::TickResult;

namespace {

class HandoffTest : public ::testing::Test {
protected:
    HandoffTest() { fs::create_directories(dir_); }
    ~HandoffTest() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void Drop(const std::string& bytes) { WriteWholeFile(reader_.HandoffPath(), bytes); }
    static void Append(const fs::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        ASSERT_TRUE(out.is_open());
        out << bytes;
        out.close();
        ASSERT_TRUE(out.good());
    }
    std::vector<std::string> Phones() const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < list_.Count(); ++i)
            out.push_back(list_.At(i).Customer + "=" + list_.At(i).Phone);
        return out;
    }
    bool NoFilesLeft() const {
        return !fs::exists(reader_.HandoffPath()) && !fs::exists(reader_.ClaimedPath());
    }

    static fs::path NewDir() {
        std::random_device rd;
        return fs::temp_directory_path() / ("telvoro-ho-" + std::to_string(rd()));
    }

    fs::path dir_ = NewDir();
    RecipientList list_;
    HandoffReader reader_{list_, ProgramFolder(dir_)};
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

TEST_F(HandoffTest, JunkUnderTheClaimedNameBlocksNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows; see test_windows_files.cpp";
#else
    fs::create_directory(reader_.ClaimedPath());
    Drop("a\t1\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    fs::create_symlink(dir_ / "nowhere", reader_.ClaimedPath());
    Drop("b\t2\r\n");
    EXPECT_EQ(reader_.Tick(), Result::Merged);
    EXPECT_EQ(Phones(), (Strings{"a=1", "b=2"}));
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
    HandoffReader reader(list, ProgramFolder(dir_), [&] {
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
    fs::create_directory(reader_.HandoffPath());
    EXPECT_EQ(reader_.Tick(), Result::Failed);
    fs::remove(reader_.HandoffPath());
    ASSERT_EQ(::mkfifo(reader_.HandoffPath().c_str(), 0644), 0);
    EXPECT_EQ(reader_.Tick(), Result::Failed);
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
    HandoffReader reader(list, ProgramFolder(dir_), [&] { nested = self->Tick(); });
    self = &reader;
    EXPECT_EQ(reader.Tick(), Result::Merged);
    EXPECT_EQ(nested, Result::HeldBack);
    EXPECT_EQ(list.Count(), 1u);
}
