// The Windows branches of the whole-file reading and writing: share modes,
// wide file names and the replacement by one rename. Built everywhere, run on
// Windows (under Wine in the test run).
#ifdef _WIN32

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/RecipientList.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/OtherHandle.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace telvoro;
namespace fs = std::filesystem;

namespace {

std::uint64_t FileId(const fs::path& path) {
    const OtherHandle h(path, FILE_READ_ATTRIBUTES, kShareAll);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.h, &info)) return 0;
    return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

} // namespace

TEST(WindowsFileIO, ReadErrorsGiveTheStatedTexts) {
    TempFolder dir;
    const fs::path file = dir / u8"名单.dat";
    WriteWholeFile(file, "a\t1\r\n");
    auto opened = [](const fs::path& p, const std::string& reason) {
        return "无法打开文件“" + PathText(p) + "”：" + reason;
    };
    EXPECT_EQ(ErrorOf([&] { ReadWholeFile(dir / u8"没有.dat"); }),
              opened(dir / u8"没有.dat", ReasonText(ENOENT)));
    // The name in the message is UTF-8, not the ANSI code page's guess.
    EXPECT_NE(ErrorOf([&] { ReadWholeFile(dir / u8"没有.dat"); }).find("\\没有.dat"),
              std::string::npos);
    EXPECT_EQ(ErrorOf([&] { ReadWholeFile(dir.path); }), opened(dir.path, ReasonText(EISDIR)));
    // A device is not read, however it answers.
    EXPECT_EQ(ErrorOf([&] { ReadWholeFile("NUL"); }), opened("NUL", "不是普通文件"));

    // Held open for writing, even by a writer that lets others write too.
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, kShareAll}) {
        OtherHandle writer(file, GENERIC_WRITE, share);
        ASSERT_NE(writer.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ErrorOf([&] { ReadWholeFile(file); }), opened(file, ReasonText(EACCES)));
        writer.Close();
        EXPECT_EQ(ReadWholeFile(file), "a\t1\r\n");
    }
    // Other readers do not stop it.
    OtherHandle reader(file, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWholeFile(file), "a\t1\r\n");
}

TEST(WindowsFileIO, ChineseNamesRoundTrip) {
    TempFolder dir;
    const std::string gbk = "\xD5\xC5\xC8\xFD\t13800138000\r\n"; // 张三
    for (const char8_t* name : {u8"短信模板.ini", u8"客户名单 (二).dat", u8"子目录/名单.dat"}) {
        const fs::path file = dir / name;
        fs::create_directories(file.parent_path());
        WriteWholeFile(file, gbk);
        // The wide name is on disk, not its bytes taken as an ANSI code page.
        WIN32_FIND_DATAW found{};
        const HANDLE h = FindFirstFileW(file.c_str(), &found);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << PathText(file);
        FindClose(h);
        EXPECT_EQ(fs::path(found.cFileName), file.filename());
        EXPECT_EQ(ReadWholeFile(file), gbk);
    }

    // A recipient list saved and loaded under such a name.
    RecipientList list;
    list.AddIfNewPhone("\xD5\xC5\xC8\xFD", "13800138000");
    list.AddIfNewPhone("x", "1");
    list.SaveList(dir / u8"发送名单.dat");
    RecipientList loaded;
    loaded.LoadList(dir / u8"发送名单.dat");
    ASSERT_EQ(loaded.Count(), 2u);
    EXPECT_EQ(loaded.At(0).Customer, "\xD5\xC5\xC8\xFD");
    EXPECT_EQ(loaded.At(1).Phone, "1");
}

TEST(WindowsFileIO, SaveReplacesInOneStepAndAFailedSaveLeavesTheFileWhole) {
    TempFolder dir;
    const fs::path file = dir / u8"名单.dat";
    WriteWholeFile(file, "old\r\n");
    WriteWholeFile(file, "newer\r\n"); // over an existing file
    EXPECT_EQ(ReadWholeFile(file), "newer\r\n");
    // Not rewritten in place: a new file of the whole bytes took the name.
    const std::uint64_t before = FileId(file);
    WriteWholeFile(file, "newest\r\n");
    EXPECT_NE(FileId(file), before);
    EXPECT_EQ(ReadWholeFile(file), "newest\r\n");
    EXPECT_EQ(dir.Names(), std::vector<fs::path>{file.filename()});

    // Held by a program that does not let it be replaced: the save fails with
    // the stated text, the old file stays whole and no temporary file is left.
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
        OtherHandle holder(file, GENERIC_READ, share);
        ASSERT_NE(holder.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ErrorOf([&] { WriteWholeFile(file, "lost\r\n"); }),
                  "无法创建文件“" + PathText(file) + "”：" + ReasonText(EACCES));
        holder.Close();
        EXPECT_EQ(ReadWholeFile(file), "newest\r\n");
        EXPECT_EQ(dir.Names(), std::vector<fs::path>{file.filename()});
    }

    // The read-only attribute.
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ErrorOf([&] { WriteWholeFile(file, "lost\r\n"); }),
              "无法创建文件“" + PathText(file) + "”：" + ReasonText(EACCES));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(ReadWholeFile(file), "newest\r\n");
    EXPECT_EQ(dir.Names(), std::vector<fs::path>{file.filename()});
}

#endif
