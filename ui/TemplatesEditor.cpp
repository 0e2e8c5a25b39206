#include "ui/TemplatesEditor.h"

#include "client/ClientSession.h"
#include "core/FileIO.h"
#include "files/Templates.h"
#include "text/GbkCodec.h"
#include "text/QtPath.h"
#include "ui/AccessibleWindows.h"
#include "ui/GbkTextEdit.h"
#include "ui/OperatorTexts.h"
#include "ui/UiCommon.h"

#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>

namespace telvoro::ui {

namespace {

constexpr const char* kObjectName = "TemplatesEditor";

void Tell(QWidget* parent, const QString& text) {
    ShowNotice(parent, text, QStringLiteral("提示信息"));
}

// The file's text as the menu reads it, or nullopt after saying why not.
// Bytes that are neither GBK nor UTF-8 show as U+FFFD, so the operator can
// find the broken line and mend it; characters of a UTF-8 file that have no
// GBK form cannot be shown. Either way the operator is told, and `lost` gets
// those characters: saving would lose them.
std::optional<QString> ReadForEditing(QWidget* owner, const std::filesystem::path& file,
                                      QString& lost) {
    std::string text;
    try {
        text = TemplatesText(ReadText(file), [&lost](std::string_view utf8) {
            QString dropped;
            const QString kept = GbkTextEdit::WithoutNonGbk(
                QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())), &dropped);
            GbkTextEdit::WithoutNonGbk(lost + dropped, &lost); // each one once
            return ToGbkDropping(kept);
        });
    } catch (const std::exception& e) {
        Tell(owner, QStringLiteral("无法打开模板文件。\n") + OperatorText(e.what()));
        return std::nullopt;
    }
    if (!lost.isEmpty())
        Tell(owner,
             QStringLiteral("模板文件“%1”中的%2没有 GBK 编码，这里不能显示；保存前会先问您。")
                 .arg(ToQString(file), GbkTextEdit::QuotedEach(lost)));
    try {
        return FromGbk(text);
    } catch (const std::exception&) {
        Tell(owner, QStringLiteral("模板文件“%1”中有既不是 GBK 也不是 UTF-8 的字节，显示为“%2”；"
                                   "保存时它们会被去掉。")
                        .arg(ToQString(file), QString(QChar::ReplacementCharacter)));
        return FromGbk(text, /*lenient=*/true);
    }
}

} // namespace

TemplatesEditor* TemplatesEditor::Open(QWidget* owner, const std::filesystem::path& file) {
    if (owner != nullptr)
        if (auto* open = owner->findChild<TemplatesEditor*>(QLatin1String(kObjectName),
                                                            Qt::FindDirectChildrenOnly)) {
            open->show();
            open->raise();
            open->activateWindow();
            return open;
        }
    QString lost;
    const std::optional<QString> text = ReadForEditing(owner, file, lost);
    if (!text) return nullptr;
    auto* editor = new TemplatesEditor(owner, file, *text);
    editor->lost_ = lost;
    QRect area;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (!area.isEmpty()) // never larger than the screen, frame included
        editor->resize(std::min(editor->width(), area.width() - 8),
                       std::min(editor->height(), area.height() - 32));
    // Beside the main window, which stays on top at the screen's right edge.
    QRect main;
    if (owner != nullptr) {
        main = owner->frameGeometry();
    } else if (!area.isEmpty()) {
        main = QRect(area.right() - 3 - 330, 3, 330, 600);
    }
    editor->move(std::max(0, main.left() - editor->width() - 8), std::max(0, main.top()));
    editor->show();
    return editor;
}

bool TemplatesEditor::StartDetached(const QString& program, const std::filesystem::path& file) {
    return QProcess::startDetached(program, {QStringLiteral("--") + QLatin1String(kOption),
                                             QDir::toNativeSeparators(ToQString(file))});
}

