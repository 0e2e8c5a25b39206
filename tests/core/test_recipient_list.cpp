#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/RecipientList.h"
#include "core/TextRules.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace telvoro;
namespace fs = std::filesystem;

namespace {

const std::string kWaiting = gbk::kStatusWaiting;

std::string Row(const RecipientEntry& e) {
    return e.SeqNo + "|" + e.Customer + "|" + e.Phone + "|" + e.Status + "|" +
           (e.Checked ? "x" : "-");
}

std::vector<std::string> Rows(const RecipientList& list) {
    std::vector<std::string> rows;
    for (std::size_t i = 0; i < list.Count(); ++i)
        rows.push_back(Row(list.At(i)));
    return rows;
}

struct Recorder : RecipientListObserver {
    std::vector<std::string> events;
    void EntriesAppended(std::size_t f, std::size_t l) override {
        events.push_back("+" + std::to_string(f) + "-" + std::to_string(l));
    }
    void EntriesChanged(std::size_t f, std::size_t l) override {
        events.push_back("~" + std::to_string(f) + "-" + std::to_string(l));
    }
    void ListReset() override { events.push_back("reset"); }
};

} // namespace

TEST(RecipientList, MergeKeepsFirstNameAndComparesBytes) {
    RecipientList list;
    struct Case {
        const char* name;
        const char* phone;
        bool added;
    } cases[] = {
        {"a", "13800138000", true},
        {"b", "13800138000", false}, // first name wins
        {"c", "13800138000 ", true},
        {"d", "", true}, // trailing space differs
        {"e", "", false},
        {"f", "ABC", true},
        {"g", "abc", true}, // case counts
    };
    for (const Case& c : cases)
        EXPECT_EQ(list.AddIfNewPhone(c.name, c.phone), c.added) << c.name;
    EXPECT_EQ(Rows(list), (std::vector<std::string>{
                              "1|a|13800138000|" + kWaiting + "|-",
                              "2|c|13800138000 |" + kWaiting + "|-",
                              "3|d||" + kWaiting + "|-",
                              "4|f|ABC|" + kWaiting + "|-",
                              "5|g|abc|" + kWaiting + "|-",
                          }));
}

TEST(RecipientList, ReplaceFromPhoneLinesTakesAcceptedLengths) {
    const std::string fullWidth11 = "\xA3\xB1\xA3\xB3\xA3\xB8\xA3\xB0\xA3\xB0\xA3\xB1\xA3\xB3"
                                    "\xA3\xB8\xA3\xB0\xA3\xB0\xA3\xB0"; // １３８００１３８０００
    const std::string fourHanzi = "\xD6\xD0\xCE\xC4\xD6\xD0\xCE\xC4"; // 中文中文
    RecipientList list;
    list.ReplaceFromPhoneLines({"13800138000", "abc", fullWidth11, "138 0013 8000", "abcdefghijk",
                                fourHanzi, "1234567", "123456", "123456789012", "1234567890123",
                                ""});
    const std::string c = gbk::kEditedCustomer;
    EXPECT_EQ(Rows(list), (std::vector<std::string>{
                              "1|" + c + "|13800138000|" + kWaiting + "|x",
                              "3|" + c + "|13800138000|" + kWaiting + "|x",
                              "4|" + c + "|13800138000|" + kWaiting + "|x",
                              "5|" + c + "|abcdefghijk|" + kWaiting + "|x",
                              "6|" + c + "|" + fourHanzi + "|" + kWaiting + "|x",
                              "7|" + c + "|1234567|" + kWaiting + "|x",
                              "9|" + c + "|123456789012|" + kWaiting + "|x",
                          }));
    // The index follows the replacement: old phones are gone, new ones block.
    EXPECT_FALSE(list.AddIfNewPhone("n", "1234567"));
    EXPECT_TRUE(list.AddIfNewPhone("n", "555"));
    EXPECT_EQ(list.At(list.Count() - 1).SeqNo, "8"); // numbered by length, may repeat

    list.ReplaceFromPhoneLines({});
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_TRUE(list.AddIfNewPhone("n", "1234567"));
}

TEST(RecipientList, SetAllCheckedAsksTheFlagForEveryEntry) {
    RecipientList list;
    int asked = 0;
    list.SetAllChecked([&] { return ++asked, true; }); // empty list: nothing
    EXPECT_EQ(asked, 0);
    for (const char* p : {"1", "2", "3", "4"})
        list.AddIfNewPhone("n", p);
    bool box = true;
    list.SetAllChecked([&] { return box; }, [&] { box = !box; });
    EXPECT_EQ(list.At(0).Checked, true);
    EXPECT_EQ(list.At(1).Checked, false);
    EXPECT_EQ(list.At(2).Checked, true);
    EXPECT_EQ(list.At(3).Checked, false);
    list.SetChecked(1, true);
    list.SetSeqNo(1, "007");
    EXPECT_EQ(Row(list.At(1)), "007|n|2|" + kWaiting + "|x");
    EXPECT_THROW(list.SetChecked(4, true), std::out_of_range);
    EXPECT_THROW(list.At(4), std::out_of_range);
}

