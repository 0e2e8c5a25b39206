// Starting the text editor on Windows: the shell's "open" verb.
#include "files/shell/ShellOpen.h"

#include <string>
// windows.h must come first: shellapi.h builds on its types.
#include <windows.h>

#include <shellapi.h>

namespace telvoro {

bool ShellOpen(std::string_view program, const std::filesystem::path& file) {
    const std::wstring prog(program.begin(), program.end()); // ASCII program names only
    // The result is not looked at: a failure shows nothing.
    ShellExecuteW(nullptr, L"open", prog.c_str(), file.c_str(), nullptr, SW_SHOWNORMAL);
    return true;
}

} // namespace telvoro
