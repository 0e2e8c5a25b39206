#include "files/HandoffReader.h"

#include "core/FileIO.h"
#include "core/TextRules.h"

#include <cerrno>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace telvoro {

HandoffReader::HandoffReader(RecipientList& list, const ProgramFolder& folder, YieldStep yield)
    : list_(list), handoffPath_(folder.HandoffFile()), claimedPath_(folder.ClaimedHandoffFile()),
      yield_(std::move(yield)) {}

HandoffReader::TickResult HandoffReader::Tick() {
    if (heldBack_ || inTick_) return TickResult::HeldBack;
    inTick_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inTick_};
    try {
        errno = 0;
        const TickResult result = TickOnce();
        if (result == TickResult::Failed)
            failure_ = errno != 0 ? ReasonText(errno) : "the hand-off file cannot be read";
        return result;
    } catch (const std::exception& e) {
        failure_ = e.what();
        return TickResult::Failed; // the file stays and is read again next tick
    } catch (...) {
        failure_ = "unknown failure";
        return TickResult::Failed;
    }
}

void HandoffReader::Merge(std::string bytes) {
    const std::vector<std::string> lines = SplitLines(bytes);
    std::string().swap(bytes);
    for (const std::string& line : lines)
        list_.AddIfNewPhone(GetField(line, '\t', 1), GetField(line, '\t', 2), yield_);
}

} // namespace telvoro
