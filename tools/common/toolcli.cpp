#include "toolcli.h"

#include <QCoreApplication>

#include <csignal>

namespace toolcli {

namespace {
volatile std::sig_atomic_t g_stopRequested = 0;
extern "C" void requestStop(int) { g_stopRequested = 1; }
QString program() { return QCoreApplication::applicationName(); }
} // namespace

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

int usageError(const QString &message, const QString &command)
{
    err() << program() << ": " << message << "\n"
          << "Run '" << program() << (command.isEmpty() ? QString() : QLatin1Char(' ') + command) << " --help' for usage.\n";
    err().flush();
    return Usage;
}

int failed(const QString &message)
{
    err() << program() << ": " << message << "\n";
    err().flush();
    return Failed;
}

void installStopHandlers()
{
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
}

bool stopRequested() { return g_stopRequested != 0; }

} // namespace toolcli
