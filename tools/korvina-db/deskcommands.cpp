#include "deskcommands.h"

#include "toolcli.h"

#include "activityreport.h"

#include "config/settings.h"
#include "data/database.h"
#include "data/dataset.h"
#include "engine/activityseries.h"
#include "engine/reconciliation.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using toolcli::err;
using toolcli::failed;
using toolcli::out;
using toolcli::usageError;

const char kReconcileHelp[] =
    "Usage: korvina-db reconcile QUIKDATA [--ini FILE] [--out FILE [--force]]\n"
    "\n"
    "Compares the robot's position book (tClientOpenPositions) with what the\n"
    "terminals say each client holds (currentbal of tLimitStock by client code,\n"
    "of tLimitFut by the client's FORTS account; per terminal in MULTI mode),\n"
    "for the securities of the directory tSecCode, as the window's page\n"
    "\"Сверка\" does. One CSV line per client and security: quikname, code,\n"
    "seccode, ticker, lots and units (the book), currentbal (the terminal) and\n"
    "diff (terminal less book, in units); the differences first.\n"
    "\n"
    "  --ini FILE     the robot's settings: SINGLE or MULTI, and in SINGLE mode\n"
    "                 the account (Code, AccountFORTS). Without it: MULTI when\n"
    "                 tQuik lists terminals, otherwise SINGLE with the default\n"
    "                 account 111 / SPBFUT.\n"
    "  --out FILE     write FILE instead of standard output; an existing FILE\n"
    "                 (or a symbolic link) is refused unless --force, which\n"
    "                 replaces it (a link itself, never what it points to).\n"
    "                 The file is readable and writable by its owner only.\n"
    "\n"
    "UTF-8 with a byte order mark, comma-separated, CR LF line ends.\n"
    "Exit codes: 0 no difference, 1 a difference found (or a failure, told on\n"
    "standard error), 2 wrong command line.\n";

const char kReportHelp[] =
    "Usage: korvina-db report QUIKDATA --date YYYY-MM-DD --out FILE.pdf [--alerts FILE] [--force]\n"
    "\n"
    "Writes the day's activity report as PDF, from the history tOrderHistory:\n"
    "two pages of charts (orders and transactions per minute, transactions by\n"
    "result, the latency from \"Time Filled\" to the .tri line and from the line\n"
    "to the terminal's answer, median and worst per minute), a table per\n"
    "strategy and a table per client (orders, transactions, refusals, worst\n"
    "latencies).\n"
    "\n"
    "  --alerts FILE  the strategy platform's alert database: the orders' fill\n"
    "                 times and strategies (without it every strategy order is\n"
    "                 under \"—\" and the latency from the fill is not drawn)\n"
    "  --force        replace an existing FILE (never following a link)\n"
    "\n"
    "The file is readable and writable by its owner only.\n"
    "Exit codes: 0 written, 1 failed, 2 wrong command line.\n";

[[noreturn]] void printHelp(const char *text)
{
    out() << QString::fromUtf8(text);
    out().flush();
    std::exit(0);
}

// Opens a new file for writing, readable by its owner only. An existing path
// (a symbolic link too, dangling or not) is refused unless `force`, which
// removes it first; the file is then made anew and never through a link.
bool openNewFile(QFile &file, const QString &path, bool force, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        if (!force) {
            *error = QDir::toNativeSeparators(path) + QStringLiteral(" exists (--force replaces it)");
            return false;
        }
        if (info.isDir()) {
            *error = QDir::toNativeSeparators(path) + QStringLiteral(" is a folder");
            return false;
        }
        if (!QFile::remove(path)) {
            *error = QStringLiteral("cannot replace ") + QDir::toNativeSeparators(path);
            return false;
        }
    }
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot write ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file.errorString();
        return false;
    }
