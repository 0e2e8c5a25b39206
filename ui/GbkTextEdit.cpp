#include "ui/GbkTextEdit.h"

#include "text/GbkCodec.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>

namespace telvoro::ui {

namespace {

// Line and paragraph separators become line breaks in the text box; every
// other character must have a GBK form.
bool Acceptable(const QString& text) {
    QString plain = text;
    plain.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
    return HasGbkForm(plain);
}

} // namespace

GbkTextEdit::GbkTextEdit(QWidget* parent) : QPlainTextEdit(parent) {}

std::string GbkTextEdit::GbkTextCrLf() const {
    QString text = toPlainText();
    text.replace(QChar::LineSeparator, u'\n');
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return ToGbk(text);
}

void GbkTextEdit::keyPressEvent(QKeyEvent* event) {
    const QString typed = event->text();
    if (!typed.isEmpty() && !Acceptable(typed)) {
        QApplication::beep();
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void GbkTextEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty() && !Acceptable(event->commitString())) {
        QApplication::beep();
        // Keep the composition state consistent but take nothing in.
        QInputMethodEvent refused(QString(), {});
        QPlainTextEdit::inputMethodEvent(&refused);
        event->accept();
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}

bool GbkTextEdit::canInsertFromMimeData(const QMimeData* source) const {
    return source->hasText();
}

void GbkTextEdit::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText()) return;
    const QString text = source->text();
    if (!Acceptable(text)) {
        QApplication::beep();
        return;
    }
    insertPlainText(text);
}

} // namespace telvoro::ui
