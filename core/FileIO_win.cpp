#include "core/FileIOPlatform.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

namespace telvoro::platform {

namespace fs = std::filesystem;

namespace {

int ErrnoOf(DWORD err) {
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

} // namespace

struct InputFile::Handle {
    std::FILE* f;
    ~Handle() { std::fclose(f); }
};

InputFile::InputFile(const fs::path& path) : path_(path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::is_directory(st)) ThrowOpen(path, EISDIR);
    if (fs::exists(st) && !fs::is_regular_file(st)) ThrowNotRegular(path);
    // Others may read the file meanwhile, but not write it.
    errno = 0;
    std::FILE* f = _wfsopen(path.c_str(), L"rb", _SH_DENYWR);
    if (!f) ThrowOpen(path, errno ? errno : EIO);
    handle_.reset(new Handle{f});
    // Device names (NUL, CON, COM1) open anywhere and are no files: a console
    // would wait for typing.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK)
        ThrowNotRegular(path);
}

InputFile::~InputFile() = default;

std::size_t InputFile::Read(char* buf, std::size_t size) {
    const std::size_t n = std::fread(buf, 1, size, handle_->f);
    if (n == 0 && std::ferror(handle_->f)) ThrowOpen(path_, errno ? errno : EIO);
    return n;
}

std::FILE* CreateNewFile(const fs::path& path, bool /*ownerOnly*/) {
    // No modes here: a file takes the access list of its folder (a per-user
    // folder is the user's own).
    // msvcrt's fopen knows no "x": _O_EXCL is its way to refuse a name in use.
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW,
                  _S_IREAD | _S_IWRITE) != 0)
        return nullptr;
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

int SyncToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0 ? 0 : errno;
}

int ReplaceByRename(const fs::path& tmp, const fs::path& path) {
    // One rename that replaces the old file; the write-through returns only
    // once the new directory entry is on disk.
    if (MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return ErrnoOf(GetLastError());
}

} // namespace telvoro::platform
