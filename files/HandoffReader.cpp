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
    : list_(list), folder_(folder), handoffPath_(folder.HandoffFile()), yield_(std::move(yield)) {
    for (unsigned i = 0; i < claimedPaths_.size(); ++i)
        claimedPaths_[i] = folder.ClaimedHandoffFile(i);
}

HandoffReader::TickResult HandoffReader::Tick() {
    if (heldBack_ || inTick_) return TickResult::HeldBack;
    inTick_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inTick_};
    try {
        // Each failure states its own cause; none is left from an earlier one.
        failure_.clear();
        return TickOnce();
    } catch (const std::exception& e) {
        failure_ = e.what();
        return TickResult::Failed; // the file stays and is read again next tick
    } catch (...) {
        failure_ = "unknown failure";
        return TickResult::Failed;
    }
}

void HandoffReader::Merge(std::string_view bytes) {
    // Line by line: a file of millions of blank lines holds no list of them.
    ForEachLine(bytes, [&](std::string_view line) {
        list_.AddIfNewPhone(GetField(line, '\t', 1), GetField(line, '\t', 2), yield_);
    });
}

HandoffReader::TickResult HandoffReader::Fail(std::string why) {
    failure_ = std::move(why);
    return TickResult::Failed;
}

void HandoffReader::Notice(const std::string& text) {
    if (noticeHook_) noticeHook_(text);
}

std::filesystem::path HandoffReader::SetAsidePath() const {
    std::error_code ec;
    for (unsigned n = 1; n <= 1000; ++n) {
        std::filesystem::path p = folder_.SetAsideHandoffFile(n);
        if (!std::filesystem::exists(std::filesystem::symlink_status(p, ec))) return p;
    }
    return {};
}

} // namespace telvoro
