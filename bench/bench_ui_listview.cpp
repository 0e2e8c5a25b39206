// Figures for the main window's list: a million entries shown, scrolled and
// ticked all at once, and the longest stall of the event loop while the
// hand-off timer merges a 10,000-line file into a 100,000-entry list.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include "bench/EventLoopWatch.h"
#include "bench/ListFiles.h"
#include "text/QtPath.h"
#include "ui/Unit_Telvoro.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using telvoro::ui::TFrm_Telvoro;

template <class T> T* Control(const QObject& window, const char* name) {
    T* found = window.findChild<T*>(QLatin1String(name));
    if (found == nullptr) qFatal("no control named %s", name);
    return found;
}

using telvoro::bench::ListFile;

void WriteBytes(const QString& path, const std::string& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(bytes.data(), static_cast<qint64>(bytes.size())) != qint64(bytes.size()))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

void MillionRows(const QString& folder) {
    const int n = 1'000'000;
    const QString listFile = folder + QStringLiteral("/million.dat");
    WriteBytes(listFile, ListFile(n));

    TFrm_Telvoro w(telvoro::ProgramFolder(telvoro::ToFsPath(folder)));
    Control<QTimer>(w, "Timer_Read")->stop();
    w.show();
    QApplication::processEvents();
    QTableView* view = Control<QTableView>(w, "ListView1");
    view->setEnabled(true);
    telvoro::bench::EventLoopWatch watch(view->viewport());

    QElapsedTimer t;
    t.start();
    w.Session().Recipients().LoadList(telvoro::ToFsPath(listFile));
    view->viewport()->repaint();
    QApplication::processEvents();
    const double showMs = t.nsecsElapsed() / 1e6;
    std::printf("1,000,000 entries: load and show        %8.1f ms (rows %d)\n", showMs,
                view->model()->rowCount());

    QScrollBar* bar = view->verticalScrollBar();
    const int pages = 200;
    t.restart();
    for (int i = 0; i < pages; ++i) {
        bar->setValue(bar->value() + bar->pageStep());
        view->viewport()->repaint();
    }
    std::printf("1,000,000 entries: scroll one page      %8.3f ms (mean of %d)\n",
                t.nsecsElapsed() / 1e6 / pages, pages);
    t.restart();
    bar->setValue(bar->maximum());
    view->viewport()->repaint();
    std::printf("1,000,000 entries: jump to the end      %8.3f ms\n", t.nsecsElapsed() / 1e6);

    watch.Start();
    t.restart();
    Control<QCheckBox>(w, "CheckBox1")
        ->setChecked(true); // CheckBox1Click: SetAllChecked with yield steps
    QApplication::processEvents();
    const double selectMs = t.nsecsElapsed() / 1e6;
    watch.Stop();
    std::printf("1,000,000 entries: select all (全选)     %8.1f ms, %d repaints during it, "
                "longest stall %.1f ms\n",
                selectMs, watch.paints(), watch.longestMs());
    bool all = true;
    for (std::size_t i = 0; i < w.Session().Recipients().Count() && all; ++i)
        all = w.Session().Recipients().At(i).Checked;
    std::printf("                   every entry ticked: %s\n", all ? "yes" : "NO");
}

void HandOffStall(const QString& folder) {
    TFrm_Telvoro w(telvoro::ProgramFolder(telvoro::ToFsPath(folder)));
    w.show();
    QApplication::processEvents();
    const QString listFile = folder + QStringLiteral("/hundred.dat");
    WriteBytes(listFile, ListFile(100'000));
    w.Session().Recipients().LoadList(telvoro::ToFsPath(listFile));

    std::string handoff;
    for (int i = 0; i < 10'000; ++i)
        handoff += "name" + std::to_string(i) + "\t" + std::to_string(15000000000LL + i) + "\r\n";
    telvoro::bench::EventLoopWatch watch(Control<QTableView>(w, "ListView1")->viewport());
    watch.Start();
    QElapsedTimer t;
    t.start();
    WriteBytes(folder + QStringLiteral("/SendGSM.ini"), handoff);
    // The timer merges it within about a second; wait for the merge to end.
    while (w.Session().Recipients().Count() < 110'000 && t.elapsed() < 20'000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double totalMs = t.nsecsElapsed() / 1e6;
    QApplication::processEvents();
    watch.Stop();
    std::printf("hand-off 10,000 lines into 100,000:     merged %zu entries, %.0f ms after the "
                "drop, longest event-loop stall %.1f ms\n",
                w.Session().Recipients().Count() - 100'000, totalMs, watch.longestMs());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    MillionRows(dir.path());
    HandOffStall(dir.path());
    return 0;
}
