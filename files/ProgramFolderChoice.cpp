#include "files/ProgramFolderChoice.h"

#include "core/Error.h"

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

} // namespace telvoro
