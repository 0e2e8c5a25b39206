#pragma once
// Counts the lines a plain text box shows: its own lines, and a line too long
// for the box once for each shown line it wraps onto. A list of a million
// phones stays quick: the count is kept with each paragraph and counted again
// only for the paragraphs a change touched, never over the whole text at
// every keystroke.

#include <QPointer>
#include <QStringView>
#include <functional>

class QPlainTextEdit;
class QTextBlock;
class QTextDocument;

namespace telvoro::ui {

class ShownLineCounter {
public:
    // The shown lines of all paragraphs, and how many of them are wrapped
    // parts of longer lines.
    struct Counts {
        long long lines = 0;
        long long wrapped = 0;
    };

    // Counts `box`'s text from now on. The box keeps its width from here on:
    // a line's shown lines are counted at the width it has when it changes.
    explicit ShownLineCounter(QPlainTextEdit& box);
    ~ShownLineCounter();
    ShownLineCounter(const ShownLineCounter&) = delete;
    ShownLineCounter& operator=(const ShownLineCounter&) = delete;

    // The shown lines; the empty line after a final line break is not one.
    int LineCount() const;
    // Whether any line is wrapped onto more than one shown line.
    bool AnyWrapped() const { return counts_.wrapped != 0; }
    // Visits each shown line in order, with whether it continues a wrapped
    // line; stops when `visit` returns false.
    void ForEachShownLine(const std::function<bool(QStringView, bool)>& visit) const;

private:
    void Recount(int position, int charsAdded);
    void CountParagraph(QTextBlock& block);
    template <class Visit> bool ForEachLineOf(const QString& text, bool last, Visit&& visit) const;
    double AvailableWidth() const;

    QPlainTextEdit& box_;
    QPointer<QTextDocument> document_;
    Counts counts_;
};

} // namespace telvoro::ui
