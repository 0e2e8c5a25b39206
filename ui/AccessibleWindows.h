#pragma once
// How assistive technology sees the program's own top-level windows: as
// windows (a plain widget would be a "filler"), and the main window with its
// open template menu among its children (a popup is no child of any window
// in Qt's tree, so a screen reader could not find it).

namespace telvoro::ui {

// Installs the accessible interfaces of the main window and the templates
// editor; once per program, later calls do nothing.
void AnnounceWindows();

} // namespace telvoro::ui
