#include "files/ProgramFolderChoice.h"

#include "core/Error.h"

#include <algorithm>
#include <cwctype>

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

// A folder's name as Windows compares it: one separator, no case.
std::wstring FoldedName(const fs::path& folder) {
    std::wstring name = WithoutTrailingSeparator(folder.lexically_normal()).generic_wstring();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return name;
}

} // namespace

bool IsUnderProgramFiles(const fs::path& executableFolder,
                         const std::vector<fs::path>& programFiles) {
    if (executableFolder.empty()) return false;
    const std::wstring exe = FoldedName(executableFolder);
    return std::any_of(programFiles.begin(), programFiles.end(), [&](const fs::path& root) {
        const std::wstring r = FoldedName(root);
        return !r.empty() && exe.size() > r.size() && exe.compare(0, r.size(), r) == 0 &&
               exe[r.size()] == L'/';
    });
}

bool IsInstalledLayout(const fs::path& executableFolder,
                       const std::function<bool(const fs::path&)>& isDirectory) {
    const fs::path bin = WithoutTrailingSeparator(executableFolder);
    if (bin.filename() != "bin" || !bin.has_parent_path()) return false;
    return isDirectory(bin.parent_path() / "share" / "telvoro");
}

ProgramFolderChoice ChooseProgramFolder(const ProgramFolderFacts& facts) {
    if (facts.chosenFolder) return {*facts.chosenFolder, ProgramFolderKind::Chosen};
    if (!IsInstalledLayout(facts.executableFolder, facts.isDirectory) &&
        !IsUnderProgramFiles(facts.executableFolder, facts.programFiles))
        return {facts.executableFolder, ProgramFolderKind::ExecutableFolder};
    if (Usable(facts.appData)) return {*facts.appData / "Telvoro", ProgramFolderKind::PerUser};
    if (Usable(facts.xdgDataHome))
        return {*facts.xdgDataHome / "Telvoro", ProgramFolderKind::PerUser};
    if (Usable(facts.home))
        return {*facts.home / ".local" / "share" / "Telvoro", ProgramFolderKind::PerUser};
    throw Error("no per-user program folder: neither APPDATA, XDG_DATA_HOME nor HOME is an "
                "absolute folder; choose one with --program-folder");
}

} // namespace telvoro
