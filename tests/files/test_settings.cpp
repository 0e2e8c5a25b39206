#include "files/Settings.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "tests/support/ErrorOf.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace telvoro;
using namespace std::string_literals;

namespace {

// "13800138000" and five NULs under the settings key (made with OpenSSL).
constexpr char kAccountHex[] = "447789695F15A14A11FA64AA90F80EE5";

std::string Unhex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

} // namespace

TEST(HexToValue, DigitsOfBothCasesAndTheErrorText) {
    EXPECT_EQ(HexToValue(""), 0u);
    EXPECT_EQ(HexToValue("0a"), 10u);
    EXPECT_EQ(HexToValue("fF"), 255u);
    EXPECT_EQ(HexToValue("1234"), 0x1234u);
    EXPECT_EQ(HexToValue("FFFFFFFFFFFFFFFF1"), 0xFFFFFFFFFFFFFFF1u); // wraps, no overflow
    for (const std::string& bad : {" 1"s, "0x"s, "g0"s, "\xA3\xB1"s, "1\0"s, "-1"s})
        EXPECT_EQ(ErrorOf([&] { HexToValue(bad); }), "Error: not a Hex String") << bad;
}

// Deciphering gives `plain`; where `bothWays`, enciphering `plain` gives the
// bytes back (NUL padding is dropped on the way in, so not every row can).
TEST(SettingsCipher, VectorsAnyKeyTextAndWholeBlocksOnly) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string key;
        std::string plain;
        bool bothWays;
    };
    const std::string des = "\x01\x23\x45\x67\x89\xAB\xCD\xEF";
    const Case cases[] = {
        // FIPS 81 / the classic "Now is the time for all " vector.
        {"published vector", Unhex("3FA40E8A984D48156A271787AB8883F9893D51EC4B563B53"), des,
         "Now is the time for all ", true},
        // Weak keys: the all-zero key (an empty key text, NUL-padded) and its
        // parity-flipped twin give the same, standard result.
        {"zero key, NULs dropped", Unhex("8CA64DE9C1B123A7"), "", "", false},
        {"zero key", std::string(8, '\0'), "", Unhex("8CA64DE9C1B123A7"), false},
        {"zero key, parity flipped", std::string(8, '\0'), "\x01\x01\x01\x01\x01\x01\x01\x01",
         Unhex("8CA64DE9C1B123A7"), false},
        {"zero key, text", Unhex("A844348FA6FD9360"), "", "abcdefgh", false},
        {"semi-weak key", Unhex("EFCA82F6AB4B67C3"), "\x01\xFE\x01\xFE\x01\xFE\x01\xFE", "abcdefgh",
         false},
        {"short key padded with NULs", Unhex("1EF7E3C5000372E4"), "abc", "abcdefgh", true},
        {"long key cut to 8", Unhex(kAccountHex), "kxvrpane-and-more", "13800138000", false},
        {"key with NUL inside is kept", Unhex("3A1D74A12B7343AC"), "kxvr\0\0\0\0"s, "12345678",
         false},
        {"key text 'kxvr' equals kxvr+4 NULs", Unhex("3A1D74A12B7343AC"), "kxvr", "12345678",
         false},
        {"11 bytes padded with 5 NULs", Unhex(kAccountHex), kSettingsKey, "13800138000", true},
        {"trailing part dropped", Unhex(kAccountHex) + "\x01\x02\x03", kSettingsKey, "13800138000",
         false},
        {"no whole block", "\x01\x02\x03\x04\x05\x06\x07"s, kSettingsKey, "", false},
        {"empty", "", kSettingsKey, "", true},
        {"full last block comes back whole, no padding", Unhex("969C5330A4D41AEDE95684969F531794"),
         kSettingsKey, "1234567890ABCDEF", true},
        {"inner NULs stay, trailing go", Unhex("0682CD65D1B0523CAE604881A3F5362F"), kSettingsKey,
         "1380\0"s
         "1380000",
         false},
        {"a block of NULs at the end goes whole", Unhex("969C5330A4D41AED9D412D5ED1D67466"),
         kSettingsKey, "12345678", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecryptBlocks(c.bytes, c.key), c.plain) << c.name;
        if (c.bothWays) {
            EXPECT_EQ(EncryptBlocks(c.plain, c.key), c.bytes) << c.name;
        }
    }
    EXPECT_EQ(SettingsTextForAccount("13800138000"), std::string(kAccountHex) + "\r\n");
}

TEST(DecryptHex, PairsOfDigitsInEitherCase) {
    const std::string upper = kAccountHex;
    std::string lower, mixed;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        lower.push_back(static_cast<char>(std::tolower(upper[i])));
        mixed.push_back(i % 2 ? lower.back() : upper[i]);
    }
    struct Case {
        std::string hex;
        std::string expected;
    };
    const Case cases[] = {
        {upper, "13800138000"},
        {lower, "13800138000"},
        {mixed, "13800138000"},
        {upper + "Z", "13800138000"},      // 33rd digit ignored unchecked
        {upper.substr(0, 31), "13800138"}, // 15 bytes: one block
        {upper.substr(0, 15), ""},         // 7 bytes: no block
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecryptHex(c.hex, kSettingsKey), c.expected) << c.hex;
    EXPECT_THROW(DecryptHex("0x" + upper, kSettingsKey), Error);
    EXPECT_THROW(DecryptHex(upper.substr(0, 30) + "G0", kSettingsKey), Error);
}

