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

namespace {

[[noreturn]] void ThrowTooLarge(const fs::path& path, std::size_t limit, bool firstLine) {
    throw FileTooLarge("无法打开文件“" + PathText(path) + "”：" +
                       (firstLine ? "第一行超过 " : "文件超过 ") + std::to_string(limit) + " 字节");
}

constexpr std::size_t kPiece = std::size_t{1} << 16;

} // namespace

std::string ReadWholeFile(const fs::path& path, std::string_view stopAfter, std::size_t limit) {
    platform::InputFile file(path);
    std::string bytes;
    char buf[kPiece];
    // Reads on until the end, or until a chunk holds a byte of `stopAfter`.
    for (;;) {
        const std::size_t n = file.Read(buf, sizeof buf);
        if (n == 0) break;
        if (n > limit - bytes.size()) ThrowTooLarge(path, limit, false);
        bytes.append(buf, n);
        if (!stopAfter.empty() &&
            std::string_view(buf, n).find_first_of(stopAfter) != std::string_view::npos)
            break;
    }
    return bytes;
}

TextPieces::TextPieces(fs::path path, std::size_t limit, bool firstLineOnly)
    : path_(std::move(path)), limit_(limit), firstLineOnly_(firstLineOnly) {}

bool TextPieces::Add(std::string_view piece) {
    static constexpr std::string_view kNulOrLineEnd("\0\r\n", 3);
    const std::size_t end =
        firstLineOnly_ ? piece.find_first_of(kNulOrLineEnd) : piece.find('\0'); // memchr
    const bool more = end == std::string_view::npos;
    // A line end belongs to the line; a NUL belongs to nothing.
    if (!more) piece = piece.substr(0, piece[end] == '\0' ? end : end + 1);
    if (piece.size() > limit_ - text_.size()) ThrowTooLarge(path_, limit_, firstLineOnly_);
    text_.append(piece);
    return more;
}

namespace {

std::string ReadPieces(const fs::path& path, TextPieces text) {
    platform::InputFile file(path);
    char buf[kPiece];
    for (;;) {
        const std::size_t n = file.Read(buf, sizeof buf);
        if (n == 0 || !text.Add({buf, n})) break;
    }
    return text.Take();
}

} // namespace

std::string ReadText(const fs::path& path, std::size_t limit) {
    return ReadPieces(path, TextPieces(path, limit));
}

std::string ReadFirstLine(const fs::path& path, std::size_t limit) {
    return ReadPieces(path, TextPieces(path, limit, true));
}

void WriteWholeFile(const fs::path& named, std::string_view bytes, FileAccess access) {
    std::error_code ec;
    // Through a symbolic link: the file it leads to is replaced, the link stays.
    // A link that leads nowhere yet names the file to create.
    fs::path path = named;
    for (int hops = 0; fs::is_symlink(fs::symlink_status(path, ec)); ++hops) {
        const fs::path target = fs::read_symlink(path, ec);
        if (ec || hops == 40) ThrowCreate(named, ec ? ec.value() : ELOOP);
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
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
        f.reset(platform::CreateNewFile(tmp, access == FileAccess::OwnerOnly));
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
    // Keep the old file's mode; account data stays the owner's only.
    if (exists && access == FileAccess::Usual) fs::permissions(tmp, st.permissions(), ec);
    if (const int err = platform::ReplaceByRename(tmp, path); err != 0) {
        fs::remove(tmp, ec);
        ThrowCreate(path, err);
    }
}

} // namespace telvoro
