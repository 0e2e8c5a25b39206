#pragma once
// What one send job did, batch by batch, for the operator's retry: which
// numbers are queued (and paid), which are not, and which cannot be known.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvoro {

enum class BatchState { Queued, NotQueued, Unknown };

struct BatchReport {
    std::size_t first = 0, count = 0; // positions in the selection
    std::int64_t rowId = 0;           // 0 when no row was appended
    BatchState state = BatchState::NotQueued;
    bool commitFailed = false; // its commit failed and was settled by the row's ID
    std::string cause;         // why it is not queued or unknown (UTF-8)
};

struct SendReport {
    inline static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);
    bool selected = false;              // the job got as far as its selection
    std::vector<std::string> selection; // the numbers as sent, in order
    // For each selection element, its index among the checked phones the
    // window gave; kNoEntry for the self-check number.
    std::vector<std::size_t> entryOf;
    // The checked phones (by index) the number rules dropped, in order.
    std::vector<std::size_t> dropped;
    std::vector<BatchReport> batches; // the batches begun, in order
    std::string cause;                // the first cause of the job's failure (UTF-8)

    // The state of selection element `i`; those of batches never begun are
    // NotQueued.
    BatchState StateOf(std::size_t i) const;
    std::size_t Count(BatchState state) const;
    // The checked phones (by index) whose numbers are queued, in order: the
    // entries a retry must leave out.
    std::vector<std::size_t> EntriesQueued() const;
    // The numbers of checked phones that are surely not queued, as sent and
    // in order: what a retry must send. Numbers of unknown outcome and the
    // self-check number are left out.
    std::vector<std::string> NumbersLeft() const;
};

} // namespace telvoro
