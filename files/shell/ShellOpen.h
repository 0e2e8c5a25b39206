#pragma once
// Starting the text editor on a file, the one desktop service the local files
// need. Kept apart so the rest of files/ builds without a window system.

#include <filesystem>
#include <string_view>

namespace telvoro {

// Opens `file` with `program` the way the platform's shell does and returns
// at once, without waiting and without reporting anything.
// Windows: the "open" verb on `program` (e.g. "notepad.exe") with the path as
// its unquoted parameter text. Elsewhere, where there is no notepad.exe,
// `program` is not used: the desktop's own editor for the file through Qt's
// desktop services (needs a QGuiApplication), and only when that fails
// $VISUAL or $EDITOR in a terminal (x-terminal-emulator -e).
void ShellOpen(std::string_view program, const std::filesystem::path& file);

} // namespace telvoro
