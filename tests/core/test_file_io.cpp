#include "core/Error.h"
#include "core/FileIO.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace telvoro;
namespace fs = std::filesystem;

using Names = std::vector<fs::path>;

// Text is read only as far as it goes: up to its first NUL, a first line up
// to its end, and never past the limit, whatever the file's size.
TEST(FileIO, ReadingStopsAtTheTextAndTheLimit) {
    TempFolder dir;
    const fs::path file = dir / "f";
    const std::string opened = "无法打开文件“" + PathText(file) + "”：";
    const std::string tooLarge = opened + "文件超过 16 字节";
    const std::string lineTooLong = opened + "第一行超过 16 字节";
    struct Case {
        std::string bytes;
        std::uintmax_t size;   // when larger: a sparse file, a hole after the bytes
        std::string text;      // ReadText with a limit of 16, or its error
        std::string firstLine; // ReadFirstLine with a limit of 16, or its error
    } cases[] = {
        {"ab\r\ncd", 0, "ab\r\ncd", "ab\r"},
        {"ab\ncd", 0, "ab\ncd", "ab\n"},
        {"", 0, "", ""},
        {std::string("ab\0cd", 5), 0, "ab", "ab"},
        {std::string(16, 'x'), 0, std::string(16, 'x'), std::string(16, 'x')},
        {std::string(17, 'x'), 0, tooLarge, lineTooLong},
        {"x\r\n" + std::string(100'000, 'y'), 0, tooLarge, "x\r"},
        {std::string(200'000, 'y') + '\0', 0, tooLarge, lineTooLong},
#ifndef _WIN32 // a sparse file of 4 GB; Windows would write out its zeros
        {"a\tb\r\n", std::uintmax_t{4} << 30, "a\tb\r\n", "a\tb\r"},
        {"", std::uintmax_t{4} << 30, "", ""},
#endif
    };
    auto textOf = [](const std::function<std::string()>& read) {
        try {
            return read();
        } catch (const FileTooLarge& e) {
            return std::string(e.what());
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 20) + " size " + std::to_string(c.size));
        WriteWholeFile(file, c.bytes);
        if (c.size > c.bytes.size()) fs::resize_file(file, c.size);
        EXPECT_EQ(textOf([&] { return ReadText(file, 16); }), c.text);
        EXPECT_EQ(textOf([&] { return ReadFirstLine(file, 16); }), c.firstLine);
    }
    // The whole bytes, NULs included, under the same limit.
    WriteWholeFile(file, std::string("a\0b", 3));
    EXPECT_EQ(ReadWholeFile(file, {}, 3), std::string("a\0b", 3));
    EXPECT_EQ(textOf([&] { return ReadWholeFile(file, {}, 2); }), opened + "文件超过 2 字节");
}

// Saving through a symbolic link replaces the file it leads to, in one step,
// and the link stays; account data is made for its owner alone.
TEST(FileIO, WritingThroughLinksAndModes) {
#ifdef _WIN32
    GTEST_SKIP() << "links need a privilege on Windows, and there are no modes";
#else
    TempFolder dir;
    fs::create_directory(dir / "shared");
    WriteWholeFile(dir / "shared" / "list.dat", "old\r\n");
    struct Case {
        fs::path link, target, real;
    } cases[] = {
        {"abs.dat", dir / "shared" / "list.dat", dir / "shared" / "list.dat"},
        {"rel.dat", "shared/list.dat", dir / "shared" / "list.dat"},
        {"chain.dat", "abs.dat", dir / "shared" / "list.dat"},
        {"dangling.dat", "shared/new.dat", dir / "shared" / "new.dat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        const fs::path link = dir / c.link;
        fs::create_symlink(c.target, link);
        WriteWholeFile(link, c.link.string());
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), c.target);
        EXPECT_EQ(ReadWholeFile(c.real), c.link.string());
        EXPECT_EQ(ReadWholeFile(link), c.link.string());
    }
    // No temporary file is left beside the targets.
    EXPECT_EQ(dir.Names("shared"), (Names{"list.dat", "new.dat"}));

    const mode_t umask = ::umask(0);
    ::umask(umask);
    using P = fs::perms;
    struct ModeCase {
        P before; // P::unknown: no file before
        FileAccess access;
        P after;
    } modes[] = {
        {P::unknown, FileAccess::Usual, static_cast<P>(0666 & ~umask)},
        {static_cast<P>(0640), FileAccess::Usual, static_cast<P>(0640)},
        {P::unknown, FileAccess::OwnerOnly, static_cast<P>(0600)},
        {static_cast<P>(0644), FileAccess::OwnerOnly, static_cast<P>(0600)},
    };
    const fs::path file = dir / "mode.ini";
    for (const ModeCase& m : modes) {
        SCOPED_TRACE(static_cast<int>(m.before));
        fs::remove(file);
        if (m.before != P::unknown) {
            WriteWholeFile(file, "old");
            fs::permissions(file, m.before);
        }
        WriteWholeFile(file, "new", m.access);
        EXPECT_EQ(fs::status(file).permissions(), m.after);
        EXPECT_EQ(ReadWholeFile(file), "new");
    }
#endif
}

TEST(FileIO, ReadingRefusesWhatIsNotARegularFile) {
#ifdef _WIN32
    GTEST_SKIP() << "FIFOs and /dev are Linux's; see test_windows_file_io.cpp";
#else
    TempFolder dir;
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // No writer ever opens the pipe: reading must fail at once, not wait.
    EXPECT_NE(ErrorOf([&] { ReadWholeFile(fifo); }).find("不是普通文件"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { ReadWholeFile("/dev/zero"); }).find("不是普通文件"), std::string::npos);
    const std::string missing = ErrorOf([&] { ReadWholeFile(dir / "none.dat"); });
    EXPECT_EQ(missing, "无法打开文件“" + PathText(dir / "none.dat") + "”：" + ReasonText(ENOENT));
    EXPECT_NE(ErrorOf([&] { ReadWholeFile(dir.path); }).find(ReasonText(EISDIR)),
              std::string::npos);
#endif
}

TEST(FileIO, StopAfterReadsOnlyTheStart) {
    TempFolder dir;
    std::string big = "first line\r\n" + std::string(5'000'000, 'x');
    WriteWholeFile(dir / "big", big);
    const std::string start = ReadWholeFile(dir / "big", "\r\n");
    EXPECT_LT(start.size(), 100'000u);
    EXPECT_EQ(start.substr(0, 12), "first line\r\n");
    EXPECT_EQ(ReadWholeFile(dir / "big"), big);
}

TEST(FileIO, AFailedWriteLeavesTheOldFile) {
    TempFolder dir;
    const fs::path file = dir / "list.dat";
    WriteWholeFile(file, "old\r\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_NE(ErrorOf([&] { WriteWholeFile(file, "new\r\n"); }).find("无法创建文件"),
              std::string::npos);
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(ReadWholeFile(file), "old\r\n");
    EXPECT_NE(ErrorOf([&] { WriteWholeFile(dir / "no" / "such.dat", "x"); }).find("无法创建文件"),
              std::string::npos);
    WriteWholeFile(file, "");
    EXPECT_EQ(fs::file_size(file), 0u);
    // Nothing but the file itself is left beside it.
    EXPECT_EQ(dir.Names(), Names{"list.dat"});
}

// A write that fails part-way (a full disk) leaves the old file byte for byte,
// names the file and the reason, and leaves no temporary file beside it.
TEST(FileIO, AWriteFailingAtAnyByteKeepsTheOldFileWhole) {
    TempFolder dir;
    const fs::path file = dir / "list.dat";
    const std::string old = "old\tfile\r\n\xB4\xFD\xB7\xA2\r\n";
    const std::string next(100'000, 'n');
    const std::string reason = "写入文件“" + PathText(file) + "”时出错：" + ReasonText(ENOSPC);
    struct Case {
        std::size_t failAt;
        bool oldFile;
    } cases[] = {{0, true}, {1, true}, {50'000, true}, {99'999, true}, {0, false}, {5, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failAt);
        fs::remove(file);
        if (c.oldFile) WriteWholeFile(file, old);
        {
            WriteFault fault(c.failAt);
            EXPECT_EQ(ErrorOf([&] { WriteWholeFile(file, next); }), reason);
        }
        if (c.oldFile)
            EXPECT_EQ(ReadWholeFile(file), old);
        else
            EXPECT_FALSE(fs::exists(file));
        EXPECT_EQ(dir.Names(), c.oldFile ? Names{"list.dat"} : Names{});
    }
    // The fault counts bytes over all writes and ends with its scope.
    {
        WriteFault fault(next.size() + 3, EIO);
        WriteWholeFile(file, next);
        WriteWholeFile(file, "abc");
        EXPECT_EQ(ErrorOf([&] { WriteWholeFile(file, "d"); }),
                  "写入文件“" + PathText(file) + "”时出错：" + ReasonText(EIO));
        WriteWholeFile(file, ""); // nothing to write: nothing fails
    }
    WriteWholeFile(file, next);
    EXPECT_EQ(ReadWholeFile(file), next);
}
