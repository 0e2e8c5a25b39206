#pragma once
// The program's own editor for the templates file, where no notepad.exe
// exists: the desktop's editors show the GBK file as unreadable bytes. It
// reads the file as the menu does (GBK, or UTF-8 saved by another editor),
// takes only characters with a GBK form, and writes the file back as GBK in
// one step. It runs in a process of its own (the program started with
// --edit-templates FILE), as an external editor would: the main window closes
// at once whatever the editor holds, and the editor keeps its unsaved text and
// its own question, holding no lock on the program folder.

#include <QWidget>
#include <filesystem>

class QLabel;
class QPushButton;

namespace telvoro::ui {

class GbkTextEdit;

class TemplatesEditor : public QWidget {
    Q_OBJECT
public:
    // Shows the editor of `file` beside `owner` (the one already open is
    // raised). When the file cannot be read, says why in a message box and
    // gives null; bytes that are neither GBK nor UTF-8 are shown as U+FFFD,
    // with a message box saying so.
    static TemplatesEditor* Open(QWidget* owner, const std::filesystem::path& file);

    // Starts `program` (the program's own executable) detached with the
    // option below on `file`; false when it could not be started.
    static bool StartDetached(const QString& program, const std::filesystem::path& file);
    static constexpr const char* kOption = "edit-templates";

    // Writes the text as GBK, every line ending in CR LF. Text of the file
    // that the editor could not show (characters without a GBK form, bytes
    // that are neither GBK nor UTF-8) is lost only after the operator's yes.
    // False, after a message box saying why, when it cannot be written or was
    // not agreed to; the file then stays as it was.
    bool Save();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TemplatesEditor(QWidget* owner, std::filesystem::path file, const QString& text);
    void Closed(QCloseEvent* event);
    // True when saving loses nothing of the file, or the operator agrees.
    bool MayLoseText();

    std::filesystem::path file_;
    GbkTextEdit* text_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* close_ = nullptr;
    // Characters of the file the box could not take; they stay in the file
    // until it is saved.
    QString lost_;
};

} // namespace telvoro::ui
