#include "core/FileIO.h"

#include "core/Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace telvoro {

namespace fs = std::filesystem;

std::string PathText(const fs::path& path) {
    const std::u8string s = fs::absolute(path).lexically_normal().u8string();
    return std::string(s.begin(), s.end());
}

std::string ReasonText(int errnoValue) {
    return std::generic_category().message(errnoValue);
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A new file for writing; fails with EEXIST when the name is taken.
std::FILE* CreateNewFile(const fs::path& path) {
#ifdef _WIN32
    // msvcrt's fopen knows no "x": _O_EXCL is its way to refuse a name in use.
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW,
                  _S_IREAD | _S_IWRITE) != 0)
        return nullptr;
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

#ifdef _WIN32
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
#endif

// Puts `tmp` in the place of `path` in one step; 0 or the errno value.
int ReplaceByRename(const fs::path& tmp, const fs::path& path) {
#ifdef _WIN32
    // One rename that replaces the old file; the write-through returns only
    // once the new directory entry is on disk.
    if (MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return ErrnoOf(GetLastError());
#else
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return ec ? ec.value() : 0;
#endif
}

[[noreturn]] void ThrowOpen(const fs::path& path, int err) {
    throw Error("无法打开文件“" + PathText(path) + "”：" + ReasonText(err));
}
[[noreturn]] void ThrowNotRegular(const fs::path& path) {
    throw Error("无法打开文件“" + PathText(path) + "”：不是普通文件");
}
[[noreturn]] void ThrowCreate(const fs::path& path, int err) {
    throw Error("无法创建文件“" + PathText(path) + "”：" + ReasonText(err));
}
[[noreturn]] void ThrowWrite(const fs::path& path, int err) {
    throw Error("写入文件“" + PathText(path) + "”时出错：" + ReasonText(err));
}

thread_local WriteFault* activeFault = nullptr;

} // namespace

WriteFault::WriteFault(std::size_t failAt, int error)
    : outer_(activeFault), left_(failAt), error_(error) {
    activeFault = this;
}

WriteFault::~WriteFault() {
    activeFault = outer_;
}

std::string ReadWholeFile(const fs::path& path, std::string_view stopAfter) {
    std::string bytes;
    char buf[1 << 16];
    // Reads on until the end, or until a chunk holds a byte of `stopAfter`.
    auto collect = [&](std::size_t n) {
        bytes.append(buf, n);
        return stopAfter.empty() ||
               std::string_view(buf, n).find_first_of(stopAfter) == std::string_view::npos;
    };
#ifdef _WIN32
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::is_directory(st)) ThrowOpen(path, EISDIR);
    if (fs::exists(st) && !fs::is_regular_file(st)) ThrowNotRegular(path);
    // Others may read the file meanwhile, but not write it.
    errno = 0;
    FilePtr f(_wfsopen(path.c_str(), L"rb", _SH_DENYWR));
    if (!f) ThrowOpen(path, errno ? errno : EIO);
    // Device names (NUL, CON, COM1) open anywhere and are no files: a console
    // would wait for typing.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f.get())))) != FILE_TYPE_DISK)
        ThrowNotRegular(path);
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        if (!collect(n) || n < sizeof buf) break;
    }
    if (std::ferror(f.get())) ThrowOpen(path, errno ? errno : EIO);
#else
    // O_NONBLOCK: a FIFO must not block the open; only regular files are read,
    // as a FIFO or a device would block or never end.
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.fd < 0) ThrowOpen(path, errno);
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) ThrowOpen(path, errno);
    if (S_ISDIR(st.st_mode)) ThrowOpen(path, EISDIR);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(path);
    for (;;) {
        const ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowOpen(path, errno);
        }
        if (n == 0 || !collect(static_cast<std::size_t>(n))) break;
    }
#endif
    return bytes;
}

void WriteWholeFile(const fs::path& path, std::string_view bytes) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::is_directory(st)) ThrowCreate(path, EISDIR);
    const bool exists = fs::exists(st);
    if (exists && (st.permissions() & fs::perms::owner_write) == fs::perms::none)
        ThrowCreate(path, EACCES);
    if (!fs::is_directory(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec))
        ThrowCreate(path, ENOENT);

    // A fresh temporary name: "x" never opens (or follows a link to) a file
    // that is already there.
    std::random_device rd;
    fs::path tmp;
    FilePtr f;
    for (int attempt = 0; !f && attempt < 16; ++attempt) {
        tmp = fs::path(path).concat(".tmp" + std::to_string(rd() % 1000000));
        errno = 0;
        f.reset(CreateNewFile(tmp));
        if (!f && errno != EEXIST) break;
    }
    if (!f) ThrowCreate(path, errno ? errno : EIO);
    auto fail = [&](int err) {
        f.reset();
        fs::remove(tmp, ec);
        ThrowWrite(path, err ? err : EIO);
    };
    std::size_t allowed = bytes.size();
    int faultError = 0;
    if (WriteFault* fault = activeFault) {
        if (fault->left_ < allowed) {
            allowed = fault->left_;
            faultError = fault->error_;
        }
        fault->left_ -= allowed;
    }
    if (allowed > 0 && std::fwrite(bytes.data(), 1, allowed, f.get()) != allowed) fail(errno);
    if (faultError != 0) {
        // What was written reaches the temporary file, as on a disk that filled up.
        std::fflush(f.get());
        fail(faultError);
    }
    if (std::fflush(f.get()) != 0) fail(errno);
#ifdef _WIN32
    if (_commit(_fileno(f.get())) != 0) fail(errno);
#else
    if (::fsync(fileno(f.get())) != 0) fail(errno);
#endif
    if (std::fclose(f.release()) != 0) {
        const int err = errno;
        fs::remove(tmp, ec);
        ThrowWrite(path, err ? err : EIO);
    }
    if (exists) fs::permissions(tmp, st.permissions(), ec); // keep the old file's mode
    if (const int err = ReplaceByRename(tmp, path); err != 0) {
        fs::remove(tmp, ec);
        ThrowCreate(path, err);
    }
}

} // namespace telvoro
