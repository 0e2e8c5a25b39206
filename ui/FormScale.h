#pragma once
// Windows laid out in absolute pixels on a screen too small for them (a high
// scale on a small screen): the layout shrinks as a whole, places, sizes and
// font together, so every control stays where it is meant to be relative to
// the others; never a cut-off or scrolling window.

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace telvoro::ui {

// 1 when an inside of `inside` with `frame` around it fits `area`, else the
// largest factor below 1 at which it does.
double FitScale(QSize inside, QMargins frame, QRect area);

// `wanted` (the frame's top left) moved into `area` as little as it must for
// an outer size of `outer`.
QPoint KeepInArea(QPoint wanted, QSize outer, QRect area);

// `size` at `factor`, never larger than the room it was computed for.
QSize ScaledSize(QSize size, double factor);

// Shows `form` and the controls placed on it (and on its group boxes) at
// `factor` of their designed places, sizes and the font of `window`. The
// designed values are taken the first time a control is seen, so controls
// added later are scaled by the next call. Gives the form's new size.
QSize ScaleForm(QWidget& window, QWidget& form, double factor);

} // namespace telvoro::ui
