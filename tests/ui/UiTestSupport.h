#pragma once
// Shared by the window tests: a dialog runner that answers every dialog
// without blocking and records what it was asked, and finding a control.

#include "ui/GbkTextEdit.h"
#include "ui/UiCommon.h"

#include <QAbstractButton>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

struct SeenDialog {
    QString className;
    QString title;
    QString text; // a message box's text
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class ScriptedDialogs : public telvoro::ui::DialogRunner {
public:
    ScriptedDialogs() : previous_(&telvoro::ui::Dialogs()) { telvoro::ui::SetDialogRunner(this); }
    ~ScriptedDialogs() override { telvoro::ui::SetDialogRunner(previous_); }
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    // Answers one dialog; without it message boxes get OK and others Rejected.
    std::function<int(QDialog&)> answer;
    std::vector<SeenDialog> seen;

    int Exec(QDialog& dialog) override {
        SeenDialog s;
        s.className = QString::fromLatin1(dialog.metaObject()->className());
        s.title = dialog.windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            s.text = box->text();
            s.icon = box->icon();
        }
        seen.push_back(s);
        if (answer) return answer(dialog);
        return qobject_cast<QMessageBox*>(&dialog) ? int(QMessageBox::Ok) : int(QDialog::Rejected);
    }

    telvoro::ui::DialogRunner* previous_;

    QStringList Texts() const {
        QStringList t;
        for (const SeenDialog& s : seen)
            t << s.text;
        return t;
    }
};

// The control of `window` named `name`; a missing one ends the test run,
// since every test after it would only fail on a null pointer.
template <class T> T* Control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QLatin1String(name));
    if (found == nullptr) qFatal("no control named %s", name);
    return found;
}

// The caption a control shows: a button's or label's text, a line edit's
// contents, a group box's title; empty for any other control.
inline QString Caption(const QWidget& control) {
    if (auto* b = qobject_cast<const QAbstractButton*>(&control)) return b->text();
    if (auto* l = qobject_cast<const QLabel*>(&control)) return l->text();
    if (auto* e = qobject_cast<const QLineEdit*>(&control)) return e->text();
    if (auto* g = qobject_cast<const QGroupBox*>(&control)) return g->title();
    return {};
}

// The editing dialog's controls, by name.
inline telvoro::ui::GbkTextEdit* Memo1(const QObject& dialog) {
    return Control<telvoro::ui::GbkTextEdit>(dialog, "Memo1");
}
inline QLineEdit* Edit_SL(const QObject& dialog) {
    return Control<QLineEdit>(dialog, "Edit_SL");
}
inline QPushButton* Button1(const QObject& dialog) {
    return Control<QPushButton>(dialog, "Button1");
}
inline QPushButton* Button2(const QObject& dialog) {
    return Control<QPushButton>(dialog, "Button2");
}
