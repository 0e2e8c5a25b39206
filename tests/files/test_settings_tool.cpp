// telvoro-admin's settings-file commands, run as the deployment runs them.
#include "files/Settings.h"

#include "core/FileIO.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace telvoro;

namespace {

struct Pipe {
    void operator()(std::FILE* f) const { pclose(f); }
};

// Runs `command` through the shell; its stdout and exit status.
std::pair<std::string, int> Shell(const std::string& command) {
    std::unique_ptr<std::FILE, Pipe> p(popen(command.c_str(), "r"));
    if (!p) return {"", -1};
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p.get())) > 0;)
        out.append(buf, n);
    const int status = pclose(p.release());
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

struct ToolTest : ::testing::Test {
    fs::path tool = fs::path(TELVORO_BIN_DIR) / "telvoro-admin";
    TempFolder dir;
    void SetUp() override {
        if (!fs::exists(tool)) GTEST_SKIP() << "telvoro-admin not built";
    }
};

} // namespace

TEST_F(ToolTest, ConfigMatchesOpenSslAndTheClientReadsItBack) {
    if (Shell("openssl version >/dev/null 2>&1; echo $?").first != "0\n")
        GTEST_SKIP() << "no openssl";
    // 11 digits (5 NULs of padding), exactly 16 bytes (none), GBK text.
    for (const std::string login :
         {"13800138000", "1234567890ABCDEF", "\xE4\xB8\xAD\xE6\x96\x87"}) {
        const fs::path out = dir / "GSMConfig.ini";
        fs::remove(out);
        const auto [printed, rc] =
            Shell(Quote(tool) + " config '" + login + "' --out " + Quote(out) + " 2>/dev/null");
        ASSERT_EQ(rc, 0) << login;
        const std::string line = ReadWholeFile(out);
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ(fs::status(out).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n");

        // The independent DES: OpenSSL on the GBK bytes padded with NULs.
        const std::string gbk = login[0] == '\xE4' ? "\xD6\xD0\xCE\xC4" : login;
        std::string padded = gbk;
        padded.resize((padded.size() + 7) / 8 * 8, '\0');
        WriteWholeFile(dir / "plain", padded);
        const auto [expected, orc] =
            Shell("openssl enc -des-ecb -provider legacy -provider default -K 6B78767270616E65 "
                  "-nopad -in " +
                  Quote(dir / "plain") + " | od -An -v -tx1 | tr -d ' \\n' | tr a-f A-F");
        ASSERT_EQ(orc, 0);
        EXPECT_EQ(line, expected + "\r\n") << login;

        EXPECT_EQ(LoadAccountNumber(out), gbk);
        EXPECT_EQ(Shell(Quote(tool) + " read-config " + Quote(out) + " 2>/dev/null"),
                  std::make_pair(login + "\n", 0));
    }
}

TEST_F(ToolTest, ConfigKeepsAnExistingFileUnlessForced) {
    const fs::path out = dir / "GSMConfig.ini";
    WriteWholeFile(out, "keep\r\n");
    EXPECT_EQ(
        Shell(Quote(tool) + " config 13800138000 --out " + Quote(out) + " 2>/dev/null").second, 1);
    EXPECT_EQ(ReadWholeFile(out), "keep\r\n");
    EXPECT_EQ(Shell(Quote(tool) + " config 13800138000 --force --out " + Quote(out)).second, 0);
    EXPECT_EQ(LoadAccountNumber(out), "13800138000");

    // Nothing to read: a reason on stderr, a failing status.
    WriteWholeFile(out, "0x12\r\n");
    const auto [text, rc] = Shell(Quote(tool) + " read-config " + Quote(out) + " 2>&1");
    EXPECT_EQ(rc, 1);
    EXPECT_NE(text.find("Error: not a Hex String"), std::string::npos) << text;
    EXPECT_EQ(Shell(Quote(tool) + " config 2>/dev/null").second, 2);
}
