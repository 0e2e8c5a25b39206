#include "core/Error.h"
#include "core/FileIO.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace telvoro;
namespace fs = std::filesystem;

namespace {} // namespace

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
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
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
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()),
                  c.oldFile ? 1 : 0);
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
