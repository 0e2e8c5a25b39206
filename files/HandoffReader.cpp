#include "files/HandoffReader.h"

#include "core/FileIO.h"
#include "core/TextRules.h"

#include <cerrno>
#include <exception>

#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace telvoro {

namespace fs = std::filesystem;

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

namespace {

void MergeLines(RecipientList& list, std::string bytes, const YieldStep& yield) {
    const std::vector<std::string> lines = SplitLines(bytes);
    std::string().swap(bytes);
    for (const std::string& line : lines)
        list.AddIfNewPhone(GetField(line, '\t', 1), GetField(line, '\t', 2), yield);
}

} // namespace

#ifdef _WIN32

namespace {

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

bool RenameByHandle(HANDLE h, const fs::path& to) {
    // A full path, NUL-terminated: a bare or relative name is not taken as
    // relative to the file's own folder.
    std::error_code ec;
    const std::wstring name = fs::absolute(to, ec).wstring();
    if (ec) return false;
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size())) != 0;
}

// Deleted once the handle closes. A read-only file is deleted too: a claimed
// file that stays would be merged at every tick and hold back every later one.
bool DeleteByHandle(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose)) return true;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) &&
           SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
}

} // namespace

HandoffReader::TickResult HandoffReader::TickOnce() {
    std::error_code ec;
    // A claimed file left behind goes first; a new hand-off file waits for it.
    const fs::file_status claimedStatus = fs::symlink_status(claimedPath_, ec);
    bool claimed = fs::exists(claimedStatus);
    if (claimed && !fs::is_regular_file(claimedStatus)) {
        // Not ours (a folder, a link): it must not block every later hand-off.
        fs::remove(claimedPath_, ec);
        claimed = false;
    }
    const fs::path& target = claimed ? claimedPath_ : handoffPath_;
    // Share mode FILE_SHARE_READ: the open fails while another program has the
    // file open for writing, and nobody can open it for writing while we hold it.
    Handle file{CreateFileW(target.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return TickResult::NoFile;
        if (err == ERROR_SHARING_VIOLATION) return TickResult::Waiting;
        return TickResult::Failed;
    }
    if (GetFileType(file.h) != FILE_TYPE_DISK) return TickResult::Failed;
    if (!claimed) {
        if (!RenameByHandle(file.h, claimedPath_)) return TickResult::Failed;
        if (stepHook_) stepHook_(Step::Claimed);
    }
    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.h, buf, sizeof buf, &n, nullptr)) return TickResult::Failed;
        if (n == 0) break;
        bytes.append(buf, n);
    }
    if (stepHook_) stepHook_(Step::Read);
    MergeLines(list_, std::move(bytes), yield_);
    if (stepHook_) stepHook_(Step::Merged);
    if (!DeleteByHandle(file.h)) return TickResult::Failed; // merged again next tick
    return TickResult::Merged;
}

#else

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
    MergeLines(list_, std::move(bytes), yield_);
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

#endif

} // namespace telvoro
