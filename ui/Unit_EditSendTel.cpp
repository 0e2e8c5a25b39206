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
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

namespace telvoro::ui {

namespace {
std::string ToGbkOrEmpty(const QString& text) {
    try {
        return ToGbk(text);
    } catch (const EncodingError&) {
        return {};
    }
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

    setTabOrder(Memo1, Edit_SL);
    setTabOrder(Edit_SL, Button1);
    setTabOrder(Button1, Button2);
    Memo1->setFocus();

    connect(Memo1, &QPlainTextEdit::textChanged, this, &TFrm_EditSendTel::Memo1Change);
    connect(Button1, &QPushButton::clicked, this, &TFrm_EditSendTel::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFrm_EditSendTel::Button2Click);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }
    FormCreate();
}

void TFrm_EditSendTel::FormCreate() {
    ResultText.clear();
}

void TFrm_EditSendTel::Memo1Change() {
    Edit_SL->setText(QString::number(LineCount()));
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

void TFrm_EditSendTel::SetLines(const std::vector<std::string>& lines) {
    lossy_.clear();
    std::string joined;
    std::size_t bytes = 0;
    for (const std::string& line : lines)
        bytes += line.size() + 1;
    joined.reserve(bytes);
    for (const std::string& line : lines)
        joined.append(line).append(1, '\n');
    // One conversion for the whole list; only a list holding bytes that are not
    // GBK goes line by line, so that each such phone can be given back whole.
    QString text = ShowGbk(joined);
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
    Memo1->setPlainText(text);
}

double TFrm_EditSendTel::AvailableWidth() const {
    // The viewport is the box less its frame and the scroll bar, which is
    // always there; the document keeps its margin on both sides.
    const int viewport =
        Memo1->contentsRect().width() - Memo1->verticalScrollBar()->sizeHint().width();
    return viewport - 2 * Memo1->document()->documentMargin();
}

template <class Visit> void TFrm_EditSendTel::ForEachShownLine(Visit&& visit) const {
    const QTextDocument* doc = Memo1->document();
    const QFont font = Memo1->font();
    const QFontMetricsF metrics(font);
    const double width = AvailableWidth();
    const double widest = metrics.maxWidth();
    const QTextOption option = doc->defaultTextOption();
    const int blocks = doc->blockCount();
    QTextBlock block = doc->begin();
    for (int i = 0; i < blocks && block.isValid(); ++i, block = block.next()) {
        const QString text = block.text();
        // The empty line after a final line break is not a line.
        if (i == blocks - 1 && text.isEmpty()) break;
        if (text.isEmpty() || (text.size() * widest <= width && !text.contains(u'\t')) ||
            metrics.horizontalAdvance(text) <= width) {
            if (!visit(text)) return;
            continue;
        }
        QTextLayout layout(text, font);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            if (!visit(text.mid(line.textStart(), line.textLength()))) {
                layout.endLayout();
                return;
            }
        }
        layout.endLayout();
    }
}

QStringList TFrm_EditSendTel::ShownLines() const {
    QStringList lines;
    ForEachShownLine([&](const QString& line) {
        lines.append(line);
        return true;
    });
    return lines;
}

std::vector<std::string> TFrm_EditSendTel::ShownLinesGbk() const {
    std::vector<std::string> lines;
    ForEachShownLine([&](const QString& line) {
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
    int count = 0;
    ForEachShownLine([&](const QString&) {
        ++count;
        return true;
    });
    return count;
}

} // namespace telvoro::ui
