// korvina-terminal-sim: a QUIK terminal stand-in for one transaction file set.
//
//   korvina-terminal-sim --dir DIR [--name NAME] [--db QUIKDATA] [--terminal N]
//                        [--info-log FILE] [--pace MS] [--reject-share P] ...
//
// Exit codes: 0 stopped normally, 1 could not run, 2 wrong command line.

#include "data/databaseaddress.h"
#include "toolcli.h"

#include "terminal.h"

#include "config/korvinaerror.h"
#include "data/database.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTextStream>
#include <QTimer>

#include <cstdlib>

namespace {

using toolcli::err;
using toolcli::failed;
using toolcli::out;
using toolcli::usageError;
constexpr int kFailed = toolcli::Failed;
const char kProgram[] = "korvina-terminal-sim";

const char kHelp[] =
    "Usage: korvina-terminal-sim --dir DIR [OPTIONS]\n"
    "\n"
    "Stands in for one QUIK terminal. It imports the transactions the robot\n"
    "appends to DIR/NAME.tri and answers each of them in DIR/NAME.tro; it keeps\n"
    "the quotes in tParam moving, records its orders and trades in its export\n"
    "tables, and appends to info.log while its link to the server is up.\n"
    "\n"
    "Options:\n"
    "  --dir DIR            folder of the transaction file set (required)\n"
    "  --name NAME          base name of the file set; default \"trans\", or with\n"
    "                       --terminal N and --db the terminal's name in tQuik\n"
    "  --db FILE|URI        the QuikData database to export into: an SQLite file\n"
    "                       or a postgresql:// URI\n"
    "  --terminal N         0: the base export tables (SINGLE mode, default);\n"
    "                       N: tLimitStockN ... tTradesN (MULTI mode)\n"
    "  --info-log FILE      the terminal's log file, grown while connected\n"
    "  --info-every MS      period of the log lines (default 1000)\n"
    "  --link-cut-every S   cut the link to the server after S seconds up ...\n"
    "  --link-cut-for S     ... and restore it after S seconds (fractions allowed)\n"
    "  --pace MS            import poll period, and the delay between a\n"
    "                       transaction's two results (default 500)\n"
    "  --quotes MS          period of the quote moves, 0 = none (default 1000)\n"
    "  --reject-share P     share of transactions the server refuses, 0..1\n"
    "                       (default 0)\n"
    "  --seed N             seed of the random choices (default: the clock)\n"
    "  --duration S         stop after S seconds (default: until SIGINT/SIGTERM)\n"
    "  --quiet              print nothing but warnings\n"
    "  -h, --help           show this help\n"
    "\n"
    "Import: every line appended to the .tri file and ended by CR LF is one\n"
    "transaction of items KEY=VALUE; a last line without its line end waits.\n"
    "A .tri file that is recreated or cut shorter is read from its new start,\n"
    "and results still due for the old file are dropped.\n"
    "\n"
    "Results, one line each, Windows-1251, CR LF, appended to the .tro file:\n"
    "  TRANS_ID=<n>;STATUS=<n>;TRANS_NAME=\"<text>\";DESCRIPTION=\"<text>\";ORDER_NUMBER=<n>;\n"
    "  STATUS 0  passed to the server: at once, ORDER_NUMBER 0;\n"
    "  STATUS 3  executed: one poll later; a new order (or stop order) gets a\n"
    "            new ORDER_NUMBER, a cancel-all gets 0 and the count cancelled;\n"
    "  STATUS 6  refused by the limit check, in place of 3 (--reject-share);\n"
    "  STATUS 5  refused at once by the terminal's own check (a missing or wrong\n"
    "            ACTION, SECCODE, CLASSCODE, ACCOUNT, OPERATION, QUANTITY, PRICE,\n"
    "            or an instrument missing from tParam).\n"
    "A line without a TRANS_ID number is reported on stderr and not answered.\n"
    "\n"
    "Tables (with --db): every executed new order adds a row to tQuikOrders and\n"
    "a trade to tTrades, moves the position in tLimitStock (client, security) or\n"
    "tLimitFut (account, contract), the money in tLimitMoney, and recomputes the\n"
    "client's tPortfolio row or the account's tPortfolioFut row. Fills are at\n"
    "the offer (buy) or bid (sell), never worse than the order's price. Stop\n"
    "orders are registered but never triggered. A cancel-all marks the client's\n"
    "active orders in that security as cancelled. Each write is one short\n"
    "autocommit statement; a busy database is waited for.\n"
    "\n"
    "While the link is cut nothing is imported or answered, the quotes stand\n"
    "still and info.log does not grow; stdout says \"link down\" and \"link up\"\n"
    "(unless --quiet).\n"
    "\n"
    "Exit codes: 0 stopped, 1 could not run, 2 wrong command line.\n";

bool readInt(const QCommandLineParser &parser, const QCommandLineOption &option, int min, int *value, QString *error)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int v = parser.value(option).toInt(&ok);
    if (!ok || v < min) {
        *error = QStringLiteral("--%1 needs a whole number of at least %2, not '%3'")
                     .arg(option.names().constFirst())
                     .arg(min)
                     .arg(parser.value(option));
        return false;
    }
    *value = v;
    return true;
}

bool readDouble(const QCommandLineParser &parser, const QCommandLineOption &option, double min, double max,
                double *value, QString *error)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const double v = parser.value(option).toDouble(&ok);
    if (!ok || v < min || v > max) {
        *error = QStringLiteral("--%1 needs a number from %2 to %3, not '%4'")
                     .arg(option.names().constFirst())
                     .arg(min)
                     .arg(max)
                     .arg(parser.value(option));
        return false;
    }
    *value = v;
    return true;
}

