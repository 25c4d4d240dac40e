// korvina-strategy-sim: a strategy platform stand-in that adds orders to the
// alert database.
//
//   korvina-strategy-sim --alerts FILE --scenario FILE
//   korvina-strategy-sim --alerts FILE --random N [--every MS] --quikdata FILE
//
// Exit codes: 0 done (or stopped), 1 failed, 2 wrong command line.

#include "toolcli.h"

#include "alertrows.h"
#include "scenario.h"

#include "config/korvinaerror.h"
#include "data/database.h"
#include "data/databaseaddress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

using toolcli::err;
using toolcli::failed;
using toolcli::out;
using toolcli::usageError;
const char kProgram[] = "korvina-strategy-sim";

const char kHelp[] =
    "Usage: korvina-strategy-sim --alerts FILE --scenario FILE [OPTIONS]\n"
    "       korvina-strategy-sim --alerts FILE --random N --quikdata FILE [OPTIONS]\n"
    "\n"
    "Stands in for the strategy platform: adds order rows to the alert database\n"
    "(SQLite) as the platform does when its strategies' orders are filled,\n"
    "placed or cancelled. Every new row gets an ID above every ID its table\n"
    "holds; the times placed, filled, cancelled or entered are the moment the\n"
    "row is added. Each row added is printed on one line.\n"
    "\n"
    "Options:\n"
    "  --alerts FILE       the alert database (required)\n"
    "  --scenario FILE     add the rows of FILE, each after its delay\n"
    "  --random N          add N random filled orders ...\n"
    "  --every MS          ... one every MS milliseconds (default 1000)\n"
    "  --quikdata FILE     QuikData, for --random: the traded tickers of tSecCode\n"
    "                      and their last prices in tParam\n"
    "  --system TEXT       System of random orders (default \"Demo MA Cross(5,20)\")\n"
    "  --workspace PATH    Workspace of random orders\n"
    "                      (default \"C:\\Omega\\MyWork\\Demo.orw\")\n"
    "  --verbatim          write Order texts of a scenario exactly as written\n"
    "  --seed N            seed of the random choices (default: the clock)\n"
    "  --synchronous MODE  write as a writer with PRAGMA synchronous=MODE\n"
    "                      (FULL, NORMAL or OFF; default NORMAL)\n"
    "  --journal MODE      ask for PRAGMA journal_mode=MODE (WAL or DELETE;\n"
    "                      default WAL); a database another program keeps in\n"
    "                      WAL stays in WAL\n"
    "  --connection-per-row  open the database for each row and close it after\n"
    "                      (default: one connection for the whole run)\n"
    "  -h, --help          show this help\n"
    "\n"
    "Scenario file: one row per line, fields separated by \";\":\n"
    "\n"
    "  delay;table;Symbol;OrderType;Order;Fill Price;System;Workspace;Signal;Interval[;Description]\n"
    "\n"
    "  delay       milliseconds to wait before the row, after the previous row\n"
    "  table       FilledOrders, ActiveOrders, CanceledOrders or OpenPositions\n"
    "  OrderType   LE (long entry), LX (long exit), SE (short entry), SX (short exit)\n"
    "  Order       the order text: direction (Buy/Sell), quantity, symbol, price,\n"
    "              then e.g. Market, Limit or Stop: \"Buy 10 SBER 285.15 Market\".\n"
    "              The price's \".\" becomes the system's decimal separator\n"
    "              (unless --verbatim); the text is otherwise kept as written,\n"
    "              blanks included.\n"
    "  Fill Price  a number or empty; Last of an active order, Entry Price and\n"
    "              Last of a position\n"
    "Blank lines and lines starting with \"#\" are skipped; other fields are\n"
    "trimmed. UTF-8 (or Windows-1251). A faulty line stops the program before\n"
    "any row is added.\n"
    "\n"
    "Random orders: a traded ticker at random; without a position in it, a long\n"
    "or short entry of 1 to 5 lots; with one, the exit of that position. The\n"
    "price is within three price steps of tParam.last, read before each order;\n"
    "the Order text ends in Market, Limit or Stop.\n"
    "\n"
    "Exit codes: 0 done or stopped by SIGINT/SIGTERM, 1 failed, 2 wrong command\n"
    "line.\n";

