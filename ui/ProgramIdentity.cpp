#include "ui/ProgramIdentity.h"

#include <QApplication>

// The icons live in a static library, whose resource initialiser the linker
// would drop unless something refers to it.
static void InitIconResources() {
    Q_INIT_RESOURCE(ProgramIcon);
}

namespace telvoro::ui {

QIcon ProgramIcon() {
    InitIconResources();
    QIcon icon;
    for (const char* size : {"48", "256"})
        icon.addFile(QStringLiteral(":/icons/%1/%2.png")
                         .arg(QLatin1String(size), QLatin1String(kDesktopFileId)));
    return icon;
}

void SetProgramIdentity() {
    QCoreApplication::setApplicationName(QLatin1String(kApplicationName));
    QGuiApplication::setDesktopFileName(QLatin1String(kDesktopFileId));
    QApplication::setWindowIcon(ProgramIcon());
}

} // namespace telvoro::ui
