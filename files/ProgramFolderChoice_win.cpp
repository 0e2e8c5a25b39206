// The program folder choice on Windows: the environment in its wide form.
#include "files/ProgramFolderChoice.h"

#include <cstdlib>
#include <system_error>

// windows.h before shlobj.h, which uses its types.
#include <windows.h>

#include <shlobj.h>

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

// A folder Windows knows by its id (whatever the environment says), or nothing.
std::optional<fs::path> KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    std::optional<fs::path> folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)) && path)
        folder = fs::path(path);
    CoTaskMemFree(path);
    return folder;
}

} // namespace

ProgramFolderChoice ChooseProgramFolderHere(const fs::path& executableFolder,
                                            std::optional<fs::path> chosenFolder) {
    ProgramFolderFacts facts{executableFolder,
                             std::move(chosenFolder),
                             Environment(L"XDG_DATA_HOME"),
                             Environment(L"HOME"),
                             [](const fs::path& p) {
                                 std::error_code ec;
                                 return fs::is_directory(p, ec);
                             },
                             KnownFolder(FOLDERID_RoamingAppData)};
    for (const KNOWNFOLDERID* id : {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86})
        if (auto folder = KnownFolder(*id)) facts.programFiles.push_back(*folder);
    return ChooseProgramFolder(facts);
}

void CreateProgramFolder(const ProgramFolderChoice& choice) {
    if (choice.kind != ProgramFolderKind::ExecutableFolder) fs::create_directories(choice.folder);
}

} // namespace telvoro
