#include "ui/ShownLineCounter.h"

#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>

namespace telvoro::ui {

namespace {

// Kept with each paragraph of the text box: its shown lines. A paragraph that
// goes (deleted, joined to another, the text replaced) takes them out of the
// counts as it goes.
class ParagraphCount final : public QTextBlockUserData {
public:
    explicit ParagraphCount(ShownLineCounter::Counts& counts) : counts_(counts) {}
    ~ParagraphCount() override { Set(0, 0); }
    ParagraphCount(const ParagraphCount&) = delete;
    ParagraphCount& operator=(const ParagraphCount&) = delete;

    void Set(int lines, int wrapped) {
        counts_.lines += lines - lines_;
        counts_.wrapped += wrapped - wrapped_;
        lines_ = lines;
        wrapped_ = wrapped;
    }

private:
    ShownLineCounter::Counts& counts_;
    int lines_ = 0;
    int wrapped_ = 0;
};

} // namespace

ShownLineCounter::ShownLineCounter(QPlainTextEdit& box) : box_(box), document_(box.document()) {
    for (QTextBlock block = document_->firstBlock(); block.isValid(); block = block.next())
        CountParagraph(block);
    QObject::connect(document_, &QTextDocument::contentsChange, document_,
                     [this](int position, int, int charsAdded) { Recount(position, charsAdded); });
}

ShownLineCounter::~ShownLineCounter() {
    // A document that outlives the counter gives up what refers to it.
    if (document_ == nullptr) return;
    QObject::disconnect(document_, &QTextDocument::contentsChange, document_, nullptr);
    for (QTextBlock block = document_->firstBlock(); block.isValid(); block = block.next())
        block.setUserData(nullptr);
}

double ShownLineCounter::AvailableWidth() const {
    // The viewport is the box less its frame and the vertical scroll bar,
    // which is always there; the document keeps its margin on both sides.
    const int viewport = box_.contentsRect().width() - box_.verticalScrollBar()->sizeHint().width();
    return viewport - 2 * box_.document()->documentMargin();
}

template <class Visit>
bool ShownLineCounter::ForEachLineOf(const QString& text, bool last, Visit&& visit) const {
    const QFont font = box_.font();
    const QFontMetricsF metrics(font);
    const double width = AvailableWidth();
    const double widest = metrics.maxWidth();
    const QTextOption option = box_.document()->defaultTextOption();
    // A paragraph holds lines joined by line separators; each wraps by itself.
    qsizetype start = 0;
    for (;;) {
        qsizetype stop = text.indexOf(QChar(QChar::LineSeparator), start);
        const bool final = stop < 0;
        if (final) stop = text.size();
        const QStringView line = QStringView(text).mid(start, stop - start);
        // The empty line after the text's final line break is not a line.
        if (final && last && line.isEmpty()) return true;
        if (line.isEmpty() || (line.size() * widest <= width && !line.contains(u'\t'))) {
            if (!visit(line, false)) return false;
        } else {
            const QString whole = line.toString();
            if (!whole.contains(u'\t') && metrics.horizontalAdvance(whole) <= width) {
                if (!visit(line, false)) return false;
            } else {
                // Laid out as the box lays it out: with the separator that ends
                // it (a line separator inside a paragraph, the paragraph's end
                // after its last line), which trailing tabs can push onto a
                // shown line of its own.
                const QString laid =
                    whole + QChar(final ? QChar::ParagraphSeparator : QChar::LineSeparator);
                QTextLayout layout(laid, font);
                layout.setTextOption(option);
                layout.beginLayout();
                bool wrapped = false;
                for (QTextLine shown = layout.createLine(); shown.isValid();
                     shown = layout.createLine()) {
                    shown.setLineWidth(width);
                    // Inside a paragraph, the line after the separator is the
                    // next line's; after the paragraph's end it is a shown line.
                    if (!final && shown.textStart() >= laid.size()) break;
                    const qsizetype from = std::min<qsizetype>(shown.textStart(), whole.size());
                    const qsizetype to =
                        std::min<qsizetype>(shown.textStart() + shown.textLength(), whole.size());
                    if (!visit(QStringView(whole).mid(from, to - from), wrapped)) {
                        layout.endLayout();
                        return false;
                    }
                    wrapped = true;
                }
                layout.endLayout();
            }
        }
        if (final) return true;
        start = stop + 1;
    }
}

void ShownLineCounter::ForEachShownLine(const std::function<bool(QStringView, bool)>& visit) const {
    const QTextDocument* doc = box_.document();
    const int blocks = doc->blockCount();
    QTextBlock block = doc->begin();
    for (int i = 0; i < blocks && block.isValid(); ++i, block = block.next())
        if (!ForEachLineOf(block.text(), i == blocks - 1, visit)) return;
}

void ShownLineCounter::CountParagraph(QTextBlock& block) {
    int lines = 0;
    int wrapped = 0;
    ForEachLineOf(block.text(), false, [&](QStringView, bool wrappedPart) {
        ++lines;
        if (wrappedPart) ++wrapped;
        return true;
    });
    auto* count = static_cast<ParagraphCount*>(block.userData());
    if (count == nullptr) {
        count = new ParagraphCount(counts_);
        block.setUserData(count);
    }
    count->Set(lines, wrapped);
}

void ShownLineCounter::Recount(int position, int charsAdded) {
    const QTextDocument* doc = box_.document();
    QTextBlock block = doc->findBlock(position);
    const QTextBlock end = doc->findBlock(position + charsAdded);
    for (; block.isValid(); block = block.next()) {
        CountParagraph(block);
        if (block == end) break;
    }
}

int ShownLineCounter::LineCount() const {
    const QString tail = box_.document()->lastBlock().text();
    // The empty line after a final line break is not a line.
    const bool endsWithBreak = tail.isEmpty() || tail.back() == QChar::LineSeparator;
    return static_cast<int>(counts_.lines - (endsWithBreak ? 1 : 0));
}

} // namespace telvoro::ui
