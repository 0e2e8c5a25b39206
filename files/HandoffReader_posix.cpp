// The hand-off tick on POSIX systems (Linux leases); the rules it keeps are in HandoffReader.h.
#include "files/HandoffReader.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd); // also ends the lease
    }
};

std::int64_t MtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

HandoffReader::TickResult HandoffReader::TickOnce() {
    struct stat st {};
    // A claimed file left behind goes first; a new hand-off file waits for it.
    bool claimed = ::lstat(claimedPath_.c_str(), &st) == 0;
    if (claimed && !S_ISREG(st.st_mode)) {
        // Not ours (a link, a folder, a pipe): it must not block every later
        // hand-off. Clear it away and go on with the hand-off file.
        std::error_code ec;
        fs::remove(claimedPath_, ec);
        claimed = false;
    }
    const fs::path& target = claimed ? claimedPath_ : handoffPath_;
    // O_NONBLOCK: a FIFO of that name must not hang the tick.
    Fd file{::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.fd < 0) {
        if (errno != ENOENT) return TickResult::Failed;
        lastSeen_ = {};
        return TickResult::NoFile;
    }
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return TickResult::Failed;

    bool leased = false;
    if (useLeases_) {
        if (::fcntl(file.fd, F_SETLEASE, F_RDLCK) == 0) {
            leased = true;
            // Leases name their holder for the break signal (SIGIO, fatal when
            // unhandled). Nobody is named: a writer's open just waits until the
            // descriptor is closed, which the check before deleting notices.
            ::fcntl(file.fd, F_SETOWN, 0);
        } else if (errno == EAGAIN) {
            return TickResult::Waiting; // open for writing somewhere
        }
        // EACCES (not the owner), EINVAL (network file system) and the rest:
        // fall back to the stability check.
    }
    if (!leased) {
        const Seen now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                       static_cast<std::uint64_t>(st.st_size), MtimeNs(st)};
        if (!(now == lastSeen_)) {
            lastSeen_ = now;
            return TickResult::Waiting;
        }
    }

    if (!claimed) {
        if (::rename(handoffPath_.c_str(), claimedPath_.c_str()) != 0) return TickResult::Failed;
        if (stepHook_) stepHook_(Step::Claimed);
    }

    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return TickResult::Failed;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    if (stepHook_) stepHook_(Step::Read);
    Merge(std::move(bytes));
    if (stepHook_) stepHook_(Step::Merged);

    // Delete only what was read: if a writer got at the file meanwhile, keep
    // it; the next tick merges it again and skips the phones already listed.
    if (leased) {
        if (::fcntl(file.fd, F_GETLEASE) != F_RDLCK) return TickResult::Waiting;
    } else {
        struct stat after {};
        if (::fstat(file.fd, &after) != 0 || after.st_size != st.st_size ||
            MtimeNs(after) != MtimeNs(st))
            return TickResult::Waiting;
    }
    // The rename went by name: a writer that replaced the hand-off file after
    // we opened it made us claim its new file, unread. Keep that one.
    struct stat now {};
    if (::lstat(claimedPath_.c_str(), &now) == 0) {
        if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) return TickResult::Waiting;
        ::unlink(claimedPath_.c_str());
    }
    lastSeen_ = {};
    return TickResult::Merged;
}

} // namespace telvoro
