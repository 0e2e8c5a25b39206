#pragma once
// A plain multi-line text box that only takes characters with a GBK form, so
// no text ever reaches the system's GBK data with a character turned into
// "?". A typed character without one (a key or an input method) is refused
// with the default alert sound; a paste or a drop takes everything else and
// drops only those characters, with the same sound. Either time a tool tip
// beside the cursor names the characters refused.

#include <QPlainTextEdit>

namespace telvoro::ui {

class GbkTextEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit GbkTextEdit(QWidget* parent = nullptr);

    // The text with its lines joined by CR LF, as GBK bytes.
    std::string GbkTextCrLf() const;

    // Lines taken in by a paste are kept together `lines` to a paragraph,
    // joined inside it by line separators, so that a list of a million lines
    // costs the box thousands of paragraphs instead of a million. 0 (the
    // default): one paragraph a line.
    void SetLinesPerParagraph(int lines) { linesPerParagraph_ = lines; }
    // `text` with every line break (LF, CR LF, CR, line or paragraph
    // separator) made a line separator, except after every `lines`-th line,
    // where it is a paragraph break.
    static QString GroupLines(const QString& text, int lines);

    // `text` without the characters that have no GBK form; line and paragraph
    // separators stay. `dropped` gets each character taken out, once, in the
    // order met.
    static QString WithoutNonGbk(const QString& text, QString* dropped);

    // Each character of `characters` in quotation marks, joined by "、".
    static QString QuotedEach(const QString& characters);
    // What the operator is told about `characters` refused (typed or pasted).
    static QString RefusalText(const QString& characters, bool pasted);

signals:
    // After a refusal, with the text the tool tip shows.
    void Refused(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void Refuse(const QString& characters, bool pasted);

    int linesPerParagraph_ = 0;
};

} // namespace telvoro::ui
