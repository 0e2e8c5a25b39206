#pragma once
// What the program shows itself by to the desktop: an ASCII application name
// (the window class X11 window managers and task bars match on; the window
// titles stay Chinese), the desktop file's id (the app id Wayland shells
// match on) and the program's icon on every window.

#include <QIcon>

namespace telvoro::ui {

// The desktop file's id, as installed under share/applications.
inline constexpr char kDesktopFileId[] = "org.telvoro.Telvoro";
// The application name, also the X11 window class.
inline constexpr char kApplicationName[] = "Telvoro";

// The program's icon, compiled into the program.
QIcon ProgramIcon();

// Sets the names and the icon on the application; call before the first window.
void SetProgramIdentity();

} // namespace telvoro::ui
