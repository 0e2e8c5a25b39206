// The hand-off tick on Windows; the rules it keeps are in HandoffReader.h.
#include "files/HandoffReader.h"

#include "core/FileIO.h"

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

std::string Named(const fs::path& path) {
    return "“" + PathText(path) + "”";
}

std::string SystemText(DWORD err) {
    return std::system_category().message(static_cast<int>(err));
}

} // namespace

HandoffReader::TickResult HandoffReader::TickOnce() {
    const fs::path& claimedPath = claimedPaths_[0];
    std::error_code ec;
    // A claimed file left behind goes first; a new hand-off file waits for it.
    const fs::file_status claimedStatus = fs::symlink_status(claimedPath, ec);
    bool claimed = fs::exists(claimedStatus);
    if (claimed && !fs::is_regular_file(claimedStatus)) {
        // Not ours (a folder, a link): it must not block every later hand-off.
        if (!SetAside(claimedPath, fs::is_directory(claimedStatus) ? "a folder" : "not a file")) {
            fs::remove(claimedPath, ec);
            if (fs::exists(fs::symlink_status(claimedPath, ec)))
                return Fail(Named(claimedPath) + " is in the way of the claim");
        }
        claimed = false;
    }
    const fs::path& target = claimed ? claimedPath : handoffPath_;
    // Share mode FILE_SHARE_READ: the open fails while another program has the
    // file open for writing, and nobody can open it for writing while we hold it.
    Handle file{CreateFileW(target.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return TickResult::NoFile;
        if (err == ERROR_SHARING_VIOLATION) return TickResult::Waiting;
        return Fail("无法打开文件" + Named(target) + "：" + SystemText(err));
    }
    if (GetFileType(file.h) != FILE_TYPE_DISK)
        return Fail("无法打开文件" + Named(target) + "：不是普通文件");
    if (!claimed) {
        if (!RenameByHandle(file.h, claimedPath))
            return Fail("无法认领文件" + Named(target) + "：" + SystemText(GetLastError()));
        if (stepHook_) stepHook_(Step::Claimed);
    }
    // Only the text: reading ends at the first NUL, and a file larger than
    // any real hand-off is refused before it takes the memory.
    TextPieces text(claimedPath, textLimit_);
    try {
        char buf[1 << 16];
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(file.h, buf, sizeof buf, &n, nullptr))
                return Fail("无法打开文件" + Named(claimedPath) + "：" +
                            SystemText(GetLastError()));
            if (n == 0 || !text.Add({buf, n})) break;
        }
    } catch (const FileTooLarge& e) {
        // Set aside, so that the next hand-off goes through.
        const fs::path aside = SetAsidePath();
        if (!aside.empty() && RenameByHandle(file.h, aside))
            Notice(Named(claimedPath) + " is larger than any hand-off: set aside as " +
                   Named(aside));
        return Fail(e.what());
    }
    if (stepHook_) stepHook_(Step::Read);
    Merge(text.Take());
    if (stepHook_) stepHook_(Step::Merged);
    if (!DeleteByHandle(file.h)) {
        // Merged but staying: moved out of the way, so it is not merged again.
        const DWORD err = GetLastError();
        const fs::path aside = SetAsidePath();
        if (!aside.empty() && RenameByHandle(file.h, aside))
            Notice(Named(claimedPath) + " cannot be deleted (" + SystemText(err) +
                   "): merged and set aside as " + Named(aside));
        return Fail("无法删除文件" + Named(claimedPath) + "：" + SystemText(err));
    }
    return TickResult::Merged;
}

bool HandoffReader::SetAside(const fs::path& path, const std::string& why) {
    const fs::path aside = SetAsidePath();
    std::error_code ec;
    if (!aside.empty()) fs::rename(path, aside, ec);
    if (!aside.empty() && !ec) {
        Notice(Named(path) + " is " + why + ": set aside as " + Named(aside));
        return true;
    }
    Notice(Named(path) + " is " + why + ": skipped, as it cannot be set aside (" +
           (aside.empty() ? std::string("no free name") : ec.message()) + ")");
    return false;
}

} // namespace telvoro
