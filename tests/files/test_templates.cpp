#include "files/ProgramFolder.h"
#include "files/Templates.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/TextRules.h"
#include "tests/support/DefaultTemplates.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace telvoro;
using namespace std::string_literals;

using namespace telvoro::testing;

namespace {

// 快乐
const std::string kHappy = "\xBF\xEC\xC0\xD6";

} // namespace

TEST(Templates, DefaultFileBytesAndItsMenu) {
    TempFolder dir;
    const fs::path file = ProgramFolder(dir.path).TemplatesFile();
    EXPECT_TRUE(file.filename().u8string() == u8"短信模板.ini"); // UTF-8 on disk
    ASSERT_TRUE(CreateTemplatesFile(file));

    const std::string bytes = ReadWholeFile(file);
    // The nine lines, each ending in CR LF, and nothing else.
    const std::string expected =
        "[\xD7\xA2\xD2\xE2\xC3\xBF\xCC\xF5\xB6\xCC\xD0\xC5\xD6\xBB\xC4\xDC\xD0\xB4\xD2\xBB\xD0\xD0"
        "\xA3\xAC\xB2\xBB\xC4\xDC\xCA\xB9\xD3\xC3\xD7\xD4\xB6\xAF\xBB\xBB\xD0\xD0\xA3\xAC\xB1\xEA"
        "\xCC\xE2\xBA\xCD\xC4\xDA\xC8\xDD\xD3\xC3\xB5\xC8\xBA\xC5\xB7\xD6\xBF\xAA]\r\n"
        "[\xC3\xBF\xB4\xCE\xD0\xDE\xB8\xC4\xC4\xA3\xB0\xE5\xBA\xF3\xB7\xA2\xCB\xCD\xB6\xCC\xD0\xC5"
        "\xB5\xC4\xB4\xB0\xBF\xDA\xD6\xD8\xD0\xC2\xC6\xF4\xB6\xAF\xBA\xF3\xC9\xFA\xD0\xA7\xA1\xA3]"
        "\r\n" +
        kBirthday + "=" + kBirthdayText + "\r\n" + kArrears +
        "=\r\n"
        "\xCE\xE5\xD2\xBB\xBF\xEC\xC0\xD6=\r\n"  // 五一快乐=
        "\xB9\xFA\xC7\xEC\xBF\xEC\xC0\xD6=\r\n"  // 国庆快乐=
        "\xD4\xAA\xB5\xA9\xBF\xEC\xC0\xD6=\r\n"  // 元旦快乐=
        "\xCA\xA5\xB5\xAE\xBD\xDA=\r\n"          // 圣诞节=
        "\xB4\xBA\xBD\xDA\xBF\xEC\xC0\xD6=\r\n"; // 春节快乐=
    EXPECT_EQ(bytes, expected);

    EXPECT_EQ(ReadTemplateMenu(file), kDefaultMenu);

    EXPECT_EQ(LookUpTemplate(file, kBirthday), kBirthdayText);
    EXPECT_EQ(LookUpTemplate(file, kArrears), "");

    // An existing file is never changed, whatever it holds.
    WriteWholeFile(file, "mine");
    EXPECT_FALSE(CreateTemplatesFile(file));
    EXPECT_EQ(ReadWholeFile(file), "mine");
}

TEST(Templates, MenuEntriesFromOddLines) {
    const std::vector<std::string> lines = {"note", "=no title", "a=b=c", "", "x==", " t = v "};
    const std::vector<TemplateMenuEntry> want = {
        {"Menu_1", ""}, {"Menu_2", "a"}, {"Menu_4", "x"}, {"Menu_5", " t "}};
    EXPECT_EQ(TemplateMenuEntries(lines), want);
}

TEST(Templates, LookUpTakesTheFirstLineHoldingTheCaption) {
    const std::vector<std::string> lines = SplitLines(
        DefaultTemplatesText() + kHappy + "=own\r\n" + "A=first=second\r\n" + "dup=one\r\n" +
        "dup=two\r\n" + "sp=  padded  \r\n" + "=orphan\r\n" + "bare\r\n");
    struct Case {
        const char* name;
        std::string caption;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"found in an earlier line", kHappy, kBirthdayText},
        {"earlier note line has no content", "\xD7\xA2\xD2\xE2", ""}, // 注意
        {"cut at a second =", "A", "first"},
        {"first of two equal titles", "dup", "one"},
        {"spaces of a content stay", "sp", "  padded  "},
        {"empty caption matches nothing", "", std::nullopt},
        {"no line holds it", "\xCE\xDE", std::nullopt},
        {"line without = gives empty", "bare", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindTemplateContent(lines, c.caption), c.expected) << c.name;
}