// The account file is its owner's alone, also when it replaces a file others
// could read; a write that fails half-way keeps the old file and says why.
TEST(WriteAccountNumber, OwnerOnlyAndFailingHalfWayKeepsTheOldFile) {
    TempFolder dir;
    const fs::path file = ProgramFolder(dir.path).SettingsFile();
    WriteAccountNumber(file, "\xD6\xD0\xCE\xC4"); // 中文
    EXPECT_EQ(ReadAccountNumber(ProgramFolder(dir.path)), "\xD6\xD0\xCE\xC4");
    fs::permissions(file, fs::perms::all);
    WriteAccountNumber(file, "13800138000");
#ifndef _WIN32 // no modes; the per-user folder's own access rules keep it
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif

    const std::string before = ReadWholeFile(file);
    for (const std::size_t failAt : {0u, 1u, 16u, 33u}) {
        WriteFault fault(failAt);
        EXPECT_EQ(ErrorOf([&] { WriteAccountNumber(file, "13900139000"); }),
                  "写入文件“" + PathText(file) + "”时出错：No space left on device")
            << failAt;
        EXPECT_EQ(ReadWholeFile(file), before) << failAt;
        EXPECT_EQ(dir.Names(), std::vector<fs::path>{"GSMConfig.ini"});
    }
    WriteAccountNumber(file, "13900139000");
    EXPECT_EQ(LoadAccountNumber(file), "13900139000");
}

TEST(ReadAccountNumber, OutcomesOfTheStartUpStep) {
    struct Case {
        const char* name;
        std::string contents;
        std::optional<std::string> expected;
    };
    const std::string hex = kAccountHex;
    const Case cases[] = {
        {"valid, CR LF", hex + "\r\n", "13800138000"},
        {"valid, no line end", hex, "13800138000"},
        {"only line 1 counts", hex + "\nZZZ\r\n\xFF\xFE", "13800138000"},
        {"CR alone ends line 1", hex + "\rjunk", "13800138000"},
        {"empty first line before a valid one", "\r\n" + hex + "\r\n", ""},
        {"short line: no whole block", hex.substr(0, 15) + "\r\n", ""},
        {"inner NUL cuts the account", "0682CD65D1B0523CAE604881A3F5362F\r\n", "1380"},
        {"empty file", "", std::nullopt},
        {"byte-order mark", "\xEF\xBB\xBF" + hex, std::nullopt},
        {"leading space", " " + hex, std::nullopt},
        {"0x prefix", "0x" + hex, std::nullopt},
        {"full-width digits", "\xA3\xB1\xA3\xB2", std::nullopt},
        {"binary", "\x00\x01\x02\xFF"s, std::nullopt},
        {"tab inside", hex.substr(0, 8) + "\t" + hex.substr(9), std::nullopt},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        WriteWholeFile(ProgramFolder(dir.path).SettingsFile(), c.contents);
        EXPECT_EQ(ReadAccountNumber(ProgramFolder(dir.path)), c.expected) << c.name;
    }

    TempFolder dir;
    EXPECT_EQ(ReadAccountNumber(ProgramFolder(dir.path)), std::nullopt) << "missing";
    fs::create_directory(ProgramFolder(dir.path).SettingsFile());
    EXPECT_EQ(ReadAccountNumber(ProgramFolder(dir.path)), std::nullopt) << "a folder";
}

TEST(ReadAccountNumber, LargeFilesAndSpecialFiles) {
    TempFolder dir;
    const ProgramFolder folder(dir.path);
    const fs::path file = folder.SettingsFile();
    // A million further lines are never looked at; a huge line 1 deciphers.
    std::string many = std::string(kAccountHex) + "\r\n";
    for (int i = 0; i < 1000000; ++i)
        many += "x\r\n";
    WriteWholeFile(file, many);
    EXPECT_EQ(ReadAccountNumber(folder), "13800138000");

    std::string longLine;
    for (int i = 0; i < 200000; ++i)
        longLine += "969C5330A4D41AED";
    WriteWholeFile(file, longLine);
    const auto account = ReadAccountNumber(folder);
    ASSERT_TRUE(account);
    EXPECT_EQ(account->size(), 200000u * 8);

#ifndef _WIN32
    // A FIFO would block a plain open until a writer comes: it must not hang.
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(ReadAccountNumber(folder), std::nullopt);
    EXPECT_THROW(LoadAccountNumber(file), Error);

    fs::remove(file);
    WriteWholeFile(file, kAccountHex);
    fs::permissions(file, fs::perms::none);
    if (::geteuid() != 0) {
        EXPECT_EQ(ReadAccountNumber(folder), std::nullopt) << "unreadable";
    }
#endif
}

TEST(LoadAccountNumber, SaysWhyNothingIsRead) {
    TempFolder dir;
    WriteWholeFile(ProgramFolder(dir.path).SettingsFile(), "");
    EXPECT_THROW(LoadAccountNumber(ProgramFolder(dir.path).SettingsFile()), Error);
    EXPECT_THROW(LoadAccountNumber(dir.path / "absent.ini"), Error);
    EXPECT_THROW(AccountFromSettingsText("\0"
                                         "447789695F15A14A11FA64AA90F80EE5"s),
                 Error);
}
