// telvoro-smsd: the queue server. Takes the rows the client queues in
// SendTemp, hands every number to Kannel exactly once (or says it is unknown)
// and brings Kannel's delivery reports back into the database.

#include "db/SqlError.h"
#include "smsd/Options.h"
#include "smsd/Setup.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace telvoro;

namespace {

std::atomic<int> g_signal{0};
// The handler's wake-up for the event loop. A socket notifier, unlike a timer,
// keeps its turn when the loop never goes idle (Kannel's reports streaming in),
// where glib's dispatcher lets timers wait.
int g_wake[2] = {-1, -1};

void OnSignal(int sig) {
    g_signal = sig;
    const char byte = 1;
    if (g_wake[1] >= 0) (void)!write(g_wake[1], &byte, 1);
}

// What an SQL driver says on its own when the connection died under a
// statement: the server's own line already names the failure and what it does.
bool DriverEcho(const QString& text) {
    for (const char* echo : {"Unable to free statement", "QPSQLDriver::rollbackTransaction",
                             "QODBCDriver::rollbackTransaction"})
        if (text.startsWith(QLatin1String(echo))) return true;
    return false;
}

void Messages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg && DriverEcho(text)) return;
    // One line each, on stderr (the journal under systemd); never a secret.
    const char* level =
        type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg ? "warning: " : "";
    QString line = MaskSecrets(text);
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::cerr << "telvoro-smsd: " << level << line.toStdString() << std::endl;
    if (type == QtFatalMsg) std::abort();
}

} // namespace

int main(int argc, char** argv) {
    // A stop asked for during start-up is kept and honoured once running.
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    qInstallMessageHandler(Messages);
    // Kannel sends its delivery reports on many connections at once: the
    // soft limit on open files (often 1,024) goes up to the hard one.
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    QCoreApplication app(argc, argv);
    std::vector<std::string> args;
    for (const QString& a : QCoreApplication::arguments().mid(1))
        args.push_back(a.toStdString());
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << smsd::kUsage;
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "telvoro-smsd " TELVORO_VERSION "\n";
        return 0;
    }
    try {
        smsd::Settings settings = smsd::ParseOptions(args);
        if (settings.printKannelService) {
            std::cout << smsd::KannelServiceBlock(
                             smsd::ListenUrl(settings, settings.listenPort, QStringLiteral("/mo")),
                             settings.moSecret)
                             .toStdString();
            return 0;
        }
        smsd::CheckEmbeddedDatabase(settings.source);
        smsd::Daemon daemon(std::move(settings));
        daemon.Start();
        bool stopping = false;
        const auto stopIfAsked = [&] {
            if (g_signal == 0 || stopping) return;
            stopping = true;
            std::cerr << "telvoro-smsd: stopping (signal " << g_signal.load() << ")" << std::endl;
            daemon.RequestStop();
            daemon.Finish();
            app.quit();
        };
        // A signal before this point left its byte in the pipe: read at once.
        std::optional<QSocketNotifier> wake;
        if (g_wake[0] >= 0) wake.emplace(g_wake[0], QSocketNotifier::Read);
        if (wake)
            QObject::connect(&*wake, &QSocketNotifier::activated, &app, [&] {
                char bytes[16];
                while (read(g_wake[0], bytes, sizeof bytes) > 0) {
                }
                stopIfAsked();
            });
        // Without the pipe (none could be made), a look every 100 ms.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &app, stopIfAsked);
        watch.start(100);
        // The event loop looks over every one of Kannel's report connections
        // (hundreds) each time it wakes. A short pause before it waits lets a
        // busy stream of reports gather, so one look serves many of them.
        QObject::connect(QAbstractEventDispatcher::instance(),
                         &QAbstractEventDispatcher::aboutToBlock, &app,
                         [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
        app.exec();
        std::cerr << "telvoro-smsd: stopped" << std::endl;
        return 0;
    } catch (const smsd::ConfigError& e) {
        std::cerr << "telvoro-smsd: " << e.what() << std::endl;
        return 2;
    } catch (const smsd::UsageError& e) {
        std::cerr << "telvoro-smsd: " << e.what() << "\n" << smsd::kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "telvoro-smsd: " << MaskSecrets(std::string(e.what())) << std::endl;
        return 1;
    }
}
