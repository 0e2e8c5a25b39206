// Starting the text editor where there is no notepad.exe: none is started.
// The desktop's editors (xdg-open, $EDITOR) take the file for UTF-8 and show
// its GBK text as unreadable bytes, so the program edits it itself.
#include "files/shell/ShellOpen.h"

namespace telvoro {

bool ShellOpen(std::string_view /*program*/, const std::filesystem::path& /*file*/) {
    return false;
}

} // namespace telvoro
