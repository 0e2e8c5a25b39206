#include "core/FileIO.h"

#include "core/Error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <share.h>
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

std::FILE* OpenFile(const fs::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wmode.c_str());
#else
    return std::fopen(path.c_str(), mode);
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
        f.reset(OpenFile(tmp, "wbx"));
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
    fs::rename(tmp, path, ec);
    if (ec) {
        const int err = ec.value();
        fs::remove(tmp, ec);
        ThrowCreate(path, err);
    }
}

} // namespace telvoro
