#pragma once
// A fresh folder under the system's temp folder, removed with all it holds.

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

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

    // The names in the folder (or in its subfolder `sub`), sorted: what a
    // failed write may have left behind shows here.
    std::vector<std::filesystem::path> Names(const std::filesystem::path& sub = {}) const {
        std::vector<std::filesystem::path> names;
        for (const auto& entry : std::filesystem::directory_iterator(path / sub))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace telvoro
