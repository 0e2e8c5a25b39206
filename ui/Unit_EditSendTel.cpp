#include "ui/Unit_EditSendTel.h"

#include "text/GbkCodec.h"
#include "ui/FormScale.h"
#include "ui/GbkTextEdit.h"
#include "ui/UiCommon.h"
#include "ui_Unit_EditSendTel.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>
#include <QWindow>
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

bool IsBreak(QChar c) {
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

} // namespace

TFrm_EditSendTel::TFrm_EditSendTel(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      ui_(std::make_unique<Ui::TFrm_EditSendTel>()) {
    setFont(UiFont());
    ui_->setupUi(this);
    FitScreen();
    ui_->Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    ui_->Memo1->SetLinesPerParagraph(kLinesPerParagraph);
    ui_->Memo1->setFocus();

    // The text box takes its final width before any text is in: a width that
    // changes later lays every paragraph out again, which on a long list
    // costs seconds and hundreds of megabytes.
    ensurePolished();
    QResizeEvent settle(ui_->Memo1->size(), QSize());
    QCoreApplication::sendEvent(ui_->Memo1, &settle);

    counter_ = std::make_unique<ShownLineCounter>(*ui_->Memo1);
    connect(ui_->Memo1, &QPlainTextEdit::textChanged, this, &TFrm_EditSendTel::Memo1Change);
    connect(ui_->Button1, &QPushButton::clicked, this, &TFrm_EditSendTel::Button1Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &TFrm_EditSendTel::Button2Click);

    CentreOnScreen(*this, size());
    FormCreate();
}

TFrm_EditSendTel::~TFrm_EditSendTel() {
    // The text box goes first: its paragraphs give their counts back to the
    // counter as they go.
    delete ui_->Memo1;
    ui_->Memo1 = nullptr;
}

void TFrm_EditSendTel::FitScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    // The frame is not known before the dialog is shown; its owner's is the
    // same kind of frame.
    QMargins frame(4, 28, 4, 4);
    if (const QWidget* owner = parentWidget())
        if (const QWindow* w = owner->window()->windowHandle(); w && !w->frameMargins().isNull())
            frame = w->frameMargins();
    const double factor = FitScale(size(), frame, screen->availableGeometry());
    if (factor < 1.0) setFixedSize(ScaleForm(*this, *this, factor));
}

void TFrm_EditSendTel::FormCreate() {
    ResultText.clear();
}

void TFrm_EditSendTel::Memo1Change() {
    // The field is narrow: a long count takes a smaller font.
    ShowWholeNumber(*ui_->Edit_SL, LineCount());
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
    QTextDocument* doc = ui_->Memo1->document();
    doc->setUndoRedoEnabled(false);
    ui_->Memo1->clear();
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
    ui_->Memo1->moveCursor(QTextCursor::Start);
}

QStringList TFrm_EditSendTel::ShownLines() const {
    QStringList lines;
    counter_->ForEachShownLine([&](QStringView line, bool) {
        lines.append(line.toString());
        return true;
    });
    return lines;
}

std::vector<std::string> TFrm_EditSendTel::ShownLinesGbk() const {
    std::vector<std::string> lines;
    if (!counter_->AnyWrapped() && lossy_.empty()) {
        // Nothing wraps: the shown lines are the text's own lines, and the
        // whole text is converted in one go.
        QString raw = ui_->Memo1->document()->toRawText();
        for (QChar& c : raw)
            if (IsBreak(c)) c = u'\n';
        try {
            const std::string bytes = ToGbk(raw);
            raw = QString();
            lines.reserve(static_cast<std::size_t>(std::max(0, LineCount())));
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
    counter_->ForEachShownLine([&](QStringView view, bool) {
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
    return counter_->LineCount();
}

} // namespace telvoro::ui
