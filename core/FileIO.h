#pragma once
// Whole-file reading and writing, shared by every file of the system. Files
// are read whole into memory and written whole; nothing stays open.

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace telvoro {

// The file's bytes. Throws Error "无法打开文件“PATH”：REASON" when it cannot be
// opened or read (missing, a folder, no access, a read error); a FIFO or a
// device is refused ("不是普通文件") rather than read. Others may read the file
// meanwhile but not write it, where the platform can deny that (Windows).
// With `stopAfter`, reading ends after the first chunk that holds one of its
// bytes, for callers that need only the start of a file of any size.
std::string ReadWholeFile(const std::filesystem::path& path, std::string_view stopAfter = {});

// Replaces the file with `bytes` in one step: the bytes go to a temporary file
// beside it, which is flushed to disk and then renamed over the old one, so a
// failure or a crash never leaves a half-written file in place of a good one.
// Throws Error "无法创建文件“PATH”：REASON" when it cannot be created (folder
// missing, read-only file, a folder of that name) and
// "写入文件“PATH”时出错：REASON" when writing fails (disk full); the old file
// then stays as it was.
void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

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
    friend void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);
    WriteFault* outer_; // the fault this one hides, restored when it ends
    std::size_t left_;  // bytes that may still be written
    int error_;
};

// The path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);

// The system's reason for an errno value, as UTF-8 text.
std::string ReasonText(int errnoValue);

} // namespace telvoro
