#include "files/Settings.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/TextRules.h"

#include <nettle/des.h>

#include <array>
#include <system_error>

namespace telvoro {

namespace fs = std::filesystem;

std::uint64_t HexToValue(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else
            throw Error("Error: not a Hex String");
        value = value * 16 + digit;
    }
    return value;
}

std::string DecryptHex(std::string_view hexText, std::string_view keyText) {
    const std::size_t n = hexText.size() / 2;
    std::string bytes;
    bytes.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes.push_back(static_cast<char>(HexToValue(hexText.substr(2 * i, 2))));
    return DecryptBlocks(bytes, keyText);
}

namespace {

// The key schedule for `keyText`: its first 8 bytes, padded with NULs.
des_ctx KeySchedule(std::string_view keyText) {
    std::array<std::uint8_t, DES_KEY_SIZE> key{};
    for (std::size_t i = 0; i < key.size() && i < keyText.size(); ++i)
        key[i] = static_cast<std::uint8_t>(keyText[i]);
    des_ctx ctx;
    // nettle returns 0 for the weak and semi-weak keys but still builds their
    // schedule, and it ignores parity. Any 8 bytes must work as a key (a short
    // key text padded with NULs is a weak key), so the result is not looked at.
    static_cast<void>(des_set_key(&ctx, key.data()));
    return ctx;
}

} // namespace

std::string EncryptBlocks(std::string_view bytes, std::string_view keyText) {
    const des_ctx ctx = KeySchedule(keyText);
    std::string plain(bytes);
    plain.resize((plain.size() + DES_BLOCK_SIZE - 1) / DES_BLOCK_SIZE * DES_BLOCK_SIZE, '\0');
    std::string cipher(plain.size(), '\0');
    if (!plain.empty())
        des_encrypt(&ctx, plain.size(), reinterpret_cast<std::uint8_t*>(cipher.data()),
                    reinterpret_cast<const std::uint8_t*>(plain.data()));
    return cipher;
}

std::string SettingsTextForAccount(std::string_view account) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : EncryptBlocks(account, kSettingsKey)) {
        const auto b = static_cast<unsigned char>(c);
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text + "\r\n";
}

void WriteAccountNumber(const fs::path& settingsFile, std::string_view account) {
    // Account data: nobody but the owner reads it.
    WriteWholeFile(settingsFile, SettingsTextForAccount(account), FileAccess::OwnerOnly);
}

std::string DecryptBlocks(std::string_view bytes, std::string_view keyText) {
    const des_ctx ctx = KeySchedule(keyText);
    const std::size_t whole = bytes.size() / DES_BLOCK_SIZE * DES_BLOCK_SIZE;
    std::string result(whole, '\0');
    if (whole > 0)
        des_decrypt(&ctx, whole, reinterpret_cast<std::uint8_t*>(result.data()),
                    reinterpret_cast<const std::uint8_t*>(bytes.data()));
    while (!result.empty() && result.back() == '\0')
        result.pop_back();
    return result;
}

std::string AccountFromSettingsText(std::string_view bytes) {
    // Only line 1 counts: split no further than its end.
    const std::size_t end = bytes.find_first_of("\r\n");
    const auto lines = SplitLines(bytes.substr(0, end == std::string_view::npos ? end : end + 1));
    if (lines.empty()) throw Error("文件是空的，没有第一行");
    std::string account = DecryptHex(lines.front(), kSettingsKey);
    // A text field holds text only up to its first NUL.
    if (const std::size_t nul = account.find('\0'); nul != std::string::npos) account.resize(nul);
    return account;
}

std::string LoadAccountNumber(const fs::path& settingsFile) {
    // Only line 1 counts: a file of any size is read no further than its end.
    return AccountFromSettingsText(ReadFirstLine(settingsFile, kTextLimit));
}

std::optional<std::string> ReadAccountNumber(const ProgramFolder& folder) {
    const fs::path file = folder.SettingsFile();
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::nullopt;
    try {
        return LoadAccountNumber(file);
    } catch (...) {
        // No failure of this step is shown; the start-up goes on without an account.
        return std::nullopt;
    }
}

} // namespace telvoro