#else
    file.setFileName(path);
    if (!file.open(QIODevice::NewOnly | QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
    return true;
}

QString number(double v) { return QString::number(v, 'g', 15); }

QString csvField(QString text)
{
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

} // namespace

bool commandNeedsGui(const QString &command) { return command == QLatin1String("report"); }

int runReconcile(const QStringList &args)
{
    const QString command = QStringLiteral("reconcile");
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption iniOption(QStringLiteral("ini"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption outOption(QStringLiteral("out"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption forceOption(QStringLiteral("force"));
    parser.addOptions({helpOption, iniOption, outOption, forceOption});
    if (!parser.parse(args))
        return usageError(parser.errorText(), command);
    if (parser.isSet(helpOption))
        printHelp(kReconcileHelp);
    const QStringList pos = parser.positionalArguments();
    if (pos.size() < 2)
        return usageError(QStringLiteral("reconcile needs the QuikData database file"), command);
    if (pos.size() > 2)
        return usageError(QStringLiteral("too many arguments: ") + pos.mid(2).join(QLatin1Char(' ')), command);

    Settings settings;
    bool modeKnown = false;
    if (parser.isSet(iniOption)) {
        QString error;
        if (!Settings::checkFile(parser.value(iniOption), &error))
            return failed(error);
        settings.setFileName(parser.value(iniOption));
        settings.LoadSettings();
        modeKnown = true;
    }
    const QString path = QFileInfo(pos[1]).absoluteFilePath();
    Database db(QStringLiteral("reconcile"));
    QString error;
    if (!db.open(path, &error))
        return failed(QStringLiteral("cannot open ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + error);
    QVector<TReconcileRow> rows;
    try {
        QVector<TQuikTerminal> terminals;
        for (const auto &r : db.fetch(QStringLiteral("SELECT id_quik, active, quik, path FROM tQuik ORDER BY id_quik")).rows)
            terminals.append({r.value(0).toInt(), r.value(1).toBool(), r.value(2).toString(), r.value(3).toString()});
        const AccountMode mode = modeKnown ? settings.accountMode() : terminals.isEmpty() ? AccountMode::Single : AccountMode::Multi;
        rows = Reconciliation::Read(db, mode, mode == AccountMode::Multi ? terminals : QVector<TQuikTerminal>(), settings.edtCode,
                                    settings.edtAccountFORTS);
    } catch (const std::exception &e) {
        return failed(QStringLiteral("cannot reconcile ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + failureText(e));
    }

    QByteArray csv("\xEF\xBB\xBF");
    csv += "quikname,code,seccode,ticker,lots,units,currentbal,diff\r\n";
    int differences = 0;
    for (const TReconcileRow &r : rows) {
        differences += r.diff != 0 ? 1 : 0;
        csv += QStringList{csvField(r.quikName), csvField(r.code), csvField(r.secCode), csvField(r.ticker), QString::number(r.lots),
                           number(r.units), number(r.terminal), number(r.diff)}
                   .join(QLatin1Char(','))
                   .toUtf8()
            + "\r\n";
    }
    if (parser.isSet(outOption)) {
        QFile file;
        if (!openNewFile(file, parser.value(outOption), parser.isSet(forceOption), &error))
            return failed(error);
        if (file.write(csv) != csv.size() || !file.flush())
            return failed(QStringLiteral("cannot write ") + parser.value(outOption) + QStringLiteral(": ") + file.errorString());
        file.close();
    } else {
        QFile stdoutFile;
        if (!stdoutFile.open(stdout, QIODevice::WriteOnly))
            return failed(QStringLiteral("cannot write to standard output"));
        stdoutFile.write(csv);
        stdoutFile.flush();
    }
    err() << rows.size() << " rows, " << differences << " differing\n";
    return differences ? 1 : 0;
}

int runReport(const QStringList &args)
{
    const QString command = QStringLiteral("report");
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption dateOption(QStringLiteral("date"), QString(), QStringLiteral("DATE"));
    const QCommandLineOption outOption(QStringLiteral("out"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption alertsOption(QStringLiteral("alerts"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption forceOption(QStringLiteral("force"));
    parser.addOptions({helpOption, dateOption, outOption, alertsOption, forceOption});
    if (!parser.parse(args))
        return usageError(parser.errorText(), command);
    if (parser.isSet(helpOption))
        printHelp(kReportHelp);
    const QStringList pos = parser.positionalArguments();
    if (pos.size() < 2)
        return usageError(QStringLiteral("report needs the QuikData database file"), command);
    if (pos.size() > 2)
        return usageError(QStringLiteral("too many arguments: ") + pos.mid(2).join(QLatin1Char(' ')), command);
    const QDate day = QDate::fromString(parser.value(dateOption), Qt::ISODate);
    if (!day.isValid())
        return usageError(QStringLiteral("--date needs a date YYYY-MM-DD"), command);
    if (!parser.isSet(outOption))
        return usageError(QStringLiteral("--out needs the PDF file to write"), command);

    const QString path = QFileInfo(pos[1]).absoluteFilePath();
    Database quik(QStringLiteral("report"));
    Database alerts(QStringLiteral("report-alerts"));
    QString error;
    if (!quik.open(path, &error))
        return failed(QStringLiteral("cannot open ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + error);
    if (parser.isSet(alertsOption) && !alerts.open(QFileInfo(parser.value(alertsOption)).absoluteFilePath(), &error))
        return failed(QStringLiteral("cannot open ") + parser.value(alertsOption) + QStringLiteral(": ") + error);
    if (!quik.hasTable(QStringLiteral("tOrderHistory")))
        return failed(QDir::toNativeSeparators(path) + QStringLiteral(" keeps no history (no table tOrderHistory)"));
    ActivitySeries series(day);
    try {
        ActivitySeries::ReadDay(series, quik, alerts.isOpen() ? &alerts : nullptr);
    } catch (const std::exception &e) {
        return failed(QStringLiteral("cannot read the history of ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + failureText(e));
    }
    QFile file;
    if (!openNewFile(file, parser.value(outOption), parser.isSet(forceOption), &error))
        return failed(error);
    if (!ActivityReport::write(series, file, &error)) {
        file.close();
        QFile::remove(parser.value(outOption));
        return failed(QStringLiteral("cannot write ") + parser.value(outOption) + QStringLiteral(": ") + error);
    }
    file.close();
    err() << "Wrote the report of " << day.toString(Qt::ISODate) << " (" << series.total().transactions << " transactions, "
          << ActivityReport::pageCount(int(series.byStrategy().size()), int(series.byClient().size())) << " pages) to "
          << QDir::toNativeSeparators(QFileInfo(parser.value(outOption)).absoluteFilePath()) << "\n";
    return 0;
}
