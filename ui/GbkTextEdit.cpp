#include "ui/GbkTextEdit.h"

#include "text/GbkCodec.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>

namespace telvoro::ui {

namespace {

bool IsBreak(QChar c) {
    return c == u'\n' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

// Line and paragraph separators become line breaks in the text box; every
// other character must have a GBK form.
bool Acceptable(const QString& text) {
    QString plain = text;
    plain.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
    return HasGbkForm(plain);
}

// Appends the part of text[from, to) that has a GBK form. Halves the range
// until each part is either whole GBK or one character, so a long paste with
// a few strangers costs a few conversions of it, not one per character.
void KeepGbk(const QString& text, qsizetype from, qsizetype to, QString& out, bool& dropped) {
    if (from >= to) return;
    const QString part = text.mid(from, to - from);
    if (Acceptable(part)) {
        out += part;
        return;
    }
    const bool pair = to - from == 2 && text[from].isHighSurrogate();
    if (to - from == 1 || pair) {
        dropped = true;
        return;
    }
    qsizetype middle = from + (to - from) / 2;
    if (text[middle].isLowSurrogate() && text[middle - 1].isHighSurrogate()) ++middle;
    KeepGbk(text, from, middle, out, dropped);
    KeepGbk(text, middle, to, out, dropped);
}

} // namespace

GbkTextEdit::GbkTextEdit(QWidget* parent) : QPlainTextEdit(parent) {}

std::string GbkTextEdit::GbkTextCrLf() const {
    QString text = toPlainText();
    text.replace(QChar::LineSeparator, u'\n');
    text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return ToGbk(text);
}

QString GbkTextEdit::WithoutNonGbk(const QString& text, bool* dropped) {
    bool any = false;
    QString kept;
    if (Acceptable(text)) {
        kept = text;
    } else {
        kept.reserve(text.size());
        KeepGbk(text, 0, text.size(), kept, any);
    }
    if (dropped != nullptr) *dropped = any;
    return kept;
}

QString GbkTextEdit::GroupLines(const QString& text, int lines) {
    QString out;
    out.reserve(text.size());
    int inParagraph = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r') {
            if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else if (!IsBreak(c)) {
            out += c;
            continue;
        }
        if (++inParagraph >= lines) {
            out += u'\n';
            inParagraph = 0;
        } else {
            out += QChar(QChar::LineSeparator);
        }
    }
    return out;
}

void GbkTextEdit::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
        (event->modifiers() & Qt::ShiftModifier)) {
        // Shift+Enter starts a new line as Enter does, not a line inside one.
        QKeyEvent plain(event->type(), key, event->modifiers() & ~Qt::ShiftModifier, event->text(),
                        event->isAutoRepeat(), ushort(event->count()));
        QPlainTextEdit::keyPressEvent(&plain);
        event->setAccepted(plain.isAccepted());
        return;
    }
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
    bool dropped = false;
    QString text = WithoutNonGbk(source->text(), &dropped);
    if (dropped) QApplication::beep();
    if (text.isEmpty()) return;
    if (linesPerParagraph_ > 0) text = GroupLines(text, linesPerParagraph_);
    insertPlainText(text);
}

} // namespace telvoro::ui