TEST(RecipientList, SaveAndLoadRoundTripByteForByte) {
    TempFolder dir;
    RecipientList list;
    const std::string name = "\xD5\xC5\xC8\xFD"; // 张三
    list.AddIfNewPhone(name, "13800138000");
    list.AddIfNewPhone("", "");
    list.AddIfNewPhone("x", "1 ");
    list.SetChecked(0, true);
    list.SetSeqNo(2, "99");
    list.SaveList(dir / "a.dat");
    const std::string expected = name + "\t13800138000\t" + kWaiting + "\r\n" + "\t\t" + kWaiting +
                                 "\r\n" + "x\t1 \t" + kWaiting + "\r\n";
    EXPECT_EQ(ReadWholeFile(dir / "a.dat"), expected);
    EXPECT_EQ(expected.find("\r\n"), 23u - 2); // the 23-byte example line

    RecipientList loaded;
    loaded.LoadList(dir / "a.dat");
    EXPECT_EQ(Rows(loaded), (std::vector<std::string>{
                                "1|" + name + "|13800138000|" + kWaiting + "|-",
                                "2|||" + kWaiting + "|-",
                                "3|x|1 |" + kWaiting + "|-",
                            }));
    EXPECT_FALSE(loaded.AddIfNewPhone("y", "13800138000")); // loaded phones are indexed

    RecipientList empty;
    empty.SaveList(dir / "e.dat");
    EXPECT_EQ(fs::file_size(dir / "e.dat"), 0u);
    loaded.LoadList(dir / "e.dat");
    EXPECT_EQ(loaded.Count(), 0u);
}

TEST(RecipientList, LoadCutsLinesAndFields) {
    TempFolder dir;
    struct Case {
        std::string bytes;
        std::vector<std::string> rows;
    } cases[] = {
        {"", {}},
        {"name only\r\n", {"1|name only|||-"}},
        {"a\tb\tc\td\r\n", {"1|a|b|c|-"}},
        {"\r\n\r\n", {"1||||-", "2||||-"}},
        {"a\rb\nc\r\n\nd", {"1|a|||-", "2|b|||-", "3|c|||-", "4||||-", "5|d|||-"}},
        {std::string("a\tb\r\nc\0d\r\ne\r\n", 14), {"1|a|b||-", "2|c|||-"}}, // NUL ends the text
        {"\x81\r\n\t\xFE", {"1|\x81|||-", "2||\xFE||-"}},                    // lone lead bytes
        {" a \t b \r\n", {"1| a | b ||-"}},                                  // nothing trimmed
    };
    for (const Case& c : cases) {
        WriteWholeFile(dir / "l.dat", c.bytes);
        RecipientList list;
        list.AddIfNewPhone("old", "old");
        list.LoadList(dir / "l.dat");
        EXPECT_EQ(Rows(list), c.rows) << c.bytes;
    }
}