// The terminal's name in tQuik, the base name of its file set.
QString terminalName(const QString &dbPath, int terminal, QString *error)
{
    Database db(QStringLiteral("terminal-name"));
    if (!db.open(dbPath, error))
        return {};
    try {
        QSqlQuery q = db.native(QStringLiteral("SELECT quik FROM tQuik WHERE id_quik = :id"), {{QStringLiteral("id"), terminal}});
        if (q.next())
            return q.value(0).toString();
        *error = QStringLiteral("terminal %1 is not in tQuik of %2; give --name").arg(terminal).arg(dbPath);
    } catch (const KorvinaError &e) {
        *error = e.message();
    }
    return {};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVINA_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption dir(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption name(QStringLiteral("name"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption db(QStringLiteral("db"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption terminal(QStringLiteral("terminal"), QString(), QStringLiteral("N"));
    const QCommandLineOption infoLog(QStringLiteral("info-log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption infoEvery(QStringLiteral("info-every"), QString(), QStringLiteral("MS"));
    const QCommandLineOption cutEvery(QStringLiteral("link-cut-every"), QString(), QStringLiteral("S"));
    const QCommandLineOption cutFor(QStringLiteral("link-cut-for"), QString(), QStringLiteral("S"));
    const QCommandLineOption pace(QStringLiteral("pace"), QString(), QStringLiteral("MS"));
    const QCommandLineOption quotes(QStringLiteral("quotes"), QString(), QStringLiteral("MS"));
    const QCommandLineOption reject(QStringLiteral("reject-share"), QString(), QStringLiteral("P"));
    const QCommandLineOption seed(QStringLiteral("seed"), QString(), QStringLiteral("N"));
    const QCommandLineOption duration(QStringLiteral("duration"), QString(), QStringLiteral("S"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    parser.addOptions({help, dir, name, db, terminal, infoLog, infoEvery, cutEvery, cutFor, pace, quotes, reject, seed,
                       duration, quiet});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        out() << QString::fromUtf8(kHelp);
        out().flush();
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument: ") + parser.positionalArguments().join(QLatin1Char(' ')));
    if (!parser.isSet(dir) || parser.value(dir).isEmpty())
        return usageError(QStringLiteral("--dir is required"));

    termsim::Config config;
    config.dir = QDir(parser.value(dir)).absolutePath();
    // A file as an absolute path; a PostgreSQL URI as it is.
    config.db = !parser.isSet(db)                                ? QString()
        : DatabaseAddress::isServer(parser.value(db)) ? parser.value(db)
                                                      : QFileInfo(parser.value(db)).absoluteFilePath();
    config.infoLog = parser.isSet(infoLog) ? QFileInfo(parser.value(infoLog)).absoluteFilePath() : QString();
    config.quiet = parser.isSet(quiet);
    QString problem;
    double durationSec = 0;
    if (!readInt(parser, terminal, 0, &config.terminal, &problem) || !readInt(parser, pace, 1, &config.paceMs, &problem)
        || !readInt(parser, quotes, 0, &config.quotesMs, &problem)
        || !readInt(parser, infoEvery, 1, &config.infoMs, &problem)
        || !readDouble(parser, reject, 0, 1, &config.rejectShare, &problem)
        || !readDouble(parser, cutEvery, 0, 1e6, &config.cutEverySec, &problem)
        || !readDouble(parser, cutFor, 0, 1e6, &config.cutForSec, &problem)
        || !readDouble(parser, duration, 0, 1e9, &durationSec, &problem))
        return usageError(problem);
    if (parser.isSet(cutEvery) != parser.isSet(cutFor))
        return usageError(QStringLiteral("--link-cut-every and --link-cut-for go together"));
    if (parser.isSet(seed)) {
        bool ok = false;
        config.seed = parser.value(seed).toULongLong(&ok);
        if (!ok)
            return usageError(QStringLiteral("--seed needs a whole number, not '") + parser.value(seed) + QLatin1Char('\''));
    } else {
        config.seed = static_cast<quint64>(QDateTime::currentMSecsSinceEpoch());
    }

    if (parser.isSet(name) && !parser.value(name).isEmpty()) {
        config.name = parser.value(name);
    } else if (config.terminal == 0) {
        config.name = QStringLiteral("trans");
    } else if (config.db.isEmpty()) {
        return usageError(QStringLiteral("--terminal N needs --name or --db (to look the name up in tQuik)"));
    } else {
        config.name = terminalName(config.db, config.terminal, &problem);
        if (config.name.isEmpty()) {
            err() << kProgram << ": " << problem << "\n";
            return kFailed;
        }
    }

    termsim::Terminal sim(config, out(), err());
    if (!sim.start(&problem)) {
        err() << kProgram << ": " << problem << "\n";
        return kFailed;
    }

    toolcli::installStopHandlers();
    QTimer watchStop;
    QObject::connect(&watchStop, &QTimer::timeout, &app, [] {
        if (toolcli::stopRequested())
            QCoreApplication::quit();
    });
    watchStop.start(50);
    if (durationSec > 0)
        QTimer::singleShot(static_cast<int>(durationSec * 1000), &app, &QCoreApplication::quit);

    app.exec();
    sim.stop();
    if (!config.quiet) {
        out() << "stopped: " << sim.taken() << " transactions taken, " << sim.answered() << " results written\n";
        out().flush();
    }
    return 0;
}
