// The program folder choice on POSIX systems: the environment as bytes.
#include "files/ProgramFolderChoice.h"

#include <cstdlib>
#include <system_error>

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
    if (choice.kind != ProgramFolderKind::ExecutableFolder) fs::create_directories(choice.folder);
}

} // namespace telvoro
