#pragma once
// The small text rules the whole system agrees on. Every text is a GBK
// (code page 936) byte string; lengths, positions and fields count bytes.
// All functions are pure: they return new text and keep no state.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace telvoro {

// Field n (1-based) of `text` cut at the one-byte separator `sep`; empty when
// n < 1 or the text has fewer fields. Nothing is trimmed.
std::string GetField(std::string_view text, char sep, int n);

// Every occurrence of `pattern` replaced, letters compared without regard to
// case; an occurrence starts only at the start of a character, and the
// replacement is never searched again.
std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement);

// True when every byte is an ASCII digit (also for the empty text).
bool IsNumber(std::string_view text);

// Full-width digits become ASCII digits, ASCII spaces are removed.
std::string GetOkTel(std::string_view text);

// The message character count: a byte above 0xA0 takes the next byte with it.
std::int32_t GetMsgLen(std::string_view text);

// Billed segments for a message of k characters: 65 characters a segment.
std::int32_t GetSegCount(std::int32_t k);

// Removes every byte of value 32 or less at both ends (a full-width space stays).
std::string_view Trim(std::string_view text);

// The caption of the character count: the count of the trimmed text followed
// by "个字" (GBK), e.g. "0个字" for an empty message.
std::string SumLenCaption(std::string_view messageText);

// Cuts file contents into lines: a line ends at CR LF, a lone LF or a lone CR;
// a line end at the very end makes no extra line; a NUL byte ends the text.
std::vector<std::string> SplitLines(std::string_view bytes);
// The same lines one by one, for callers that need not hold them all at once.
void ForEachLine(std::string_view bytes, const std::function<void(std::string_view)>& line);

// True when byte `b` starts a two-byte GBK character.
constexpr bool IsGbkLeadByte(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}

} // namespace telvoro
