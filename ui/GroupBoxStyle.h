#pragma once
// A group box as on the platform the program comes from: the frame line runs
// at the middle of the caption's height, and the caption, in the box's own
// font, stands on it with the background behind it. So what sits just below
// the top edge (the recipient list's header) lies inside the frame.

class QStyle;

namespace telvoro::ui {

// The style to give each group box; one for the program's life.
QStyle* GroupBoxLook();

} // namespace telvoro::ui
