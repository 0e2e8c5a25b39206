// The hand-off tick on POSIX systems (Linux leases); the rules it keeps are in HandoffReader.h.
#include "files/HandoffReader.h"

#include "core/FileIO.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

std::pair<std::uint64_t, std::uint64_t> Identity(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string Named(const fs::path& path) {
    return "“" + PathText(path) + "”";
}

std::string CannotOpen(const fs::path& path, int err) {
    return "无法打开文件" + Named(path) + "：" + ReasonText(err);
}

// Why the entry `st` under a claimed name in `folder` is not a claimed file
// of ours that we may merge and delete; empty when it is one. `claimedByUs`:
// this program renamed it there, whoever owns it.
std::string NotOurs(const struct stat& st, const fs::path& folder, bool claimedByUs) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    const uid_t me = ::geteuid();
    if (!claimedByUs && st.st_uid != me)
        return "a file of another user (uid " + std::to_string(st.st_uid) + ")";
    struct stat dir {};
    const fs::path where = folder.empty() ? fs::path(".") : folder;
    if (::stat(where.c_str(), &dir) != 0 ||
        ::faccessat(AT_FDCWD, where.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return "not removable: " + ReasonText(errno);
    // In a sticky folder only the file's or the folder's owner may delete it.
    if ((dir.st_mode & S_ISVTX) && me != 0 && st.st_uid != me && dir.st_uid != me)
        return "not removable: " + ReasonText(EPERM);
    return {};
}

// Whether the open file carries a flag that forbids deleting it.
bool Undeletable(int fd) {
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

} // namespace

HandoffReader::TickResult HandoffReader::TickOnce() {
    struct stat st {};
    // The claimed names: one of ours left behind goes first, and a new
    // hand-off file waits for it. Anything else there is set aside, or
    // skipped where it cannot be moved; the claim then takes a free name.
    // What is remembered of files (skipped, claimed by us) holds only for
    // those still under a claimed name: an inode number may come back.
    const fs::path* own = nullptr;
    const fs::path* free = nullptr;
    std::pair<std::uint64_t, std::uint64_t> ownId;
    decltype(skipped_) skipped, claimedByUs;
    for (const fs::path& name : claimedPaths_) {
        if (::lstat(name.c_str(), &st) != 0) {
            if (errno != ENOENT) return Fail(CannotOpen(name, errno));
            if (!free) free = &name;
            continue;
        }
        const auto id = Identity(st);
        if (claimedByUs_.count(id)) claimedByUs.insert(id);
        if (skipped_.count(id)) {
            skipped.insert(id); // told once already
            continue;
        }
        const std::string why = NotOurs(st, name.parent_path(), claimedByUs.count(id) > 0);
        if (why.empty()) {
            if (!own) {
                own = &name;
                ownId = id;
            }
        } else if (!SetAside(name, why)) {
            skipped.insert(id);
        } else if (!free) {
            free = &name;
        }
    }
    skipped_.swap(skipped);
    claimedByUs_.swap(claimedByUs);
    if (!own && !free)
        return Fail("every claimed name in " + Named(handoffPath_.parent_path()) +
                    " is taken by a file that is not the program's own");

    const fs::path& target = own ? *own : handoffPath_;
    // O_NONBLOCK: a FIFO of that name must not hang the tick. O_NOFOLLOW: a
    // claimed name swapped for a link since the look above is not followed.
    Fd file{::open(target.c_str(),
                   O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (own ? O_NOFOLLOW : 0))};
    if (file.fd < 0) {
        if (errno != ENOENT) return Fail(CannotOpen(target, errno));
        lastSeen_ = {};
        return TickResult::NoFile;
    }
    if (::fstat(file.fd, &st) != 0) return Fail(CannotOpen(target, errno));
    if (own && Identity(st) != ownId) return TickResult::Waiting; // replaced meanwhile
    if (S_ISDIR(st.st_mode)) return Fail(CannotOpen(target, EISDIR));
    if (!S_ISREG(st.st_mode)) return Fail("无法打开文件" + Named(target) + "：不是普通文件");
    if (own && Undeletable(file.fd)) {
        // Merged, it would stay and be merged again at every tick.
        skipped_.insert(Identity(st));
        return Fail(Named(target) + " cannot be deleted (immutable): skipped, not merged");
    }

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

    const fs::path& claimed = own ? *own : *free;
    if (!own) {
        if (::rename(handoffPath_.c_str(), claimed.c_str()) != 0) {
            const int err = errno;
            return Fail("无法认领文件" + Named(handoffPath_) + "：" + ReasonText(err));
        }
        claimedByUs_.insert(Identity(st));
        if (stepHook_) stepHook_(Step::Claimed);
    }

    // Only the text: reading ends at the first NUL, and a file larger than
    // any real hand-off is refused before it takes the memory.
    TextPieces text(claimed, textLimit_);
    try {
        char buf[1 << 16];
        for (;;) {
            const ssize_t n = ::read(file.fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                return Fail(CannotOpen(claimed, errno));
            }
            if (n == 0 || !text.Add({buf, static_cast<std::size_t>(n)})) break;
        }
    } catch (const FileTooLarge& e) {
        // Set aside, so that the next hand-off goes through.
        struct stat now {};
        if (::lstat(claimed.c_str(), &now) == 0 && Identity(now) == Identity(st))
            SetAside(claimed, "larger than any hand-off");
        return Fail(e.what());
    }
    if (stepHook_) stepHook_(Step::Read);
    Merge(text.Take());
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
    if (::lstat(claimed.c_str(), &now) == 0) {
        if (Identity(now) != Identity(st)) return TickResult::Waiting;
        if (::unlink(claimed.c_str()) != 0) {
            // Merged but staying: never merged again, and the claim moves on.
            const int err = errno;
            skipped_.insert(Identity(st));
            return Fail("无法删除文件" + Named(claimed) + "：" + ReasonText(err) +
                        "; merged, now skipped");
        }
    }
    claimedByUs_.erase(Identity(st));
    lastSeen_ = {};
    return TickResult::Merged;
}

bool HandoffReader::SetAside(const fs::path& path, const std::string& why) {
    const fs::path aside = SetAsidePath();
    if (!aside.empty() && ::rename(path.c_str(), aside.c_str()) == 0) {
        Notice(Named(path) + " is " + why + ": set aside as " + Named(aside));
        return true;
    }
    const int err = aside.empty() ? EEXIST : errno;
    Notice(Named(path) + " is " + why + ": skipped, as it cannot be set aside (" + ReasonText(err) +
           ")");
    return false;
}

} // namespace telvoro
