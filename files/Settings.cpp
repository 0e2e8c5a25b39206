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

std::string DecryptBlocks(std::string_view bytes, std::string_view keyText) {
    std::array<std::uint8_t, DES_KEY_SIZE> key{}; // NUL-padded
    for (std::size_t i = 0; i < key.size() && i < keyText.size(); ++i)
        key[i] = static_cast<std::uint8_t>(keyText[i]);

    des_ctx ctx;
    // nettle returns 0 for the weak and semi-weak keys but still builds their
    // schedule, and it ignores parity; the key rule admits any 8 bytes (a
    // short key text padded with NULs is a weak key), so the result is not
    // looked at.
    static_cast<void>(des_set_key(&ctx, key.data()));

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
    return AccountFromSettingsText(ReadWholeFile(settingsFile, std::string_view("\r\n\0", 3)));
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