// Waits, a little at a time, so that a stop request ends the wait. False when
// the program is to stop.
bool waitFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!toolcli::stopRequested()) {
        const qint64 left = ms - timer.elapsed();
        if (left <= 0)
            return true;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 50)));
    }
    return false;
}

bool openDatabase(Database &db, const QString &path, QString *error)
{
    if (!db.open(path, error))
        return false;
    if (db.engine() != Database::Engine::SQLite && db.engine() != Database::Engine::PostgreSQL) {
        *error = QStringLiteral("only SQLite and PostgreSQL databases are supported: ") + DatabaseAddress::shown(path);
        return false;
    }
    return true;
}

// How the stand-in writes, as strategy platforms and their drivers do: the
// sync and journal settings of its connection, one connection for the run
// or one per row.
struct Writer {
    QString path;
    QString synchronous = QStringLiteral("NORMAL");
    QString journal = QStringLiteral("WAL");
    bool perRow = false;
    std::unique_ptr<Database> db;

    // The connection to write the next row with; null with the reason.
    Database *connection(QString *error)
    {
        if (db && !perRow)
            return db.get();
        db = std::make_unique<Database>(QStringLiteral("strategy-sim-alerts"));
        if (!openDatabase(*db, path, error))
            return nullptr;
        if (db->server())
            return db.get(); // (the sync and journal modes are SQLite's)
        try {
            db->native(QStringLiteral("PRAGMA journal_mode=") + journal).finish();
        } catch (const KorvinaError &) {
            // Kept in WAL by another program's connection: written in WAL.
        }
        db->native(QStringLiteral("PRAGMA synchronous=") + synchronous).finish();
        return db.get();
    }
    void rowDone()
    {
        if (perRow)
            db.reset();
    }
};

int addRows(Writer &writer, const QList<stratsim::AlertRow> &rows)
{
    for (const stratsim::AlertRow &row : rows) {
        if (!waitFor(row.delayMs))
            return 0;
        QString problem;
        Database *alerts = writer.connection(&problem);
        if (!alerts)
            return failed(problem);
        try {
            // A server that went away for a moment (restarted, unreachable):
            // the row is written again once it is back, as a platform's
            // driver retries, for up to a minute.
            qint64 id = -1;
            for (QElapsedTimer waited;;) {
                if (!waited.isValid())
                    waited.start();
                try {
                    id = stratsim::addRow(*alerts, row, QDateTime::currentDateTime());
                    break;
                } catch (const KorvinaError &e) {
                    if (!alerts->server() || !e.transient() || waited.hasExpired(60000))
                        throw;
                    QThread::msleep(200);
                }
            }
            // Told at once, as committed; closing the connection comes after.
            out() << stratsim::describe(row, id) << '\n';
            out().flush();
            writer.rowDone();
        } catch (const KorvinaError &e) {
            return failed((row.line > 0 ? QStringLiteral("line %1: ").arg(row.line) : QString())
                          + QStringLiteral("cannot add the row to ") + stratsim::tableName(row.table)
                          + QStringLiteral(": ") + e.message());
        }
    }
    return 0;
}

struct Security {
    QString ticker;
    QString secCode;
    QString stock;
    int lotSize = 1;
    int digits = 0;
    double step = 0;
};

