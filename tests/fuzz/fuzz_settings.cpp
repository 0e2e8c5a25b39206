// libFuzzer target for the settings file's cipher and readers: hex digits,
// the blocks with any key both ways, and the whole file's contents.
#include "core/Error.h"
#include "files/Settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    using telvoro::Error;

    try {
        static_cast<void>(telvoro::HexToValue(input));
    } catch (const Error&) {
    }

    // The first byte picks how much of the input is the key text.
    const std::size_t keyLength = size > 0 ? data[0] % 17 : 0;
    const std::string_view key = input.substr(size > 0 ? 1 : 0, keyLength);
    const std::string_view rest = input.substr(std::min(size, 1 + keyLength));
    const std::string plain = telvoro::DecryptBlocks(rest, key);
    Check(plain.size() <= rest.size() / 8 * 8);
    Check(plain.empty() || plain.back() != '\0');

    // Enciphering and deciphering undo each other, up to the padding NULs.
    std::string original(rest);
    while (!original.empty() && original.back() == '\0')
        original.pop_back();
    Check(telvoro::DecryptBlocks(telvoro::EncryptBlocks(rest, key), key) == original);

    try {
        const std::string account = telvoro::DecryptHex(rest, key);
        Check(account.size() <= rest.size() / 16 * 8);
    } catch (const Error&) {
    }

    try {
        const std::string account = telvoro::AccountFromSettingsText(input);
        Check(account.find('\0') == std::string::npos);
        Check(account.size() <= size / 2);
    } catch (const Error&) {
    }
    return 0;
}
