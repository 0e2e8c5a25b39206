// Program start: the toolkit, the application title, the main window on the
// program's folder, and the event loop until that window closes.

#include "core/GbkTexts.h"
#include "text/QtPath.h"
#include "ui/UiCommon.h"
#include "ui/Unit_MsgBox.h"
#include "ui/Unit_Telvoro.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <filesystem>

namespace {

// The folder of the running executable with a trailing separator; the empty
// text (names then count from the current folder) after the error notice
// when the executable's path cannot be had.
QString GetAppPath() {
    const QString exe = QCoreApplication::applicationFilePath();
    if (exe.isEmpty()) {
        telvoro::ui::ShowErrorNotice();
        return {};
    }
    const QString native = QDir::toNativeSeparators(exe);
    const qsizetype cut = native.lastIndexOf(QDir::separator());
    if (cut < 0) {
        telvoro::ui::ShowErrorNotice();
        return {};
    }
    return native.left(cut + 1);
}

// The last line of defence: nothing a handler lets out may end the program.
class TelvoroApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        bool handled = false;
        telvoro::ui::RunGuarded(nullptr, [&] { handled = QApplication::notify(receiver, event); });
        return handled;
    }
};

} // namespace

int main(int argc, char** argv) {
    TelvoroApplication app(argc, argv);
    QApplication::setApplicationName(telvoro::ui::ShowGbk(telvoro::gbk::kAppTitle));
    telvoro::ui::InstallChineseTranslations();
    telvoro::ui::TFrm_Telvoro window(telvoro::ProgramFolder(telvoro::ToFsPath(GetAppPath())));
    window.show();
    return QApplication::exec();
}
