#pragma once
// The list and save dialogs as an operator of this program reads them: they
// open in the program folder, and the file list's sizes, kinds and dates are
// Chinese whatever the desktop's language (Qt's own dialog takes these from
// the system locale and from texts its translations lack).

#include <QString>

class QFileDialog;

namespace telvoro::ui {

// Opens `dialog` in `folder` and shows its file list in Chinese.
void PrepareFileDialog(QFileDialog& dialog, const QString& folder);

} // namespace telvoro::ui
