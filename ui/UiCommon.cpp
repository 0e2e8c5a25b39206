#include "ui/UiCommon.h"

#include "core/GbkTexts.h"
#include "text/GbkCodec.h"
#include "ui/OperatorTexts.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTranslator>
#include <algorithm>
#include <optional>

namespace telvoro::ui {

namespace {

QString PickFamily() {
    const QStringList installed = QFontDatabase::families();
    for (const QString& name : {QStringLiteral("宋体"), QStringLiteral("SimSun"),
                                QStringLiteral("NSimSun"), QStringLiteral("新宋体")}) {
        if (installed.contains(name, Qt::CaseInsensitive)) return name;
    }
    // Without SimSun: a Song face of the same metrics first, then the common
    // Chinese faces (Windows lists some under their Chinese names).
    for (const QString& name :
         {QStringLiteral("AR PL UMing CN"), QStringLiteral("WenQuanYi Micro Hei"),
          QStringLiteral("文泉驿微米黑"), QStringLiteral("Noto Sans CJK SC"),
          QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Sans SC"),
          QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UKai CN"),
          QStringLiteral("WenQuanYi Zen Hei")}) {
        if (installed.contains(name, Qt::CaseInsensitive)) return name;
    }
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    return chinese.isEmpty() ? QString() : chinese.front();
}

DialogRunner defaultRunner;
DialogRunner* currentRunner = &defaultRunner;

} // namespace

QFont UiFont() {
    static const QString family = PickFamily();
    QFont font;
    if (!family.isEmpty()) font.setFamilies({family});
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

namespace {

// The width a line edit has for its text without scrolling it: its contents
// less the margins it keeps on either side and the cursor's column.
int TextRoom(const QLineEdit& field) {
    constexpr int kSideMargin = 2; // QLineEdit's own, on each side
    QStyleOptionFrame option;
    option.initFrom(&field);
    option.rect = field.rect();
    option.lineWidth =
        field.hasFrame() ? field.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &field)
                         : 0;
    const QRect contents =
        field.style()->subElementRect(QStyle::SE_LineEditContents, &option, &field);
    const QMargins text = field.textMargins();
    return contents.width() - text.left() - text.right() - 2 * kSideMargin - 1;
}

} // namespace

std::optional<QFont> FittingFont(const QFont& base, const QString& text, int room) {
    if (text.isEmpty()) return base;
    constexpr int kSmallestLegible = 7;
    const int largest = base.pixelSize() > 0 ? base.pixelSize() : 12;
    for (int size = largest; size >= kSmallestLegible; --size) {
        for (const int stretch : {100, 87, 75}) {
            QFont font = base;
            font.setPixelSize(size);
            font.setStretch(stretch);
            // The bearings of the first and the last glyph may reach past
            // the advance.
            const QFontMetrics metrics(font);
            const int bearings = std::max(0, -metrics.leftBearing(text.front())) +
                                 std::max(0, -metrics.rightBearing(text.back()));
            if (metrics.horizontalAdvance(text) + bearings <= room) return font;
        }
    }
    return std::nullopt;
}

void ShowWholeNumber(QLineEdit& field, long long number) {
    const QFont base =
        field.parentWidget() != nullptr ? field.parentWidget()->font() : QApplication::font();
    const int room = TextRoom(field);
    QString text = QString::number(number);
    std::optional<QFont> font = FittingFont(base, text, room);
    if (!font) {
        text = QString::number(number / 10000) + QStringLiteral("万");
        font = FittingFont(base, text, room);
    }
    field.setFont(font.value_or(base));
    field.setText(text);
    field.setToolTip(QString::number(number));
    field.setCursorPosition(0);
}

void CentreOnScreen(QWidget& window, QSize size) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        window.move(area.x() + (area.width() - size.width()) / 2,
                    area.y() + (area.height() - size.height()) / 2);
    }
}

bool InstallChineseTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

QString ShowGbk(std::string_view bytes) {
    return FromGbk(bytes, /*lenient=*/true);
}

int DialogRunner::Exec(QDialog& dialog) {
    return dialog.exec();
}

DialogRunner& Dialogs() {
    return *currentRunner;
}

void SetDialogRunner(DialogRunner* runner) {
    currentRunner = runner != nullptr ? runner : &defaultRunner;
}

namespace {

void SystemBox(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& caption,
               const QString& details = {}) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    if (!details.isEmpty()) box.setInformativeText(details);
    // An error text is never markup, whatever characters it holds.
    box.setTextFormat(Qt::PlainText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    Dialogs().Exec(box);
}

} // namespace

void ShowNotice(QWidget* parent, const QString& text, const QString& caption,
                const QString& details) {
    SystemBox(parent, QMessageBox::Warning, text, caption, details);
}

QString ErrorReportText(const QString& what) {
    if (!what.isEmpty() && what.back() > QChar(u'.')) return what + u'.';
    return what;
}

void ShowErrorReport(QWidget* parent, const QString& what) {
    try {
        SystemBox(parent, QMessageBox::Critical, ErrorReportText(OperatorText(what)),
                  ShowGbk(gbk::kAppTitle));
    } catch (...) {
        // Showing the report failed as well; there is nobody left to tell.
    }
}

bool RunGuarded(QWidget* parent, const std::function<void()>& body) {
    QPointer<QWidget> guard(parent);
    QString what;
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        what = QString::fromUtf8(e.what());
    } catch (...) {
        what = QStringLiteral("未知错误");
    }
    ShowErrorReport(guard.data(), what);
    return false;
}

} // namespace telvoro::ui
