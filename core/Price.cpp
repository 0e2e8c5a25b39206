#include "core/Price.h"

#include "core/TextRules.h"

namespace telvoro {

std::int32_t SegmentsOf(std::string_view gbkText) {
    return GetSegCount(GetMsgLen(Trim(gbkText)));
}

std::int64_t PriceOf(std::string_view gbkText, std::int64_t numbers, bool selfCheck) {
    return static_cast<std::int64_t>(SegmentsOf(gbkText)) * (numbers + (selfCheck ? 1 : 0));
}

} // namespace telvoro
