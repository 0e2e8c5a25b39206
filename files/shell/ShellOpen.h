#pragma once
// Starting the text editor on a file, the one desktop service the local files
// need. Kept apart so the rest of files/ builds without a window system.

#include <filesystem>
#include <string_view>

namespace telvoro {

// Opens `file` with `program` the way the platform's shell does and returns
// at once, without waiting and without reporting anything.
// Windows: the "open" verb on `program` (e.g. "notepad.exe") with the path as
// its unquoted parameter text; true, whatever the shell made of it.
// Elsewhere there is no notepad.exe, and the desktop's editors would show the
// GBK file as unreadable bytes: nothing is started and the answer is false,
// so the caller shows an editor of its own.
bool ShellOpen(std::string_view program, const std::filesystem::path& file);

} // namespace telvoro
