#pragma once
// Which folder is the program folder. A copy run from a folder of its own keeps
// its executable's folder; an installed program, whose executable sits in a
// system folder the user cannot write, keeps its files in a per-user folder;
// --program-folder overrides both.

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace telvoro {

struct ProgramFolderFacts {
    std::filesystem::path executableFolder;            // empty when it cannot be had
    std::optional<std::filesystem::path> chosenFolder; // --program-folder
    std::optional<std::filesystem::path> xdgDataHome;  // $XDG_DATA_HOME
    std::optional<std::filesystem::path> home;         // $HOME
    std::function<bool(const std::filesystem::path&)> isDirectory;
    // Windows: %APPDATA%, and the folders programs are installed under
    // (%ProgramFiles% and its kin), which a user cannot write.
    std::optional<std::filesystem::path> appData = {};
    std::vector<std::filesystem::path> programFiles = {};
};

enum class ProgramFolderKind { Chosen, PerUser, ExecutableFolder };

struct ProgramFolderChoice {
    std::filesystem::path folder;
    ProgramFolderKind kind;
    bool operator==(const ProgramFolderChoice&) const = default;
};

// True when `executableFolder` is a `bin` folder with `share/telvoro` beside
// it: the layout an install makes under any prefix.
bool IsInstalledLayout(const std::filesystem::path& executableFolder,
                       const std::function<bool(const std::filesystem::path&)>& isDirectory);

// True when `executableFolder` lies inside one of `programFiles` (compared as
// Windows compares names: without regard to case or separator).
bool IsUnderProgramFiles(const std::filesystem::path& executableFolder,
                         const std::vector<std::filesystem::path>& programFiles);

// The folder and why it was chosen; touches nothing but `isDirectory`. An
// installed program (the layout above, or under Program Files) keeps its files
// in %APPDATA%\Telvoro, $XDG_DATA_HOME/Telvoro or ~/.local/share/Telvoro, the
// first of them that is an absolute folder; throws Error when none is.
ProgramFolderChoice ChooseProgramFolder(const ProgramFolderFacts& facts);

// The choice on this machine: the environment and the file system as they are.
ProgramFolderChoice ChooseProgramFolderHere(const std::filesystem::path& executableFolder,
                                            std::optional<std::filesystem::path> chosenFolder);

// Creates the chosen or per-user folder when it is missing; an executable's
// folder is left as it is. A per-user folder is made for its owner alone
// (0700, where there are modes), as it holds the account settings. Throws
// std::filesystem::filesystem_error.
void CreateProgramFolder(const ProgramFolderChoice& choice);

} // namespace telvoro
