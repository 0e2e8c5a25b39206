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
#else
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
[[noreturn]] void ThrowCreate(const fs::path& path, int err) {
    throw Error("无法创建文件“" + PathText(path) + "”：" + ReasonText(err));
}
[[noreturn]] void ThrowWrite(const fs::path& path, int err) {
    throw Error("写入文件“" + PathText(path) + "”时出错：" + ReasonText(err));
}

} // namespace

std::string ReadWholeFile(const fs::path& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (fs::is_directory(st)) ThrowOpen(path, EISDIR);
    // A FIFO or a device would block or never end: only regular files are read.
    if (fs::exists(st) && !fs::is_regular_file(st))
        throw Error("无法打开文件“" + PathText(path) + "”：不是普通文件");
    errno = 0;
    FilePtr f(OpenFile(path, "rb"));
    if (!f) ThrowOpen(path, errno ? errno : EIO);
    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        bytes.append(buf, n);
        if (n < sizeof buf) break;
    }
    if (std::ferror(f.get())) ThrowOpen(path, errno ? errno : EIO);
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

    std::random_device rd;
    const fs::path tmp = fs::path(path).concat(".tmp" + std::to_string(rd() % 1000000));
    errno = 0;
    FilePtr f(OpenFile(tmp, "wb"));
    if (!f) ThrowCreate(path, errno ? errno : EIO);
    auto fail = [&](int err) {
        f.reset();
        fs::remove(tmp, ec);
        ThrowWrite(path, err ? err : EIO);
    };
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        fail(errno);
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
