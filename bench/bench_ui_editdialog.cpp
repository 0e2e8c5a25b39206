// Figures for the recipient editing dialog on a million entries: opening it
// from "编辑" (and the longest stall of the main window's event loop
// meanwhile), one keystroke in it, "确定" rebuilding the list, and the
// process's memory with the list and the dialog open.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include "bench/EventLoopWatch.h"
#include "bench/ListFiles.h"
#include "text/QtPath.h"
#include "ui/GbkTextEdit.h"
#include "ui/UiCommon.h"
#include "ui/Unit_Telvoro.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using telvoro::ui::TFrm_Telvoro;

// VmRSS and VmHWM of this process, in MB.
double StatusMb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string k = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.rfind(k, 0) == 0) return std::stod(line.substr(k.size())) / 1024.0;
    return -1;
}

QPushButton* ButtonNamed(QDialog& d, const QString& caption) {
    for (QPushButton* b : d.findChildren<QPushButton*>())
        if (b->text() == caption) return b;
    qFatal("no button %s", qPrintable(caption));
}

// Answers the editing dialog: shows it, types, and confirms.
class Runner : public telvoro::ui::DialogRunner {
public:
    telvoro::bench::EventLoopWatch* watch = nullptr;
    double openStallMs = 0;
    int openPaints = 0;
    QElapsedTimer clock;
    double openMs = 0;
    double keyMs = 0, keyWorstMs = 0, enterMs = 0, backspaceMs = 0;
    int keys = 0;
    QString countShown;
    int countCursor = -1;
    double rssOpenMb = 0;
    QElapsedTimer okClock;

    int Exec(QDialog& d) override {
        openMs = clock.nsecsElapsed() / 1e6;
        openStallMs = watch->longestMs();
        openPaints = watch->paints();
        watch->Stop();
        d.show();
        QApplication::processEvents();
        auto* memo = d.findChild<telvoro::ui::GbkTextEdit*>();
        auto* count = d.findChild<QLineEdit*>();
        countShown = count->text();
        countCursor = count->cursorPosition();
        memo->setFocus();
        memo->moveCursor(QTextCursor::End);
        QApplication::processEvents();
        auto timed = [&](auto&& press) {
            QElapsedTimer t;
            t.start();
            press();
            QApplication::processEvents();
            memo->viewport()->repaint();
            return t.nsecsElapsed() / 1e6;
        };
        keys = 20;
        for (int i = 0; i < keys; ++i) {
            const double ms = timed([&] { QTest::keyClick(memo, Qt::Key(Qt::Key_0 + i % 10)); });
            keyMs += ms;
            keyWorstMs = std::max(keyWorstMs, ms);
        }
        keyMs /= keys;
        enterMs = timed([&] { QTest::keyClick(memo, Qt::Key_Return); });
        memo->moveCursor(QTextCursor::Start);
        backspaceMs = timed([&] {
            memo->moveCursor(QTextCursor::Down);
            QTest::keyClick(memo, Qt::Key_Backspace);
        });
        rssOpenMb = StatusMb("VmRSS");
        watch->Start(true);
        okClock.start();
        ButtonNamed(d, QStringLiteral("确定"))->click();
        return QDialog::Accepted;
    }
};

using telvoro::bench::ListFile;

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const int n = 1'000'000;
    const QString listFile = dir.filePath(QStringLiteral("million.dat"));
    {
        const std::string bytes = ListFile(n);
        QFile f(listFile);
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()))
            qFatal("cannot write the list file");
    }

    TFrm_Telvoro w(telvoro::ProgramFolder(telvoro::ToFsPath(dir.path())));
    w.findChild<QTimer*>(QStringLiteral("Timer_Read"))->stop();
    w.show();
    QApplication::processEvents();
    w.Session().Recipients().LoadList(telvoro::ToFsPath(listFile));
    QApplication::processEvents();
    const double listMb = StatusMb("VmRSS");

    Runner runner;
    telvoro::ui::SetDialogRunner(&runner);
    // The window's form, which covers the whole window, is what paints.
    QWidget* form = w.findChild<QWidget*>(QStringLiteral("TFrm_Telvoro"));
    telvoro::bench::EventLoopWatch watch(form);
    runner.watch = &watch;
    watch.Start(true);
    // Something asks the main window to paint while the dialog fills.
    QTimer painter;
    QObject::connect(&painter, &QTimer::timeout, &w, [&] { form->update(); });
    painter.start(20);
    runner.clock.start();
    // 编辑 is enabled by a connection; the bench has no server to connect to.
    auto* edit = w.findChild<QPushButton*>(QStringLiteral("Btn_Edit"));
    edit->setEnabled(true);
    edit->click();
    const double okMs = runner.okClock.nsecsElapsed() / 1e6;
    painter.stop();
    watch.Stop();
    telvoro::ui::SetDialogRunner(nullptr);

    std::printf("1,000,000 entries, editing dialog:\n");
    std::printf("  open (编辑 to dialog shown)      %8.1f ms, longest event-loop stall meanwhile "
                "%.1f ms, %d main-window paints meanwhile\n",
                runner.openMs, runner.openStallMs, runner.openPaints);
    std::printf("  count field                    \"%s\", cursor at %d\n",
                qPrintable(runner.countShown), runner.countCursor);
    std::printf("  one keystroke (digit)          %8.2f ms mean of %d, worst %.2f ms\n",
                runner.keyMs, runner.keys, runner.keyWorstMs);
    std::printf("  Enter at the end               %8.2f ms\n", runner.enterMs);
    std::printf("  Backspace joining two lines    %8.2f ms\n", runner.backspaceMs);
    std::printf(
        "  确定 to list rebuilt           %8.1f ms, longest stall %.1f ms (entries %zu, rows %d)\n",
        okMs, watch.longestMs(), w.Session().Recipients().Count(),
        w.findChild<QTableView*>(QStringLiteral("ListView1"))->model()->rowCount());
    std::printf("  memory: list alone %.0f MB, list + dialog open %.0f MB, peak %.0f MB\n", listMb,
                runner.rssOpenMb, StatusMb("VmHWM"));
    return 0;
}
