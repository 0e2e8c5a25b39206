#include "core/FileIO.h"

#include "core/Error.h"
#include "core/FileIOPlatform.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>

namespace telvoro {

namespace fs = std::filesystem;

std::string PathText(const fs::path& path) {
    const std::u8string s = fs::absolute(path).lexically_normal().u8string();
    return std::string(s.begin(), s.end());
}

std::string ReasonText(int errnoValue) {
    return std::generic_category().message(errnoValue);
}

namespace platform {

void ThrowOpen(const fs::path& path, int err) {
    throw Error("无法打开文件“" + PathText(path) + "”：" + ReasonText(err));
}
void ThrowNotRegular(const fs::path& path) {
    throw Error("无法打开文件“" + PathText(path) + "”：不是普通文件");
}
} // namespace platform

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

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
    platform::InputFile file(path);
    std::string bytes;
    char buf[1 << 16];
    // Reads on until the end, or until a chunk holds a byte of `stopAfter`.
    for (;;) {
        const std::size_t n = file.Read(buf, sizeof buf);
        if (n == 0) break;
        bytes.append(buf, n);
        if (!stopAfter.empty() &&
            std::string_view(buf, n).find_first_of(stopAfter) != std::string_view::npos)
            break;
    }
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
        f.reset(platform::CreateNewFile(tmp));
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
    if (const int err = platform::SyncToDisk(f.get()); err != 0) fail(err);
    if (std::fclose(f.release()) != 0) {
        const int err = errno;
        fs::remove(tmp, ec);
        ThrowWrite(path, err ? err : EIO);
    }
    if (exists) fs::permissions(tmp, st.permissions(), ec); // keep the old file's mode
    if (const int err = platform::ReplaceByRename(tmp, path); err != 0) {
        fs::remove(tmp, ec);
        ThrowCreate(path, err);
    }
}

} // namespace telvoro
