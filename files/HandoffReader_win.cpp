// The hand-off tick on Windows; the rules it keeps are in HandoffReader.h.
#include "files/HandoffReader.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

namespace telvoro {

namespace fs = std::filesystem;

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
    Merge(std::move(bytes));
    if (stepHook_) stepHook_(Step::Merged);
    if (!DeleteByHandle(file.h)) return TickResult::Failed; // merged again next tick
    return TickResult::Merged;
}

} // namespace telvoro
