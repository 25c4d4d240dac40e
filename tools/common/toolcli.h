#pragma once

#include <QString>
#include <QTextStream>

// What the command-line tools share: their output streams, the texts of a
// wrong command line and of a failure (both name the program as set with
// QCoreApplication::setApplicationName), their exit codes, and a stop
// request by SIGINT or SIGTERM.
namespace toolcli {

constexpr int Failed = 1; // could not do what was asked
constexpr int Usage = 2;  // wrong command line

QTextStream &out();
QTextStream &err();

// "PROGRAM: MESSAGE" and "Run 'PROGRAM [COMMAND ]--help' for usage." on
// stderr; returns Usage.
int usageError(const QString &message, const QString &command = QString());
// "PROGRAM: MESSAGE" on stderr; returns Failed.
int failed(const QString &message);

// From now on SIGINT and SIGTERM only ask the program to stop.
void installStopHandlers();
bool stopRequested();

} // namespace toolcli
