#pragma once
// The price of a message, named once: its segments (the trimmed GBK text, 65
// characters each, a GBK pair one character) times the numbers it goes to,
// one more with the self-check on (the operator's own number is sent and paid
// like any other). The send job deducts it; the queue server's refund gives a
// number's share back by the same rule.

#include <cstdint>
#include <string_view>

namespace telvoro {

std::int32_t SegmentsOf(std::string_view gbkText);
// 64-bit: a long message to many numbers must not wrap around to a small price.
std::int64_t PriceOf(std::string_view gbkText, std::int64_t numbers, bool selfCheck = false);

} // namespace telvoro