int runRandom(Writer &alerts, const QString &quikDataPath, int count, int everyMs, quint64 seed,
              const QString &system, const QString &workspace)
{
    Database quikData(QStringLiteral("strategy-sim-quikdata"));
    QString problem;
    if (!openDatabase(quikData, quikDataPath, &problem))
        return failed(problem);

    QList<Security> securities;
    try {
        QSqlQuery q = quikData.native(QStringLiteral(
            "SELECT s.Ticker, s.SecCode, p.stock, s.LotSize, s.Digits, s.MinMov FROM tSecCode s "
            "JOIN tParam p ON p.seccode = s.SecCode "
            "WHERE s.Traded <> 0 AND COALESCE(s.Ticker, '') <> '' AND p.last > 0 ORDER BY s.Ticker"));
        while (q.next()) {
            Security s;
            s.ticker = q.value(0).toString();
            s.secCode = q.value(1).toString();
            s.stock = q.value(2).toString();
            s.lotSize = std::max(1, q.value(3).toInt());
            s.digits = std::clamp(q.value(4).toInt(), 0, 10);
            s.step = q.value(5).toDouble();
            if (!(s.step > 0))
                s.step = std::pow(10.0, -s.digits);
            securities.append(s);
        }
    } catch (const KorvinaError &e) {
        return failed(QStringLiteral("cannot read the securities of ") + DatabaseAddress::shown(quikDataPath) + QStringLiteral(": ")
                      + e.message());
    }
    if (securities.isEmpty())
        return failed(QStringLiteral("no traded ticker with a last price in ") + DatabaseAddress::shown(quikDataPath));

    QRandomGenerator rng(seed);
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    QHash<QString, qint64> positions; // ticker -> shares, + long, - short
    const char *const kinds[] = {"Market", "Market", "Limit", "Stop"};

    for (int n = 0; n < count; ++n) {
        const Security &s = securities[static_cast<int>(rng.bounded(static_cast<int>(securities.size())))];
        double last = 0;
        try {
            QSqlQuery q = quikData.native(QStringLiteral("SELECT last FROM tParam WHERE seccode = :s"),
                                          {{QStringLiteral("s"), s.secCode}});
            if (q.next())
                last = q.value(0).toDouble();
        } catch (const KorvinaError &e) {
            return failed(QStringLiteral("cannot read the price of ") + s.secCode + QStringLiteral(": ") + e.message());
        }
        if (!(last > 0))
            continue;

        stratsim::AlertRow row;
        row.delayMs = everyMs;
        qint64 &position = positions[s.ticker];
        qint64 quantity = 0;
        bool buy = false;
        if (position == 0) {
            buy = rng.bounded(2) == 0;
            row.orderType = buy ? QStringLiteral("LE") : QStringLiteral("SE");
            quantity = s.lotSize * (1 + static_cast<qint64>(rng.bounded(5)));
            position = buy ? quantity : -quantity;
        } else {
            buy = position < 0;
            row.orderType = buy ? QStringLiteral("SX") : QStringLiteral("LX");
            quantity = std::abs(position);
            position = 0;
        }
        const int steps = static_cast<int>(rng.bounded(7)) - 3;
        double price = std::round(last / s.step + steps) * s.step;
        if (price <= 0)
            price = last;
        const double scale = std::pow(10.0, s.digits);
        price = std::round(price * scale) / scale;

        row.symbol = s.ticker;
        row.price = price;
        row.order = (buy ? QStringLiteral("Buy ") : QStringLiteral("Sell ")) + QString::number(quantity)
            + QLatin1Char(' ') + s.ticker + QLatin1Char(' ') + locale.toString(price, 'f', s.digits) + QLatin1Char(' ')
            + QLatin1String(kinds[rng.bounded(4)]);
        row.system = system;
        row.workspace = workspace;
        row.signal = QStringLiteral("MA Cross ") + row.orderType;
        row.interval = QStringLiteral("5 min");
        row.description = s.stock;
        if (const int rc = addRows(alerts, {row}); rc != 0)
            return rc;
        if (toolcli::stopRequested())
            break;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVINA_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption alertsOpt(QStringLiteral("alerts"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption scenarioOpt(QStringLiteral("scenario"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption randomOpt(QStringLiteral("random"), QString(), QStringLiteral("N"));
    const QCommandLineOption everyOpt(QStringLiteral("every"), QString(), QStringLiteral("MS"));
    const QCommandLineOption quikDataOpt(QStringLiteral("quikdata"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption systemOpt(QStringLiteral("system"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption workspaceOpt(QStringLiteral("workspace"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption verbatimOpt(QStringLiteral("verbatim"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"), QString(), QStringLiteral("N"));
    const QCommandLineOption synchronousOpt(QStringLiteral("synchronous"), QString(), QStringLiteral("MODE"));
    const QCommandLineOption journalOpt(QStringLiteral("journal"), QString(), QStringLiteral("MODE"));
    const QCommandLineOption perRowOpt(QStringLiteral("connection-per-row"));
    parser.addOptions({help, alertsOpt, scenarioOpt, randomOpt, everyOpt, quikDataOpt, systemOpt, workspaceOpt,
                       verbatimOpt, seedOpt, synchronousOpt, journalOpt, perRowOpt});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        out() << QString::fromUtf8(kHelp);
        out().flush();
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument: ") + parser.positionalArguments().join(QLatin1Char(' ')));
    if (!parser.isSet(alertsOpt) || parser.value(alertsOpt).isEmpty())
        return usageError(QStringLiteral("--alerts is required"));
    if (parser.isSet(scenarioOpt) == parser.isSet(randomOpt))
        return usageError(QStringLiteral("give either --scenario FILE or --random N"));

    quint64 seed = static_cast<quint64>(QDateTime::currentMSecsSinceEpoch());
    if (parser.isSet(seedOpt)) {
        bool ok = false;
        seed = parser.value(seedOpt).toULongLong(&ok);
        if (!ok)
            return usageError(QStringLiteral("--seed needs a whole number, not '") + parser.value(seedOpt)
                              + QLatin1Char('\''));
    }

    QList<stratsim::AlertRow> rows;
    int count = 0;
    int everyMs = 1000;
    if (parser.isSet(scenarioOpt)) {
        QFile file(parser.value(scenarioOpt));
        if (!file.open(QIODevice::ReadOnly))
            return failed(QStringLiteral("cannot read ") + file.fileName() + QStringLiteral(": ") + file.errorString());
        QString problem;
        if (!stratsim::parseScenario(file.readAll(), &rows, &problem))
            return failed(file.fileName() + QStringLiteral(", ") + problem);
        if (!parser.isSet(verbatimOpt)) {
            const QString separator = QLocale().decimalPoint();
            for (stratsim::AlertRow &row : rows)
                row.order = stratsim::withDecimalSeparator(row.order, separator);
        }
    } else {
        bool ok = false;
        count = parser.value(randomOpt).toInt(&ok);
        if (!ok || count < 0)
            return usageError(QStringLiteral("--random needs a whole number of orders, not '")
                              + parser.value(randomOpt) + QLatin1Char('\''));
        if (parser.isSet(everyOpt)) {
            everyMs = parser.value(everyOpt).toInt(&ok);
            if (!ok || everyMs < 0)
                return usageError(QStringLiteral("--every needs a whole number of milliseconds, not '")
                                  + parser.value(everyOpt) + QLatin1Char('\''));
        }
        if (!parser.isSet(quikDataOpt) || parser.value(quikDataOpt).isEmpty())
            return usageError(QStringLiteral("--random needs --quikdata FILE"));
    }

    Writer alerts;
    alerts.path = parser.value(alertsOpt);
    alerts.perRow = parser.isSet(perRowOpt);
    if (parser.isSet(synchronousOpt)) {
        alerts.synchronous = parser.value(synchronousOpt).toUpper();
        if (!QStringList{QStringLiteral("FULL"), QStringLiteral("NORMAL"), QStringLiteral("OFF")}.contains(alerts.synchronous))
            return usageError(QStringLiteral("--synchronous needs FULL, NORMAL or OFF, not '") + parser.value(synchronousOpt)
                              + QLatin1Char('\''));
    }
    if (parser.isSet(journalOpt)) {
        alerts.journal = parser.value(journalOpt).toUpper();
        if (!QStringList{QStringLiteral("WAL"), QStringLiteral("DELETE")}.contains(alerts.journal))
            return usageError(QStringLiteral("--journal needs WAL or DELETE, not '") + parser.value(journalOpt) + QLatin1Char('\''));
    }
    // The database is there and can be opened before anything is done.
    QString problem;
    if (!alerts.connection(&problem))
        return failed(problem);
    alerts.rowDone();

    toolcli::installStopHandlers();

    if (parser.isSet(scenarioOpt))
        return addRows(alerts, rows);
    return runRandom(alerts, parser.value(quikDataOpt), count, everyMs, seed,
                     parser.isSet(systemOpt) ? parser.value(systemOpt) : QStringLiteral("Demo MA Cross(5,20)"),
                     parser.isSet(workspaceOpt) ? parser.value(workspaceOpt)
                                                : QStringLiteral("C:\\Omega\\MyWork\\Demo.orw"));
}
