// The program folder choice on Windows: the environment in its wide form.
#include "files/ProgramFolderChoice.h"

#include <cstdlib>
#include <system_error>

namespace telvoro {

namespace fs = std::filesystem;

namespace {

// The wide form keeps every character of a folder's name. _wgetenv, as
// msvcrt.dll has no _wdupenv_s; the value is copied at once.
std::optional<fs::path> Environment(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    if (value == nullptr) return std::nullopt;
    return fs::path(value);
}

} // namespace

ProgramFolderChoice ChooseProgramFolderHere(const fs::path& executableFolder,
                                            std::optional<fs::path> chosenFolder) {
    ProgramFolderFacts facts{executableFolder, std::move(chosenFolder),
                             Environment(L"XDG_DATA_HOME"), Environment(L"HOME"),
                             [](const fs::path& p) {
                                 std::error_code ec;
                                 return fs::is_directory(p, ec);
                             },
                             Environment(L"APPDATA")};
    for (const wchar_t* name : {L"ProgramFiles", L"ProgramW6432", L"ProgramFiles(x86)"})
        if (auto folder = Environment(name)) facts.programFiles.push_back(*folder);
    return ChooseProgramFolder(facts);
}

void CreateProgramFolder(const ProgramFolderChoice& choice) {
    if (choice.kind != ProgramFolderKind::ExecutableFolder) fs::create_directories(choice.folder);
}

} // namespace telvoro
