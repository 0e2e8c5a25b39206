#pragma once
// A fresh folder under the system's temp folder, removed with all it holds.

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace telvoro {

struct TempFolder {
    std::filesystem::path path;

    TempFolder() {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() /
               ("telvoro-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        // Tests may have taken the write bit away to provoke failures.
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path operator/(const std::filesystem::path& name) const { return path / name; }
};

} // namespace telvoro
