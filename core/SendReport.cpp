#include "core/SendReport.h"

#include <type_traits>

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

namespace {

// `pick(i)` for each selection element of a checked phone in `state`, in order.
template <class Pick> auto EntriesIn(const SendReport& report, BatchState state, Pick pick) {
    std::vector<std::decay_t<decltype(pick(std::size_t{}))>> out;
    for (std::size_t i = 0; i < report.selection.size() && i < report.entryOf.size(); ++i)
        if (report.entryOf[i] != SendReport::kNoEntry && report.StateOf(i) == state)
            out.push_back(pick(i));
    return out;
}

} // namespace

std::vector<std::size_t> SendReport::EntriesQueued() const {
    return EntriesIn(*this, BatchState::Queued, [&](std::size_t i) { return entryOf[i]; });
}

std::vector<std::string> SendReport::NumbersLeft() const {
    return EntriesIn(*this, BatchState::NotQueued, [&](std::size_t i) { return selection[i]; });
}

} // namespace telvoro
