// Program entry: the log, the settings, the data module and the robot, in
// that order; then the main window on that robot (or the robot alone with
// --headless), and the event loop until the program is told to end.

#include "activityreport.h"
#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "datagrid.h"
#include "dialogs.h"
#include "engine/connectioncheck.h"
#include "engine/robot.h"
#include "tfmmain.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QPluginLoader>
#include <QScreen>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
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

bool asked(int argc, char *argv[], const char *option)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

// Whether Qt's offscreen platform can be loaded, looked for where Qt looks
// for it: QGuiApplication ends the program when the platform it is told to
// use is missing, and a robot must not fail to start for its report.
bool offscreenPlatformFound(const char *argv0)
{
    for (const QStaticPlugin &plugin : QPluginLoader::staticPlugins())
        if (plugin.metaData().value(QStringLiteral("className")).toString().contains(QLatin1String("Offscreen")))
            return true;
    QStringList dirs = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &d : qEnvironmentVariable("QT_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts))
        dirs << d + QStringLiteral("/platforms");
    dirs << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString program = self.isSymLink() ? self.symLinkTarget() : QFileInfo(QString::fromLocal8Bit(argv0)).absoluteFilePath();
    dirs << QFileInfo(program).absolutePath() + QStringLiteral("/platforms");
    for (const QString &d : std::as_const(dirs))
        if (!QDir(d).entryList({QStringLiteral("*qoffscreen*")}, QDir::Files).isEmpty())
            return true;
    return false;
}

// While the offscreen platform starts: it says so on standard error when
// XDG_RUNTIME_DIR is not set (a service has none) and goes on with a folder
// of its own. That is no failure, and the robot's standard error tells only
// failures; every other message goes on as before.
QtMessageHandler g_messages = nullptr;
void quietPlatformStart(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    g_messages(type, context, message);
}

// SIGINT and SIGTERM end the program as closing the window does.
void endOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
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

} // namespace

