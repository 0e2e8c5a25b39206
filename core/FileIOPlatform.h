#pragma once
// What the whole-file reading and writing needs from the operating system.
// FileIO.cpp holds the rules that every platform shares; FileIO_posix.cpp and
// FileIO_win.cpp (CMake builds one of them) hold these few calls.

#include <cstdio>
#include <filesystem>
#include <memory>

namespace telvoro::platform {

// A regular file open for reading. Others may read it meanwhile but not write
// it, where the platform can deny that (Windows). Throws Error "无法打开文件…"
// for a missing file, a folder or no access, and "…不是普通文件" for a FIFO or a
// device, which is refused rather than read: it would block or never end.
class InputFile {
public:
    explicit InputFile(const std::filesystem::path& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Up to `size` bytes into `buf`; 0 only at the end. Throws as opening does.
    std::size_t Read(char* buf, std::size_t size);

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::filesystem::path path_;
};

// A new file for writing only; nullptr and errno EEXIST when the name is taken
// (never opens or follows a link to what is there). `ownerOnly`: nobody else
// may read it (0600), where the platform has modes for that.
std::FILE* CreateNewFile(const std::filesystem::path& path, bool ownerOnly);

// Flushes the file's data to the disk; 0 or the errno value.
int SyncToDisk(std::FILE* file);

// Puts `tmp` in the place of `path` in one step; 0 or the errno value.
int ReplaceByRename(const std::filesystem::path& tmp, const std::filesystem::path& path);

// The errors of FileIO.h, for the platform files to throw.
[[noreturn]] void ThrowOpen(const std::filesystem::path& path, int err);
[[noreturn]] void ThrowNotRegular(const std::filesystem::path& path);

} // namespace telvoro::platform
