#pragma once
// The account settings file GSMConfig.ini: its first line is the hexadecimal
// text of the account number enciphered with DES-ECB under a fixed key. The
// client only deciphers it; the enciphering side is here too, for the admin
// tool that writes the file for a deployment, so both use one key schedule.

#include "files/ProgramFolder.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace telvoro {

// The fixed key under which the account number is enciphered.
inline constexpr char kSettingsKey[] = "kxvrpane";

// Folds hexadecimal digits (either case) left to right: value * 16 + digit,
// from 0 ("" gives 0). Any other character throws Error
// "Error: not a Hex String". Longer texts wrap modulo 2^64 instead of
// overflowing; the system only passes two digits.
std::uint64_t HexToValue(std::string_view text);

// Turns each pair of digits into one byte (a last lone digit is ignored
// unchecked) and deciphers the bytes with DecryptBlocks. A pair that is not
// hexadecimal throws the error of HexToValue.
std::string DecryptHex(std::string_view hexText, std::string_view keyText);

// Deciphers every whole 8-byte block with DES-ECB (FIPS 46-3). The key is
// keyText padded with NULs to 8 bytes, bytes after the 8th ignored; parity
// bits take no part and weak keys work like any other. A trailing part of 1
// to 7 bytes is dropped, and so are trailing NULs of the result.
std::string DecryptBlocks(std::string_view bytes, std::string_view keyText);

// Enciphers `bytes` padded with NULs to whole 8-byte blocks (nothing added
// to a whole block) with DES-ECB, the key made as DecryptBlocks makes it.
// DecryptBlocks gives `bytes` back when they end in no NUL.
std::string EncryptBlocks(std::string_view bytes, std::string_view keyText);

// The settings file's contents for `account` (GBK): the upper-case hex of
// EncryptBlocks under kSettingsKey, then CR LF.
std::string SettingsTextForAccount(std::string_view account);

// Replaces the settings file with the one for `account`, in one step, as
// WriteWholeFile does (and with its errors): a failure keeps the old file.
void WriteAccountNumber(const std::filesystem::path& settingsFile, std::string_view account);

// The account number that the settings file's contents `bytes` hold: line 1
// deciphered under kSettingsKey, cut at its first NUL as a text field holds
// it. Throws Error when there is no line 1 or it is not hexadecimal.
std::string AccountFromSettingsText(std::string_view bytes);

// The account number the file holds: line 1 deciphered under kSettingsKey,
// cut at its first NUL as a text field holds it. Throws Error when the file
// cannot be read (missing, a folder, not a regular file, no access), is empty,
// or line 1 is not hexadecimal.
std::string LoadAccountNumber(const std::filesystem::path& settingsFile);

// The start-up step: nothing when the folder's settings file is missing or any
// error occurs (discarded silently), else the account text (possibly empty).
std::optional<std::string> ReadAccountNumber(const ProgramFolder& folder);

} // namespace telvoro
