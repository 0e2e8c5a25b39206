#include "ui/Unit_EditSendTel.h"

#include "text/GbkCodec.h"
#include "ui/GbkTextEdit.h"
#include "ui/UiCommon.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>

namespace telvoro::ui {

namespace {

std::string ToGbkOrEmpty(const QString& text) {
    try {
        return ToGbk(text);
    } catch (const EncodingError&) {
        return {};
    }
}

// Kept with each paragraph of the text box: its shown lines. A paragraph that
// goes (deleted, joined to another, the text replaced) takes them out of the
// dialog's counts as it goes.
class ParagraphCount final : public QTextBlockUserData {
public:
    explicit ParagraphCount(TFrm_EditSendTel::Counts& counts) : counts_(counts) {}
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
    TFrm_EditSendTel::Counts& counts_;
    int lines_ = 0;
    int wrapped_ = 0;
};

bool IsBreak(QChar c) {
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

} // namespace

TFrm_EditSendTel::TFrm_EditSendTel(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setWindowTitle(QStringLiteral("编辑发送列表"));
    setFont(UiFont());
    setFixedSize(307, 434);

    auto label = [this](const QString& text, int left, int top, int width) {
        auto* l = new QLabel(text, this);
        l->setTextFormat(Qt::PlainText);
        l->setGeometry(left, top, width, 12);
        return l;
    };
    Label1 = label(QStringLiteral("提示信息"), 11, 8, 52);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label2 = label(QStringLiteral("对发送的电脑列表进行编辑，每行一个电话，可以"), 35, 24, 264);
    Label3 = label(QStringLiteral("粘贴现有的电话列表从现有的文本文件中。"), 11, 40, 228);

    Memo1 = new GbkTextEdit(this);
    Memo1->setGeometry(6, 55, 295, 346);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setTabChangesFocus(true);
    Memo1->SetLinesPerParagraph(kLinesPerParagraph);

    Label4 = label(QStringLiteral("当前电话数量"), 8, 413, 72);
    Edit_SL = new QLineEdit(QStringLiteral("0"), this);
    Edit_SL->setGeometry(81, 409, 35, 20);

    Button1 = new QPushButton(QStringLiteral("确定"), this);
    Button1->setGeometry(144, 407, 75, 24);
    Button2 = new QPushButton(QStringLiteral("取消"), this);
    Button2->setGeometry(224, 407, 75, 24);
    // Enter belongs to the text box: no button is the dialog's default.
    for (QPushButton* b : {Button1, Button2}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    const std::pair<QObject*, const char*> names[] = {
        {Label1, "Label1"}, {Label2, "Label2"},   {Label3, "Label3"},   {Memo1, "Memo1"},
        {Label4, "Label4"}, {Edit_SL, "Edit_SL"}, {Button1, "Button1"}, {Button2, "Button2"}};
    for (const auto& [control, name] : names)
        control->setObjectName(QLatin1String(name));

    setTabOrder(Memo1, Edit_SL);
    setTabOrder(Edit_SL, Button1);
    setTabOrder(Button1, Button2);
    Memo1->setFocus();

    // The text box takes its final width before any text is in: a width that
    // changes later lays every paragraph out again, which on a long list
    // costs seconds and hundreds of megabytes.
    ensurePolished();
    QResizeEvent settle(Memo1->size(), QSize());
    QCoreApplication::sendEvent(Memo1, &settle);

    QTextBlock first = Memo1->document()->firstBlock();
    CountParagraph(first);
    connect(Memo1->document(), &QTextDocument::contentsChange, this,
            [this](int position, int, int charsAdded) { Recount(position, charsAdded); });
    connect(Memo1, &QPlainTextEdit::textChanged, this, &TFrm_EditSendTel::Memo1Change);
    connect(Button1, &QPushButton::clicked, this, &TFrm_EditSendTel::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFrm_EditSendTel::Button2Click);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }
    FormCreate();
}

TFrm_EditSendTel::~TFrm_EditSendTel() {
    // The text box goes first: its paragraphs give their counts back to
    // counts_ as they go.
    delete Memo1;
    Memo1 = nullptr;
}

void TFrm_EditSendTel::FormCreate() {
    ResultText.clear();
}

void TFrm_EditSendTel::Memo1Change() {
    Edit_SL->setText(QString::number(LineCount()));
    // The field is narrow: it shows the start of the number, not its end.
    Edit_SL->setCursorPosition(0);
}

void TFrm_EditSendTel::Button1Click() {
    ResultText = QStringLiteral("Ok");
    accept();
}

void TFrm_EditSendTel::Button2Click() {
    ResultText.clear();
    reject();
}

void TFrm_EditSendTel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Neither button answers Enter or Escape.
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TFrm_EditSendTel::SetLines(const std::vector<std::string>& lines,
                                const std::function<void()>& yield) {
    lossy_.clear();
    std::string joined;
    std::size_t bytes = 0;
    for (const std::string& line : lines)
        bytes += line.size() + 1;
    joined.reserve(bytes);
    for (const std::string& line : lines)
        joined.append(line).append(1, '\n');
    if (yield) yield();
    // One conversion for the whole list; only a list holding bytes that are not
    // GBK goes line by line, so that each such phone can be given back whole.
    QString text = ShowGbk(joined);
    if (yield) yield();
    if (ToGbkOrEmpty(text) != joined) {
        text.clear();
        text.reserve(static_cast<qsizetype>(bytes));
        for (const std::string& line : lines) {
            const QString shown = ShowGbk(line);
            if (ToGbkOrEmpty(shown) != line) lossy_.emplace(shown, line);
            text += shown;
            text += u'\n';
        }
    }
    std::string().swap(joined);
    if (yield) yield();
    text = GbkTextEdit::GroupLines(text, kLinesPerParagraph);

    // Filled in parts of whole paragraphs, with a yield step between them;
    // the filling is not something to undo.
    QTextDocument* doc = Memo1->document();
    doc->setUndoRedoEnabled(false);
    Memo1->clear();
    QTextCursor end(doc);
    constexpr qsizetype kPart = qsizetype(1) << 20;
    for (qsizetype from = 0; from < text.size();) {
        qsizetype to = std::min(text.size(), from + kPart);
        if (to < text.size()) {
            const qsizetype paragraphEnd = text.indexOf(u'\n', to);
            to = paragraphEnd < 0 ? text.size() : paragraphEnd + 1;
        }
        end.movePosition(QTextCursor::End);
        end.insertText(text.mid(from, to - from));
        from = to;
        if (yield && from < text.size()) yield();
    }
    doc->setUndoRedoEnabled(true);
    Memo1->moveCursor(QTextCursor::Start);
}

double TFrm_EditSendTel::AvailableWidth() const {
    // The viewport is the box less its frame and the scroll bar, which is
    // always there; the document keeps its margin on both sides.
    const int viewport =
        Memo1->contentsRect().width() - Memo1->verticalScrollBar()->sizeHint().width();
    return viewport - 2 * Memo1->document()->documentMargin();
}

template <class Visit>
bool TFrm_EditSendTel::ForEachLineOf(const QString& text, bool last, Visit&& visit) const {
    const QFont font = Memo1->font();
    const QFontMetricsF metrics(font);
    const double width = AvailableWidth();
    const double widest = metrics.maxWidth();
    const QTextOption option = Memo1->document()->defaultTextOption();
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

template <class Visit> void TFrm_EditSendTel::ForEachShownLine(Visit&& visit) const {
    const QTextDocument* doc = Memo1->document();
    const int blocks = doc->blockCount();
    QTextBlock block = doc->begin();
    for (int i = 0; i < blocks && block.isValid(); ++i, block = block.next())
        if (!ForEachLineOf(block.text(), i == blocks - 1, visit)) return;
}

void TFrm_EditSendTel::CountParagraph(QTextBlock& block) {
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

void TFrm_EditSendTel::Recount(int position, int charsAdded) {
    const QTextDocument* doc = Memo1->document();
    QTextBlock block = doc->findBlock(position);
    const QTextBlock end = doc->findBlock(position + charsAdded);
    for (; block.isValid(); block = block.next()) {
        CountParagraph(block);
        if (block == end) break;
    }
}

QStringList TFrm_EditSendTel::ShownLines() const {
    QStringList lines;
    ForEachShownLine([&](QStringView line, bool) {
        lines.append(line.toString());
        return true;
    });
    return lines;
}

std::vector<std::string> TFrm_EditSendTel::ShownLinesGbk() const {
    std::vector<std::string> lines;
    if (counts_.wrapped == 0 && lossy_.empty()) {
        // Nothing wraps: the shown lines are the text's own lines, and the
        // whole text is converted in one go.
        QString raw = Memo1->document()->toRawText();
        for (QChar& c : raw)
            if (IsBreak(c)) c = u'\n';
        try {
            const std::string bytes = ToGbk(raw);
            raw = QString();
            lines.reserve(static_cast<std::size_t>(std::max(0LL, counts_.lines)));
            for (std::size_t start = 0; start < bytes.size();) {
                std::size_t stop = bytes.find('\n', start);
                if (stop == std::string::npos) stop = bytes.size();
                lines.emplace_back(bytes, start, stop - start);
                start = stop + 1;
            }
            return lines;
        } catch (const EncodingError&) {
            lines.clear(); // a character without a GBK form: line by line below
        }
    }
    ForEachShownLine([&](QStringView view, bool) {
        const QString line = view.toString();
        if (const auto it = lossy_.find(line); it != lossy_.end()) {
            lines.push_back(it->second);
        } else if (HasGbkForm(line)) {
            lines.push_back(ToGbk(line));
        } else {
            // Only a part of a lossy line is left: its replacements cannot be
            // undone, and a "?" never makes a phone that the send job accepts.
            QString plain = line;
            for (QChar& c : plain)
                if (!HasGbkForm(QString(c))) c = u'?';
            lines.push_back(ToGbk(plain));
        }
        return true;
    });
    return lines;
}

int TFrm_EditSendTel::LineCount() const {
    const QString tail = Memo1->document()->lastBlock().text();
    // The empty line after a final line break is not a line.
    const bool endsWithBreak = tail.isEmpty() || tail.back() == QChar::LineSeparator;
    return static_cast<int>(counts_.lines - (endsWithBreak ? 1 : 0));
}

} // namespace telvoro::ui
