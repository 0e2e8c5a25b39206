#include "tools/admin/ConfigCommands.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "files/Settings.h"
#include "text/GbkCodec.h"

#include <nettle/des.h>

#include <array>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace telvoro::admin {

namespace fs = std::filesystem;

namespace {

constexpr char kConfigUsage[] = "usage: telvoro-admin config LOGIN [--out PATH] [--force]";
constexpr char kReadConfigUsage[] = "usage: telvoro-admin read-config PATH";

// The client reads a text field up to its first NUL and the send job wants
// an 11-character account number.
constexpr std::size_t kAccountLength = 11;

// Line 1 of the settings file for `login` (GBK): the bytes padded with NULs
// to a multiple of 8, DES-ECB under the settings key, upper-case hex.
std::string EncipherAccount(const std::string& login) {
    std::array<std::uint8_t, DES_KEY_SIZE> key{};
    const std::string_view keyText = kSettingsKey;
    for (std::size_t i = 0; i < key.size() && i < keyText.size(); ++i)
        key[i] = static_cast<std::uint8_t>(keyText[i]);
    des_ctx ctx;
    static_cast<void>(des_set_key(&ctx, key.data())); // weak keys work too; see DecryptBlocks

    std::string plain = login;
    plain.resize((plain.size() + DES_BLOCK_SIZE - 1) / DES_BLOCK_SIZE * DES_BLOCK_SIZE, '\0');
    std::string cipher(plain.size(), '\0');
    des_encrypt(&ctx, plain.size(), reinterpret_cast<std::uint8_t*>(cipher.data()),
                reinterpret_cast<const std::uint8_t*>(plain.data()));

    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const char c : cipher) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

int Fail(const char* command, const std::string& text, int code = 1) {
    std::cerr << "telvoro-admin " << command << ": " << text << '\n';
    return code;
}

} // namespace

int RunConfig(const std::vector<std::string>& args) {
    std::string login, out = "GSMConfig.ini";
    bool haveLogin = false, force = false, optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!optionsEnd && args[i] == "--") {
            optionsEnd = true; // what follows is the LOGIN, even if it starts with "-"
        } else if (optionsEnd) {
            if (haveLogin) return Fail("config", "one LOGIN only; " + std::string(kConfigUsage), 2);
            login = args[i];
            haveLogin = true;
        } else if (args[i] == "--force") {
            force = true;
        } else if (args[i] == "--out") {
            if (++i >= args.size())
                return Fail("config", "--out needs a value; " + std::string(kConfigUsage), 2);
            out = args[i];
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return Fail("config", "unknown option " + args[i] + "; " + kConfigUsage, 2);
        } else if (!haveLogin) {
            login = args[i];
            haveLogin = true;
        } else {
            return Fail("config", "one LOGIN only; " + std::string(kConfigUsage), 2);
        }
    }
    if (!haveLogin) return Fail("config", std::string("LOGIN missing; ") + kConfigUsage, 2);
    try {
        const std::string gbk = Utf8ToGbk(login);
        if (gbk.empty()) return Fail("config", "LOGIN is empty");
        if (gbk.find('\0') != std::string::npos) return Fail("config", "LOGIN holds a NUL byte");
        const fs::path path(std::u8string(out.begin(), out.end()));
        std::error_code ec;
        if (!force && fs::exists(fs::symlink_status(path, ec)))
            return Fail("config", "“" + PathText(path) + "” exists; --force replaces it");
        WriteWholeFile(path, EncipherAccount(gbk) + "\r\n");
        if (gbk.size() != kAccountLength)
            std::cerr << "telvoro-admin config: warning: LOGIN has " << gbk.size()
                      << " bytes; the client sends only with an account number of 11 bytes\n";
        std::cout << PathText(path) << '\n';
        return 0;
    } catch (const std::exception& e) {
        return Fail("config", e.what());
    }
}

int RunReadConfig(const std::vector<std::string>& args) {
    if (args.size() != 1) return Fail("read-config", kReadConfigUsage, 2);
    const fs::path path(std::u8string(args[0].begin(), args[0].end()));
    try {
        const std::string account = LoadAccountNumber(path);
        std::cout << GbkToUtf8(account, /*lenient=*/true) << '\n';
        if (account.empty())
            std::cerr << "telvoro-admin read-config: note: the account number is empty (line 1 "
                         "holds no whole 8-byte block); the client sends nothing with it\n";
        else if (account.size() != kAccountLength)
            std::cerr << "telvoro-admin read-config: note: the account number has "
                      << account.size() << " bytes, not 11; the client sends nothing with it\n";
        return 0;
    } catch (const std::exception& e) {
        return Fail("read-config", "the client would read no account number from “" +
                                       PathText(path) + "”: " + e.what());
    }
}

} // namespace telvoro::admin
