// Program entry: the log, the settings, the data module and the robot, in
// that order; then the event loop until the program is told to end.

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "engine/robot.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &b, 1);
}

void printLine(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
    std::fputc('\n', to);
    std::fflush(to);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvina"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVINA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Korvina: a trading robot. Follows the strategy platform's filled orders and sends them to the trading "
        "terminals for every client account that follows the strategy."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("Run without a window; log lines go to standard output."));
    QCommandLineOption ini(QStringLiteral("ini"), QStringLiteral("Settings file to use instead of Korvina.ini in the program's folder."),
                           QStringLiteral("FILE"));
    QCommandLineOption watch(QStringLiteral("watch"), QStringLiteral("Start watching the strategy platform's orders right after start-up."));
    parser.addOption(headless);
    parser.addOption(ini);
    parser.addOption(watch);
    parser.process(app);

    if (!parser.isSet(headless)) {
        printLine(stderr, QStringLiteral("korvina: the main window is not built yet; run korvina --headless"));
        return 2;
    }

    // The log opens before anything else; without it the program does not start.
    OperationLog log;
    QString error;
    const QString logName = QString::fromLatin1(OperationLog::DefaultFileName);
    if (!log.open(logName, &error)) {
        printLine(stderr, QStringLiteral("korvina: cannot open or create the log file ") + QFileInfo(logName).absoluteFilePath()
                              + QStringLiteral(": ") + error);
        return 1;
    }
    OperationLog::setCurrent(&log);
    QObject::connect(&log, &OperationLog::lineAdded, [](const QString &line) { printLine(stdout, line); });

    // A settings file named on the command line must be there and be text:
    // a service started on a wrong path stops instead of running on defaults.
    Settings settings;
    if (parser.isSet(ini)) {
        const QString iniPath = QFileInfo(parser.value(ini)).absoluteFilePath();
        if (!Settings::checkFile(iniPath, &error)) {
            printLine(stderr, QStringLiteral("korvina: ") + error);
            return 1;
        }
        settings.setFileName(iniPath);
    }
    settings.LoadSettings();

    TDatMod data;
    Robot robot(settings, data);
    QObject::connect(&robot, &Robot::failure, [](const QString &text) { printLine(stderr, text); });
    QObject::connect(&robot, &Robot::message, [](const QString &text) { printLine(stdout, text); });
    // The log file cannot be written (a full disk): the robot goes on, the
    // lines are kept and written once it can be.
    QObject::connect(&log, &OperationLog::writeFailed, [](const QString &text) {
        printLine(stderr, QStringLiteral("korvina: ") + text + QStringLiteral(" (строки журнала сохраняются и будут записаны позже)"));
    });
    QObject::connect(&log, &OperationLog::writeRecovered, [&log] {
        printLine(stderr, QStringLiteral("korvina: файл журнала ") + log.fileName() + QStringLiteral(" снова записывается"));
    });

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
            char b;
            [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &b, 1);
            notifier->setEnabled(false);
            QCoreApplication::quit();
        });
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }

    // Watching needs the databases: --watch connects whatever the settings say.
    const bool watchAtStart = parser.isSet(watch);
    robot.StartUp(watchAtStart);
    if (robot.lockedOut()) {
        printLine(stderr, QStringLiteral("korvina: ") + robot.lockedOutText());
        robot.Shutdown(0);
        log.close();
        OperationLog::setCurrent(nullptr);
        return 1;
    }
    // Unattended, a connection that fails is tried again every few seconds.
    if (settings.chConnect || watchAtStart)
        robot.RunAsService(watchAtStart);

    const int rc = app.exec();
    robot.Shutdown();
    log.close();
    OperationLog::setCurrent(nullptr);
    return rc;
}
