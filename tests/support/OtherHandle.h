#pragma once
// Another program's handle on a file, for the Windows tests of share modes.

#include <windows.h>

#include <filesystem>
#include <string>

namespace telvoro {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct OtherHandle {
    HANDLE h;
    OtherHandle(const std::filesystem::path& path, DWORD access, DWORD share,
                DWORD disposition = OPEN_EXISTING)
        : h(CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                        nullptr)) {}
    ~OtherHandle() { Close(); }
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;
    bool Write(const std::string& bytes) const {
        DWORD n = 0;
        return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
               n == bytes.size();
    }
    void Close() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

} // namespace telvoro
