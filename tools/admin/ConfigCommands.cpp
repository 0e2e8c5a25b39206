#include "tools/admin/ConfigCommands.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "files/ProgramFolder.h"
#include "files/Settings.h"
#include "text/GbkCodec.h"
#include "tools/admin/Errors.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

namespace telvoro::admin {

namespace fs = std::filesystem;

namespace {

constexpr char kConfigUsage[] = "usage: telvoro-admin config LOGIN [--out PATH] [--force]";
constexpr char kReadConfigUsage[] = "usage: telvoro-admin read-config PATH";

// The client reads a text field up to its first NUL and the send job wants
// an 11-character account number.
constexpr std::size_t kAccountLength = 11;

[[noreturn]] void ConfigUsage(const std::string& text) {
    throw UsageError(text + "; " + kConfigUsage, "config");
}

struct ConfigArgs {
    std::string login;
    std::optional<std::string> out; // none: the settings file of the current folder
    bool force = false;
};

ConfigArgs ParseConfigArgs(const std::vector<std::string>& args) {
    ConfigArgs parsed;
    bool haveLogin = false, optionsEnd = false;
    auto takeLogin = [&](const std::string& arg) {
        if (haveLogin) ConfigUsage("one LOGIN only");
        parsed.login = arg;
        haveLogin = true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!optionsEnd && args[i] == "--") {
            optionsEnd = true; // what follows is the LOGIN, even if it starts with "-"
        } else if (optionsEnd) {
            takeLogin(args[i]);
        } else if (args[i] == "--force") {
            parsed.force = true;
        } else if (args[i] == "--out") {
            if (++i >= args.size()) ConfigUsage("--out needs a value");
            parsed.out = args[i];
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            ConfigUsage("unknown option " + args[i]);
        } else {
            takeLogin(args[i]);
        }
    }
    if (!haveLogin) ConfigUsage("LOGIN missing");
    return parsed;
}

void WriteConfig(const ConfigArgs& args) {
    const std::string gbk = Utf8ToGbk(args.login);
    if (gbk.empty()) throw Error("LOGIN is empty");
    if (gbk.find('\0') != std::string::npos) throw Error("LOGIN holds a NUL byte");
    const fs::path path = args.out ? fs::path(std::u8string(args.out->begin(), args.out->end()))
                                   : ProgramFolder().SettingsFile();
    std::error_code ec;
    if (!args.force && fs::exists(fs::symlink_status(path, ec)))
        throw Error("“" + PathText(path) + "” exists; --force replaces it");
    WriteAccountNumber(path, gbk);
    if (gbk.size() != kAccountLength)
        std::cerr << "telvoro-admin config: warning: LOGIN has " << gbk.size()
                  << " bytes; the client sends only with an account number of 11 bytes\n";
    std::cout << PathText(path) << '\n';
}

} // namespace

void RunConfig(const std::vector<std::string>& args) {
    const ConfigArgs parsed = ParseConfigArgs(args);
    try {
        WriteConfig(parsed);
    } catch (const std::exception& e) {
        throw CommandError("config", e.what());
    }
}

void RunReadConfig(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError(kReadConfigUsage, "read-config");
    const fs::path path(std::u8string(args[0].begin(), args[0].end()));
    std::string account;
    try {
        account = LoadAccountNumber(path);
    } catch (const std::exception& e) {
        throw CommandError("read-config", "the client would read no account number from “" +
                                              PathText(path) + "”: " + e.what());
    }
    std::cout << GbkToUtf8(account, /*lenient=*/true) << '\n';
    if (account.empty())
        std::cerr << "telvoro-admin read-config: note: the account number is empty (line 1 "
                     "holds no whole 8-byte block); the client sends nothing with it\n";
    else if (account.size() != kAccountLength)
        std::cerr << "telvoro-admin read-config: note: the account number has " << account.size()
                  << " bytes, not 11; the client sends nothing with it\n";
}

} // namespace telvoro::admin
