#pragma once
// The hand-off reader: another program drops "SendGSM.ini" (GBK lines of
// name TAB phone) into the program folder; each Tick() merges its lines into
// the recipient list with AddIfNewPhone and removes the file. Its vanishing is
// the writer's only acknowledgement. The window's one-second timer calls Tick()
// (stopped for the length of the tick); tests call it directly.
//
// A line is never lost:
//   * The file is taken only when no other program has it open for writing.
//     On Linux a read lease (F_SETLEASE F_RDLCK on a read-only descriptor)
//     fails with EAGAIN exactly then. Where leases are unavailable (EACCES for
//     a file of another owner, EINVAL on network file systems) the file is
//     taken once its size, time and identity are the same at two ticks in a
//     row. On Windows the file is opened with share mode FILE_SHARE_READ.
//   * Before reading, the file is claimed: renamed to "SendGSM.ini.claimed" in
//     the same folder while the lease (or share mode) keeps writers out. A
//     writer that comes later creates a fresh "SendGSM.ini", which waits for
//     the next tick. Only the claimed file is deleted, after all its lines are
//     merged and only when nobody tried to write to it meanwhile.
//   * A claimed file left behind (an error, a crash) is merged at a later tick
//     before any new "SendGSM.ini"; phones merged before are skipped, as the
//     list takes each phone only once.
// Only the program's own claimed files are merged: a regular file of this
// user that the program may delete. Anything else under a claimed name (a
// folder, a link, another user's file in a shared folder) is set aside,
// renamed to "SendGSM.ini.set-aside.N", or, where it cannot be moved (another
// user's file in a sticky folder), skipped: the claim then takes the spare
// name "SendGSM.ini.claimed.1" (to .3). Either way it is told to the notice
// hook once and the next hand-off goes on.
// Only the text is read: reading ends at the first NUL. A file whose text
// passes kTextLimit is refused and set aside, so it cannot take the memory.
// Every error ends the tick; LastFailure() says why, the file stays and is
// tried again.

#include "core/FileIO.h"
#include "core/RecipientList.h"
#include "files/ProgramFolder.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace telvoro {

class HandoffReader {
public:
    enum class TickResult {
        NoFile,   // nothing to merge
        HeldBack, // SetHeldBack(true), or a tick already running
        Waiting,  // a file is there but may still be written; tried next tick
        Merged,   // a file was merged and deleted
        Failed,   // an error ended the tick; the file stays (or, refused, is set aside)
    };

    // `folder` holds the hand-off file; `yield` is handed to every
    // AddIfNewPhone. The list must outlive the reader.
    HandoffReader(RecipientList& list, const ProgramFolder& folder, YieldStep yield = {});

    // One tick. Never throws. The result is for tests; the window ignores it.
    TickResult Tick();
    // Why the last tick that failed did (UTF-8), for the window's log.
    const std::string& LastFailure() const { return failure_; }
    // Told (UTF-8) of each file set aside or skipped and why, once per file,
    // also in ticks that go on to merge; for the window's log.
    void SetNoticeHook(std::function<void(const std::string&)> hook) {
        noticeHook_ = std::move(hook);
    }

    // While held back, Tick() does nothing and the file waits. The window holds
    // the reader back while the recipient editing dialog is open, so that merged
    // entries are not dropped by the dialog's confirmation.
    void SetHeldBack(bool heldBack) { heldBack_ = heldBack; }
    bool HeldBack() const { return heldBack_; }

    const std::filesystem::path& HandoffPath() const { return handoffPath_; }
    const std::filesystem::path& ClaimedPath() const { return claimedPaths_[0]; }

    // Off makes the reader behave as on a file system without leases (the
    // stability check); for tests of that path.
    void UseLeases(bool on) { useLeases_ = on; }
    // The size above which a file is refused (kTextLimit); lower for tests.
    void SetTextLimit(std::size_t limit) { textLimit_ = limit; }

    // Test seam: called at these points of a tick that has a file.
    enum class Step { Claimed, Read, Merged };
    void SetStepHook(std::function<void(Step)> hook) { stepHook_ = std::move(hook); }

private:
    TickResult TickOnce(); // the platform's own, in HandoffReader_posix.cpp or _win.cpp
    // Merges the lines of `bytes` into the list.
    void Merge(std::string_view bytes);
    TickResult Fail(std::string why);
    void Notice(const std::string& text);
    // A free name to set a file aside under; empty when there is none.
    std::filesystem::path SetAsidePath() const;
    // Moves `path` to a set-aside name and tells the notice hook, with `why`;
    // false (also told) when it cannot be moved.
    bool SetAside(const std::filesystem::path& path, const std::string& why);

    RecipientList& list_;
    ProgramFolder folder_;
    std::filesystem::path handoffPath_;
    // The claimed name, then the spare ones for when it is blocked.
    std::array<std::filesystem::path, 4> claimedPaths_;
    YieldStep yield_;
    std::function<void(Step)> stepHook_;
    std::function<void(const std::string&)> noticeHook_;
    // Files (device, inode) found not to be ours and left where they are, and
    // files this reader claimed itself (whoever owns them).
    std::set<std::pair<std::uint64_t, std::uint64_t>> skipped_, claimedByUs_;
    bool heldBack_ = false;
    bool inTick_ = false;
    std::string failure_;
    bool useLeases_ = true;
    std::size_t textLimit_ = kTextLimit;
    // What the stability check saw at the previous tick.
    struct Seen {
        std::uint64_t dev = 0, ino = 0, size = 0;
        std::int64_t mtimeNs = -1;
        bool operator==(const Seen&) const = default;
    } lastSeen_;
};

} // namespace telvoro
