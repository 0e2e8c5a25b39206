#include "ui/UiCommon.h"

#include "core/GbkTexts.h"
#include "text/GbkCodec.h"
#include "ui/OperatorTexts.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QTranslator>

namespace telvoro::ui {

namespace {

QString PickFamily() {
    const QStringList installed = QFontDatabase::families();
    for (const QString& name : {QStringLiteral("宋体"), QStringLiteral("SimSun"),
                                QStringLiteral("NSimSun"), QStringLiteral("新宋体")}) {
        if (installed.contains(name, Qt::CaseInsensitive)) return name;
    }
    for (const QString& name :
         {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
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