TemplatesEditor::TemplatesEditor(QWidget* owner, std::filesystem::path file, const QString& text)
    : QWidget(owner, Qt::Window | Qt::WindowStaysOnTopHint), file_(std::move(file)) {
    AnnounceWindows();
    setObjectName(QLatin1String(kObjectName));
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(UiFont());
    setWindowTitle(QStringLiteral("添加、修改模板 - %1[*]")
                       .arg(QString::fromStdU16String(file_.filename().u16string())));

    auto* hint = new QLabel(QStringLiteral("每行一个模板：标题=内容。新的标题在程序重新启动后"
                                           "出现在“短信模板”菜单中，修改的内容下次选择时生效。"),
                            this);
    hint->setWordWrap(true);
    text_ = new GbkTextEdit(this);
    text_->setObjectName(QStringLiteral("TemplatesText"));
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setPlainText(text);
    text_->setAccessibleName(QStringLiteral("模板，每行一个：标题=内容"));
    status_ = new QLabel(ToQString(file_), this);
    status_->setObjectName(QStringLiteral("TemplatesStatus"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    save_ = new QPushButton(QStringLiteral("保存"), this);
    save_->setObjectName(QStringLiteral("TemplatesSave"));
    close_ = new QPushButton(QStringLiteral("关闭"), this);
    close_->setObjectName(QStringLiteral("TemplatesClose"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status_, 1);
    buttons->addWidget(save_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addWidget(text_, 1);
    layout->addLayout(buttons);
    resize(520, 360);

    connect(text_, &QPlainTextEdit::modificationChanged, this, &QWidget::setWindowModified);
    connect(text_, &GbkTextEdit::Refused, status_, &QLabel::setText);
    connect(save_, &QPushButton::clicked, this, [this] { Save(); });
    connect(close_, &QPushButton::clicked, this, &QWidget::close);
}

bool TemplatesEditor::MayLoseText() {
    const bool unreadable = text_->toPlainText().contains(QChar::ReplacementCharacter);
    if (lost_.isEmpty() && !unreadable) return true;
    QStringList what;
    if (!lost_.isEmpty())
        what << QStringLiteral("没有 GBK 编码的%1").arg(GbkTextEdit::QuotedEach(lost_));
    if (unreadable)
        what << QStringLiteral("无法读取的字节（显示为“%1”）")
                    .arg(QChar(QChar::ReplacementCharacter));
    QMessageBox box(QMessageBox::Question, windowTitle().remove(QStringLiteral("[*]")),
                    QStringLiteral("保存会改写模板文件，文件中%1会丢失。仍要保存吗？")
                        .arg(what.join(QStringLiteral("和"))),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    return Dialogs().Exec(box) == QMessageBox::Yes;
}

bool TemplatesEditor::Save() {
    // The file keeps what the box cannot show unless the operator agrees.
    if (!MayLoseText()) return false;
    try {
        QString text = text_->toPlainText();
        text.replace(QChar::LineSeparator, u'\n');
        text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
        // Only the marks of unreadable bytes can lack a GBK form: the box
        // takes no other such character.
        std::string bytes = ToGbkDropping(text);
        if (!bytes.empty() && !bytes.ends_with('\n')) bytes += "\r\n";
        WriteWholeFile(file_, bytes);
    } catch (const std::exception& e) {
        Tell(this, QStringLiteral("模板没有保存。\n") + OperatorText(e.what()));
        return false;
    }
    lost_.clear();
    text_->document()->setModified(false);
    status_->setText(QStringLiteral("已保存：") + ToQString(file_));
    return true;
}

void TemplatesEditor::closeEvent(QCloseEvent* event) {
    if (!text_->document()->isModified()) {
        Closed(event);
        return;
    }
    QMessageBox box(QMessageBox::Question, windowTitle().remove(QStringLiteral("[*]")),
                    QStringLiteral("模板已经修改，要保存吗？"),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Save);
    const int answer = Dialogs().Exec(box);
    if (answer == QMessageBox::Cancel || (answer == QMessageBox::Save && !Save())) {
        event->ignore();
        return;
    }
    Closed(event);
}

void TemplatesEditor::Closed(QCloseEvent* event) {
    // Gone for the next choice of the menu entry, also before it is deleted.
    setObjectName(QString());
    event->accept();
}

} // namespace telvoro::ui
