#include "core/SendReport.h"

namespace telvoro {

BatchState SendReport::StateOf(std::size_t i) const {
    for (const BatchReport& b : batches)
        if (i >= b.first && i < b.first + b.count) return b.state;
    return BatchState::NotQueued;
}

std::size_t SendReport::Count(BatchState state) const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < selection.size(); ++i)
        n += StateOf(i) == state ? 1 : 0;
    return n;
}

std::vector<std::size_t> SendReport::EntriesQueued() const {
    std::vector<std::size_t> entries;
    for (std::size_t i = 0; i < selection.size() && i < entryOf.size(); ++i)
        if (entryOf[i] != kNoEntry && StateOf(i) == BatchState::Queued)
            entries.push_back(entryOf[i]);
    return entries;
}

std::vector<std::string> SendReport::NumbersLeft() const {
    std::vector<std::string> numbers;
    for (std::size_t i = 0; i < selection.size() && i < entryOf.size(); ++i)
        if (entryOf[i] != kNoEntry && StateOf(i) == BatchState::NotQueued)
            numbers.push_back(selection[i]);
    return numbers;
}

} // namespace telvoro