TEST(Templates, BadFiles) {
    TempFolder dir;
    const fs::path file = ProgramFolder(dir.path).TemplatesFile();
    // Missing at start: no entries; vanished before a choice: the open error.
    EXPECT_TRUE(ReadTemplateMenu(file).empty());
    EXPECT_EQ(ErrorOf([&] { LookUpTemplate(file, "a"); }).find("无法打开文件"), 0u);

    // Junk, NULs (the text ends there), a very long line, a million lines.
    WriteWholeFile(file, "\xFF\xFE=\x80\r\na=1\0b=2\r\n"s);
    EXPECT_EQ(ReadTemplateMenu(file).size(), 2u);
    EXPECT_EQ(LookUpTemplate(file, "b"), std::nullopt);
    std::string big = "t=" + std::string(5'000'000, 'x') + "\r\n";
    for (int i = 0; i < 1'000'000; ++i)
        big += "k" + std::to_string(i) + "=v\n";
    WriteWholeFile(file, big);
    const auto menu = ReadTemplateMenu(file);
    ASSERT_EQ(menu.size(), 1'000'001u);
    EXPECT_EQ(menu.back(), (TemplateMenuEntry{"Menu_1000000", "k999999"}));
    EXPECT_EQ(LookUpTemplate(file, "k999999"), "v");
    EXPECT_EQ(LookUpTemplate(file, "t")->size(), 5'000'000u);

    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(CreateTemplatesFile(file));
    EXPECT_THROW(ReadTemplateMenu(file), Error);
#ifndef _WIN32
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_THROW(ReadTemplateMenu(file), Error); // not a hang
    EXPECT_THROW(LookUpTemplate(file, "a"), Error);
#endif
    // A folder that cannot take the file: the creation error reaches the caller.
    EXPECT_THROW(CreateTemplatesFile(ProgramFolder(dir.path / "absent").TemplatesFile()), Error);
}

// A GBK file must never be taken for UTF-8, even when its bytes happen to be
// valid UTF-8; a UTF-8 file is recognised even when its bytes happen to be
// valid GBK.
TEST(Templates, EncodingDetection) {
    using enum TemplatesEncoding;
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        const char* name;
        std::string bytes;
        TemplatesEncoding expected;
    };
    const Case cases[] = {
        {"default file in GBK", DefaultTemplatesText(), Gbk},
        {"default lines in UTF-8, LF", DefaultLinesUtf8("\n"), Utf8},
        {"default lines in UTF-8, CR LF", DefaultLinesUtf8("\r\n"), Utf8},
        {"default lines in UTF-8 with BOM", bom + DefaultLinesUtf8("\n"), Utf8},
        {"BOM before GBK bytes", bom + DefaultTemplatesText(), Gbk},
        {"ASCII only", "a=b\r\nc=d\r\n", Gbk},
        {"empty", "", Gbk},
        {"BOM only", bom, Utf8},
        // 模= in GBK is also the UTF-8 of "ģ=": not Chinese, so GBK.
        {"GBK that is UTF-8 Latin", "\xC4\xA3=", Gbk},
        // 涓板鞍 in GBK is also the UTF-8 of 丰尰, but it reads as GB2312 hanzi.
        {"GBK that is UTF-8 hanzi", "\xE4\xB8\xB0\xE5\xB0\xB0=", Gbk},
        // 閷抂 in GBK is also the UTF-8 of 錒[; its second trail byte is "[".
        {"GBK-only hanzi with an ASCII trail", "\xE9\x8C\x92[=", Gbk},
        {"GBK title and content", "\xD6\xD0\xCE\xC4=\xC4\xE3\xBA\xC3", Gbk}, // 中文=你好
        {"UTF-8 one hanzi", reinterpret_cast<const char*>(u8"节="), Utf8},
        // 春节= in UTF-8 is also valid GBK (鏄ヨ妭), but not GB2312 hanzi.
        {"UTF-8 that is GBK", reinterpret_cast<const char*>(u8"春节="), Utf8},
        {"UTF-8 that is GBK too", reinterpret_cast<const char*>(u8"中文="), Utf8},
        {"UTF-8 full-width punctuation", reinterpret_cast<const char*>(u8"a=，。"), Utf8},
        {"invalid UTF-8 overlong", "\xC0\xAF=", Gbk},
        {"junk", "\xFF\xFE=\x80", Gbk},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DetectTemplatesEncoding(c.bytes), c.expected) << c.name;

    // Only a UTF-8 file goes through the converter, without its BOM.
    const TemplatesConverter mark = [](std::string_view utf8) {
        return "<" + std::string(utf8) + ">";
    };
    EXPECT_EQ(TemplatesText(bom + "\xE8\x8A\x82=", mark), "<\xE8\x8A\x82=>");
    EXPECT_EQ(TemplatesText(DefaultTemplatesText(), mark), DefaultTemplatesText());
    EXPECT_EQ(TemplatesText(bom + "\xE8\x8A\x82=", {}), bom + "\xE8\x8A\x82=");
}
