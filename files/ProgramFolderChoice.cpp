#include "files/ProgramFolderChoice.h"

#include "core/Error.h"

#include <cstdlib>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

// The folder without a trailing separator, so that its name can be compared.
fs::path WithoutTrailingSeparator(const fs::path& folder) {
    return folder.has_filename() ? folder : folder.parent_path();
}

// XDG base directories: an empty or relative value counts as unset. (A root
// without a drive letter counts as absolute, so the rule reads alike on Windows.)
bool Usable(const std::optional<fs::path>& folder) {
    return folder && folder->has_root_directory();
}

std::optional<fs::path> Environment(const wchar_t* wideName, const char* name) {
#ifdef _WIN32
    // The wide form keeps every character of a folder's name. _wgetenv, as
    // msvcrt.dll has no _wdupenv_s; the value is copied at once.
    static_cast<void>(name);
    const wchar_t* value = _wgetenv(wideName);
    if (value == nullptr) return std::nullopt;
    return fs::path(value);
#else
    static_cast<void>(wideName);
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return fs::path(value); // the bytes as they are, like every name on disk
#endif
}

} // namespace

bool IsInstalledLayout(const fs::path& executableFolder,
                       const std::function<bool(const fs::path&)>& isDirectory) {
    const fs::path bin = WithoutTrailingSeparator(executableFolder);
    if (bin.filename() != "bin" || !bin.has_parent_path()) return false;
    return isDirectory(bin.parent_path() / "share" / "telvoro");
}

ProgramFolderChoice ChooseProgramFolder(const ProgramFolderFacts& facts) {
    if (facts.chosenFolder) return {*facts.chosenFolder, ProgramFolderKind::Chosen};
    if (!IsInstalledLayout(facts.executableFolder, facts.isDirectory))
        return {facts.executableFolder, ProgramFolderKind::ExecutableFolder};
    if (Usable(facts.xdgDataHome))
        return {*facts.xdgDataHome / "Telvoro", ProgramFolderKind::PerUser};
    if (Usable(facts.home))
        return {*facts.home / ".local" / "share" / "Telvoro", ProgramFolderKind::PerUser};
    throw Error("no per-user program folder: neither XDG_DATA_HOME nor HOME is an absolute "
                "folder; choose one with --program-folder");
}

ProgramFolderChoice ChooseProgramFolderHere(const fs::path& executableFolder,
                                            std::optional<fs::path> chosenFolder) {
    ProgramFolderFacts facts{executableFolder, std::move(chosenFolder),
                             Environment(L"XDG_DATA_HOME", "XDG_DATA_HOME"),
                             Environment(L"HOME", "HOME"), [](const fs::path& p) {
                                 std::error_code ec;
                                 return fs::is_directory(p, ec);
                             }};
    return ChooseProgramFolder(facts);
}

void CreateProgramFolder(const ProgramFolderChoice& choice) {
    if (choice.kind != ProgramFolderKind::ExecutableFolder) fs::create_directories(choice.folder);
}

} // namespace telvoro
