#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <gtest/gtest.h>

using namespace telvoro;

namespace {
// 欠款提示, 快乐, full-width digits and the full-width space in GBK.
const std::string kQianKuan = "\xC7\xB7\xBF\xEE\xCC\xE1\xCA\xBE";
const std::string kFullWidth138 = "\xA3\xB1\xA3\xB3\xA3\xB8";
const std::string kFullSpace = "\xA1\xA1";
} // namespace

TEST(TextRules, GetFieldCutsAtTheSeparator) {
    struct Case {
        std::string text;
        char sep;
        int n;
        std::string want;
    };
    const Case cases[] = {
        {"name\t13800138000", '\t', 1, "name"},
        {"name\t13800138000", '\t', 2, "13800138000"},
        {"name\t13800138000", '\t', 3, ""},
        {"name\t13800138000\t", '\t', 2, "13800138000"},
        {"name\t13800138000\t", '\t', 3, ""},
        {"x\t\tz", '\t', 2, ""},
        {"x\t\tz", '\t', 3, "z"},
        {"\ty", '\t', 1, ""},
        {"\ty", '\t', 2, "y"},
        {kQianKuan + "=", '=', 1, kQianKuan},
        {kQianKuan + "=", '=', 2, ""},
        {"title=text=more", '=', 2, "text"},
        {"no separator", '=', 1, "no separator"},
        {"no separator", '=', 2, ""},
        {"", '=', 1, ""},
        {"", '=', 2, ""},
        {"a=b", '=', 0, ""},
        {"a=b", '=', -1, ""},
        {" a \t b ", '\t', 2, " b "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetField(c.text, c.sep, c.n), c.want) << c.text << " field " << c.n;
}

TEST(TextRules, ReplaceAllIsCaseBlindAndNeverCascades) {
    struct Case {
        std::string text, pattern, replacement, want;
    };
    const Case cases[] = {
        {"a1b1c1", "1", "-", "a-b-c-"},
        {"aXbxc", "x", "yy", "ayybyyc"},
        {"xx", "x", "xx", "xxxx"}, // the replacement is not searched again
        {"", "x", "y", ""},
        {"abc", "", "y", "abc"},
        {"ABC", "b", "_", "A_C"},
        // "\xB0\x61" is one character whose trail byte looks like "a": no match inside it.
        {"\xB0\x61"
         "a",
         "a", "!", "\xB0\x61!"},
        // Upper-casing must not touch trail bytes: "\xB0\x41" is not "\xB0\x61".
        {"\xB0\x61", "\xB0\x41", "!", "\xB0\x61"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReplaceAll(c.text, c.pattern, c.replacement), c.want) << c.text;
}

TEST(TextRules, IsNumberAndGetOkTel) {
    EXPECT_TRUE(IsNumber(""));
    EXPECT_TRUE(IsNumber("0123456789"));
    for (const std::string& bad :
         std::vector<std::string>{"138 0013", "138-0013", "+86138", "1" + kFullWidth138, "\t1"})
        EXPECT_FALSE(IsNumber(bad)) << bad;

    struct Case {
        std::string in, want;
    };
    const Case cases[] = {
        {kFullWidth138 + "\xA3\xB0\xA3\xB1\xA3\xB2\xA3\xB3\xA3\xB4\xA3\xB5\xA3\xB6\xA3\xB7\xA3\xB8"
                         "\xA3\xB9",
         "1380123456789"},
        {"138 0013 8000", "13800138000"},
        {"138" + kFullSpace + "00138000", "138" + kFullSpace + "00138000"},
        {"138-0013-8000", "138-0013-8000"},
        {"\t138\t", "\t138\t"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetOkTel(c.in), c.want) << c.in;
    EXPECT_FALSE(IsNumber(GetOkTel("138" + kFullSpace + "0")));
}

TEST(TextRules, MessageCountAndSegments) {
    struct Case {
        std::string text;
        int want;
    };
    const Case cases[] = {
        {"", 0},
        {"hello world", 11},
        {"\xBF\xEC\xC0\xD6", 2},         // 快乐: two GB2312 characters
        {"ab\xBF", 3},                   // a last lone byte above 160 counts once
        {"\x81\x40", 2},                 // lead byte 81..A0 counts as two characters
        {"\xA3\xAC\xA1\xA3\xA3\xB0", 3}, // ，。０
        {"a\r\nb", 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetMsgLen(c.text), c.want) << c.text;

    const std::pair<int, int> segments[] = {{0, 1},   {1, 1},   {65, 1},   {66, 2},
                                            {130, 2}, {131, 3}, {650, 10}, {651, 11}};
    for (auto [k, want] : segments)
        EXPECT_EQ(GetSegCount(k), want) << k;
}

TEST(TextRules, TrimAndCountCaption) {
    EXPECT_EQ(Trim(" \t\r\nab c\r\n \x01"), "ab c");
    EXPECT_EQ(Trim(kFullSpace + "a" + kFullSpace), kFullSpace + "a" + kFullSpace);
    EXPECT_EQ(Trim(" \r\n "), "");

    const std::string suffix = gbk::kCharsSuffix;
    EXPECT_EQ(SumLenCaption(""), "0" + suffix);
    EXPECT_EQ(SumLenCaption("  ab  "), "2" + suffix);
    EXPECT_EQ(SumLenCaption("\xBF\xEC\xC0\xD6"
                            "ab"),
              "4" + suffix);
    EXPECT_EQ(SumLenCaption(" \r\n \r\n"), "0" + suffix);
    EXPECT_EQ(SumLenCaption("line1\r\nline2\r\n\r\n"), "12" + suffix);
    EXPECT_EQ(SumLenCaption(kFullSpace + "a"), "2" + suffix);
}

TEST(TextRules, SplitLinesAtEveryLineEnd) {
    using V = std::vector<std::string>;
    struct Case {
        std::string bytes;
        V want;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
        {"\r\n\r\n", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"\n\r", {"", ""}},
        {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
        {std::string("\0abc", 4), {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitLines(c.bytes), c.want);
}
