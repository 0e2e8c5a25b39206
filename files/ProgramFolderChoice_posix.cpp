// The program folder choice on POSIX systems: the environment as bytes.
#include "files/ProgramFolderChoice.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <sys/stat.h>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> Environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return fs::path(value); // the bytes as they are, like every name on disk
}

} // namespace

ProgramFolderChoice ChooseProgramFolderHere(const fs::path& executableFolder,
                                            std::optional<fs::path> chosenFolder) {
    ProgramFolderFacts facts{executableFolder, std::move(chosenFolder),
                             Environment("XDG_DATA_HOME"), Environment("HOME"),
                             [](const fs::path& p) {
                                 std::error_code ec;
                                 return fs::is_directory(p, ec);
                             }};
    return ChooseProgramFolder(facts);
}

void CreateProgramFolder(const ProgramFolderChoice& choice) {
    if (choice.kind == ProgramFolderKind::ExecutableFolder) return;
    if (choice.kind == ProgramFolderKind::Chosen) {
        fs::create_directories(choice.folder);
        return;
    }
    // The per-user folder holds account data: its owner's alone (0700) from
    // the moment it exists. Its parents are made as usual.
    const fs::path folder =
        choice.folder.has_filename() ? choice.folder : choice.folder.parent_path();
    if (folder.has_parent_path()) fs::create_directories(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) == 0) return;
    const int err = errno;
    std::error_code ec;
    if (err != EEXIST || !fs::is_directory(folder, ec))
        throw fs::filesystem_error(
            "cannot create the program folder", folder,
            std::error_code(err == EEXIST ? ENOTDIR : err, std::generic_category()));
}

} // namespace telvoro