TEST(RecipientList, LoadOfHugeAndJunkFiles) {
    TempFolder dir;
    RecipientList list;
    WriteWholeFile(dir / "h.dat", std::string(20'000'000, 'x') + "\t1");
    list.LoadList(dir / "h.dat");
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.At(0).Customer.size(), 20'000'000u);

    WriteWholeFile(dir / "b.dat", std::string(1'000'000, '\n'));
    list.LoadList(dir / "b.dat");
    EXPECT_EQ(list.Count(), 1'000'000u);
    EXPECT_EQ(list.At(999'999).SeqNo, "1000000");

    std::mt19937 rng(7);
    std::string junk(1 << 20, '\0');
    for (char& b : junk)
        b = static_cast<char>(rng() % 255 + 1); // no NUL, so every byte counts
    WriteWholeFile(dir / "j.dat", junk);
    list.LoadList(dir / "j.dat");
    EXPECT_EQ(list.Count(), SplitLines(junk).size());
}

TEST(RecipientList, FileErrorsLeaveListAndFileUnchanged) {
    TempFolder dir;
    RecipientList list;
    list.AddIfNewPhone("a", "1");
    const std::uint64_t replacements = list.Replacements();
    const fs::path missing = dir / "missing.dat", noFolder = dir / "no" / "a.dat";
    struct Case {
        std::function<void()> op;
        std::string text;
    } cases[] = {
        {[&] { list.LoadList(missing); },
         "无法打开文件“" + PathText(missing) + "”：No such file or directory"},
        {[&] { list.LoadList(dir / "."); },
         "无法打开文件“" + PathText(dir / ".") + "”：Is a directory"},
        {[&] { list.SaveList(noFolder); },
         "无法创建文件“" + PathText(noFolder) + "”：No such file or directory"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.op), c.text);
        EXPECT_EQ(list.Count(), 1u);
    }
    EXPECT_FALSE(fs::exists(dir / "no"));

    // The disk fills up half-way through a save over an earlier list.
    const fs::path saved = dir / "SendList.dat";
    list.SaveList(saved);
    const std::string before = ReadWholeFile(saved);
    for (int i = 0; i < 2000; ++i)
        list.AddIfNewPhone("name", "139" + std::to_string(10000000 + i));
    {
        WriteFault fault(20'000);
        EXPECT_EQ(ErrorOf([&] { list.SaveList(saved); }),
                  "写入文件“" + PathText(saved) + "”时出错：No space left on device");
    }
    EXPECT_EQ(ReadWholeFile(saved), before);
    EXPECT_EQ(list.Count(), 2001u);
    EXPECT_FALSE(list.Busy());
    EXPECT_EQ(dir.Names(), std::vector<fs::path>{"SendList.dat"}) << "nothing left behind";
    // A load that could not read its file replaced nothing; one that could did.
    EXPECT_EQ(list.Replacements(), replacements);
    list.LoadList(saved);
    EXPECT_EQ(list.Replacements(), replacements + 1);
}

// Yield callbacks that append, empty or replace the list in the middle of an
// operation: nothing may read a missing entry, and the counts taken at the
// start hold.
TEST(RecipientList, ReentryDuringYieldSteps) {
    TempFolder dir;
    WriteWholeFile(dir / "empty.dat", "");
    enum Action { Append, Empty, Replace };
    for (const Action action : {Append, Empty, Replace}) {
        SCOPED_TRACE(action);
        auto meddle = [&](RecipientList& list) {
            switch (action) {
            case Append:
                list.AddIfNewPhone("late", "late" + std::to_string(list.Count()));
                break;
            case Empty:
                EXPECT_TRUE(list.Busy());
                EXPECT_THROW(list.LoadList(dir / "empty.dat"), Error);
                break;
            case Replace:
                EXPECT_THROW(list.ReplaceFromPhoneLines({"13800138000"}), Error);
                break;
            }
        };
        const std::size_t expectedCount = action == Append ? 6 : 3;

        RecipientList a;
        for (const char* p : {"1", "2", "3"})
            a.AddIfNewPhone("n", p);
        a.SaveList(dir / "s.dat", [&] { meddle(a); });
        EXPECT_EQ(SplitLines(ReadWholeFile(dir / "s.dat")).size(), 3u); // only those at the start
        EXPECT_EQ(a.Count(), expectedCount);
        EXPECT_FALSE(a.Busy());

        RecipientList b;
        for (const char* p : {"1", "2", "3"})
            b.AddIfNewPhone("n", p);
        b.SetAllChecked([] { return true; }, [&] { meddle(b); });
        ASSERT_EQ(b.Count(), expectedCount);
        for (std::size_t i = 0; i < b.Count(); ++i)
            EXPECT_EQ(b.At(i).Checked, i < 3);

        RecipientList c;
        c.ReplaceFromPhoneLines({"1234567", "x", "7654321"}, [&] { meddle(c); });
        EXPECT_EQ(c.Count(), action == Append ? 5u : 2u);
        EXPECT_EQ(c.At(c.Count() - 1).Phone, "7654321");
    }

    // A merge is no loop of the list: a replacement during its yield goes
    // through, and the merge then tests against the new list.
    RecipientList d;
    d.AddIfNewPhone("n", "1");
    EXPECT_TRUE(d.AddIfNewPhone("m", "1", [&] { d.LoadList(dir / "empty.dat"); }));
    EXPECT_EQ(Rows(d), (std::vector<std::string>{"1|m|1|" + kWaiting + "|-"}));
    // Two merges of one phone, the second inside the first's yield: one entry.
    EXPECT_FALSE(d.AddIfNewPhone("x", "2", [&] { EXPECT_TRUE(d.AddIfNewPhone("y", "2")); }));
    EXPECT_EQ(d.Count(), 2u);

    // An exception out of a yield step leaves the list usable and not busy.
    EXPECT_THROW(d.SetAllChecked([] { return true; }, [] { throw Error("stop"); }), Error);
    EXPECT_FALSE(d.Busy());
}

TEST(RecipientList, ObserverHearsEveryChange) {
    TempFolder dir;
    RecipientList list;
    Recorder rec;
    list.SetObserver(&rec);
    list.AddIfNewPhone("a", "1");
    list.AddIfNewPhone("a", "1");
    list.AddIfNewPhone("b", "2");
    list.SetChecked(1, true);
    list.SetAllChecked([] { return false; });
    list.SaveList(dir / "o.dat");
    list.LoadList(dir / "o.dat");
    list.ReplaceFromPhoneLines({"1234567", "bad", "7654321"});
    list.SetObserver(nullptr);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"+0-0", "+1-1", "~1-1", "~0-1", "reset",
                                                    "reset", "+0-0", "+1-1"}));
}
