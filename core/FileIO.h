#pragma once
// File reading and writing, shared by every file of the system. Files are
// read into memory as far as their text goes and written whole; nothing
// stays open.

#include "core/Error.h"

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace telvoro {

// Files are read no further than their text goes, and no file is taken
// whole whatever its size: a text longer than this (far above any real list,
// hand-off or templates file; a million-entry list is about 40 MB) is
// refused with FileTooLarge rather than read into memory.
inline constexpr std::size_t kTextLimit = std::size_t{256} << 20;
// A first line that names a setting (a data source, an account) is short.
inline constexpr std::size_t kFirstLineLimit = 4096;

// A file refused for its size; the text is "无法打开文件“PATH”：REASON".
class FileTooLarge : public Error {
public:
    using Error::Error;
};

// The file's bytes, NULs included, at most `limit` of them. Throws Error
// "无法打开文件“PATH”：REASON" when it cannot be opened or read (missing, a
// folder, no access, a read error); a FIFO or a device is refused ("不是普通文件")
// rather than read. Others may read the file meanwhile but not write it, where
// the platform can deny that (Windows). With `stopAfter`, reading ends after
// the first chunk that holds one of its bytes.
std::string ReadWholeFile(const std::filesystem::path& path, std::string_view stopAfter = {},
                          std::size_t limit = kTextLimit);

// The file's readable text: its bytes before the first NUL, read in pieces
// and no further than that NUL. Errors as ReadWholeFile; FileTooLarge when the
// text runs past `limit` bytes.
std::string ReadText(const std::filesystem::path& path, std::size_t limit = kTextLimit);

// The start of the file's text up to and including its first line end (CR or
// LF), or all of it when it has none. FileTooLarge when that is longer than
// `limit` bytes.
std::string ReadFirstLine(const std::filesystem::path& path, std::size_t limit = kFirstLineLimit);

// Gathers a file's readable text from the pieces a reader takes from it:
// the bytes before the first NUL (or up to the first line end), no more than
// `limit` of them. For readers that hold the file open themselves.
class TextPieces {
public:
    TextPieces(std::filesystem::path path, std::size_t limit, bool firstLineOnly = false);
    // Takes the next piece. False once the text is complete, so that nothing
    // more need be read. Throws FileTooLarge when the text passes the limit.
    bool Add(std::string_view piece);
    std::string Take() { return std::move(text_); }

private:
    std::filesystem::path path_;
    std::size_t limit_;
    bool firstLineOnly_;
    std::string text_;
};

// Who may read a file that WriteWholeFile creates.
enum class FileAccess {
    Usual,     // as the system makes new files (the umask); a replaced file keeps its mode
    OwnerOnly, // account data: read and write for the owner only (0600), always
};

// Replaces the file with `bytes` in one step: the bytes go to a temporary file
// beside it, which is flushed to disk and then renamed over the old one, so a
// failure or a crash never leaves a half-written file in place of a good one.
// A symbolic link stays: the file it leads to is replaced, so whoever reads
// through the link sees the new bytes.
// Throws Error "无法创建文件“PATH”：REASON" when it cannot be created (folder
// missing, read-only file, a folder of that name) and
// "写入文件“PATH”时出错：REASON" when writing fails (disk full); the old file
// then stays as it was.
void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes,
                    FileAccess access = FileAccess::Usual);

// While it lives, WriteWholeFile on this thread writes the bytes of its files
// only up to byte `failAt` (counted over all of them) and then fails with
// errno `error`, as a disk that fills up part-way does. The seam through which
// tests reach the failures that a real disk gives only by chance.
class WriteFault {
public:
    explicit WriteFault(std::size_t failAt, int error = ENOSPC);
    ~WriteFault();
    WriteFault(const WriteFault&) = delete;
    WriteFault& operator=(const WriteFault&) = delete;

private:
    friend void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes,
                               FileAccess access);
    WriteFault* outer_; // the fault this one hides, restored when it ends
    std::size_t left_;  // bytes that may still be written
    int error_;
};

// The path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);

// The system's reason for an errno value, as UTF-8 text.
std::string ReasonText(int errnoValue);

} // namespace telvoro
