#include "ui/GbkTextEdit.h"

#include "text/GbkCodec.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QToolTip>

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
void KeepGbk(const QString& text, qsizetype from, qsizetype to, QString& out, QString& dropped) {
    if (from >= to) return;
    const QString part = text.mid(from, to - from);
    if (Acceptable(part)) {
        out += part;
        return;
    }
    const bool pair = to - from == 2 && text[from].isHighSurrogate();
    if (to - from == 1 || pair) {
        if (!dropped.contains(part)) dropped += part;
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

QString GbkTextEdit::WithoutNonGbk(const QString& text, QString* dropped) {
    QString refused;
    QString kept;
    if (Acceptable(text)) {
        kept = text;
    } else {
        kept.reserve(text.size());
        KeepGbk(text, 0, text.size(), kept, refused);
    }
    if (dropped != nullptr) *dropped = refused;
    return kept;
}

QString GbkTextEdit::QuotedEach(const QString& characters) {
    QStringList each;
    for (qsizetype i = 0; i < characters.size(); ++i) {
        const qsizetype n = characters[i].isHighSurrogate() && i + 1 < characters.size() ? 2 : 1;
        // The code point too: a desktop font may have no picture of it.
        const QString character = characters.mid(i, n);
        const QString code =
            QString::number(character.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0');
        each << QStringLiteral("“%1”（U+%2）").arg(character, code);
        i += n - 1;
    }
    return each.join(u'、');
}

QString GbkTextEdit::RefusalText(const QString& characters, bool pasted) {
    return (pasted ? QStringLiteral("粘贴的文字中的%1没有 GBK 编码，已经去掉。")
                   : QStringLiteral("%1没有 GBK 编码，不能输入。"))
        .arg(QuotedEach(characters));
}

void GbkTextEdit::Refuse(const QString& characters, bool pasted) {
    QApplication::beep();
    const QString text = RefusalText(characters, pasted);
    // Said once, beside the cursor; a window with a status line shows it there too.
    QToolTip::showText(viewport()->mapToGlobal(cursorRect().bottomLeft()), text, this);
    emit Refused(text);
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
        QString refused;
        WithoutNonGbk(typed, &refused);
        Refuse(refused, false);
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void GbkTextEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty() && !Acceptable(event->commitString())) {
        QString characters;
        WithoutNonGbk(event->commitString(), &characters);
        Refuse(characters, false);
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
    QString refused;
    QString text = WithoutNonGbk(source->text(), &refused);
    if (!refused.isEmpty()) Refuse(refused, true);
    if (text.isEmpty()) return;
    if (linesPerParagraph_ > 0) text = GroupLines(text, linesPerParagraph_);
    insertPlainText(text);
}

} // namespace telvoro::ui