int main(int argc, char *argv[])
{
    // Without --headless the program is the operator's window.
    const bool robotRun = !asked(argc, argv, "--help") && !asked(argc, argv, "-h") && !asked(argc, argv, "--version")
        && !asked(argc, argv, "-v") && !asked(argc, argv, "--check");
    const bool windowed = robotRun && !asked(argc, argv, "--headless");
    // The robot without a window still draws the day's report (its charts
    // need a QApplication): on the offscreen platform, never on a screen
    // that could go away under it.
    const bool offscreen = robotRun && !windowed && offscreenPlatformFound(argv[0]);
    if (offscreen)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> application;
    if (offscreen) {
        g_messages = qInstallMessageHandler(quietPlatformStart);
        application = std::make_unique<QApplication>(argc, argv);
        qInstallMessageHandler(g_messages);
    } else if (windowed)
        application = std::make_unique<QApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication &app = *application;
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
    QCommandLineOption check(QStringLiteral("check"),
                             QStringLiteral("Check the connections before going live (databases, transaction folder, terminal, quotes and "
                                            "limits, filters, clients, mail), print one line per check and exit: 0 when nothing needs "
                                            "putting right, 1 otherwise. The robot is not started and nothing is written."));
    parser.addOption(headless);
    parser.addOption(ini);
    QCommandLineOption standby(QStringLiteral("standby"),
                               QStringLiteral("On a PostgreSQL QuikData another robot holds: wait, and take over when it stops "
                                              "(as [Position] Standby=-1)."));
    parser.addOption(watch);
    parser.addOption(check);
    parser.addOption(standby);
    parser.process(app);

    // Qt's own texts (standard buttons, edit menus, file dialogs) in the
    // operator's language, like the rest of the window.
    QTranslator qtTexts;
    if (windowed && qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);

    // The self-check reads the settings and looks; it opens no log and
    // starts no robot.
    if (parser.isSet(check)) {
        Settings settings;
        if (parser.isSet(ini)) {
            const QString iniPath = QFileInfo(parser.value(ini)).absoluteFilePath();
            QString error;
            if (!Settings::checkFile(iniPath, &error)) {
                printLine(stderr, QStringLiteral("korvina: ") + error);
                return 1;
            }
            settings.setFileName(iniPath);
        }
        settings.LoadSettings();
        const QList<ConnectionCheck::Line> lines = ConnectionCheck(settings).run();
        for (const ConnectionCheck::Line &line : lines)
            printLine(stdout, ConnectionCheck::lineText(line));
        return ConnectionCheck::passed(lines) ? 0 : 1;
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
    if (!windowed)
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
    // A file with nothing of ours in it would run the robot on defaults
    // without a word: unattended it does not start at all.
    const QString noSetting = settings.noSettingFound();
    if (!noSetting.isEmpty() && !windowed) {
        const QString text = noSetting
            + QStringLiteral(". Робот не запущен: укажите файл настроек Korvina (ключ --ini) или сохраните настройки в окне программы.");
        AddLog(text);
        FlushLog();
        printLine(stderr, QStringLiteral("korvina: ") + text);
        log.close();
        OperationLog::setCurrent(nullptr);
        return 1;
    }
    if (parser.isSet(standby)) {
        settings.chStandby = true;
        // Kept when the settings are read again (the options dialog's Cancel).
        QObject::connect(&settings, &Settings::loaded, [&settings] { settings.chStandby = true; });
    }

    // The core first: the data module and the robot, the same for the
    // window and for a robot running alone.
    TDatMod data;
    Robot robot(settings, data);
    std::unique_ptr<TfmMain> window;
    if (windowed) {
        // The operator's column widths and order of every grid are the
        // user's own, kept apart from the robot's settings file.
        DataGrid::setLayoutFile(
            QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Korvina"), QStringLiteral("grids")).fileName());
        window = std::make_unique<TfmMain>(settings, data, robot);
        // Maximised; as large as the screen where no window manager does it.
        if (QScreen *screen = QGuiApplication::primaryScreen())
            window->setGeometry(screen->availableGeometry());
        window->showMaximized();
        if (!noSetting.isEmpty()) {
            const QString text = noSetting
                + QStringLiteral(". Работа продолжается с настройками по умолчанию; проверьте их в окне «Настройки» и сохраните.");
            AddLog(text);
            FlushLog();
            // Once the event loop runs: start-up is not held up by the box.
            QTimer::singleShot(0, window.get(), [w = window.get(), text] { Dialogs::warning(w, text); });
        }
    } else {
        if (offscreen) {
            robot.desk().reportRenderer = ActivityReport::render;
        } else {
            robot.desk().reportRenderer = [](const ActivitySeries &, QString *error) {
                if (error)
                    *error = QStringLiteral("без окна графики рисуются на платформе Qt offscreen, а ее модуль не найден");
                return QByteArray();
            };
        }
        QObject::connect(&robot, &Robot::failure, [](const QString &text) { printLine(stderr, text); });
        QObject::connect(&robot, &Robot::message, [](const QString &text) { printLine(stdout, text); });
        // The log file cannot be written (a full disk): the robot goes on,
        // the lines are kept and written once it can be.
        QObject::connect(&log, &OperationLog::writeFailed, [](const QString &text) {
            printLine(stderr, QStringLiteral("korvina: ") + text + QStringLiteral(" (строки журнала сохраняются и будут записаны позже)"));
        });
        QObject::connect(&log, &OperationLog::writeRecovered, [&log] {
            printLine(stderr, QStringLiteral("korvina: файл журнала ") + log.fileName() + QStringLiteral(" снова записывается"));
        });
    }
    endOnSignals(app);

    // Watching needs the databases: --watch connects whatever the settings say.
    const bool watchAtStart = parser.isSet(watch);
    robot.StartUp(watchAtStart);
    if (robot.lockedOut() && !robot.standbyWaiting() && !windowed) {
        printLine(stderr, QStringLiteral("korvina: ") + robot.lockedOutText());
        robot.Shutdown(0);
        log.close();
        OperationLog::setCurrent(nullptr);
        return 1;
    }
    // A connection that fails is tried again every few seconds: unattended
    // always, in the window when --watch asks for watching.
    if (watchAtStart || (!windowed && settings.chConnect))
        robot.RunAsService(watchAtStart);

    const int rc = app.exec();
    robot.Shutdown();
    window.reset();
    log.close();
    OperationLog::setCurrent(nullptr);
    return rc;
}
