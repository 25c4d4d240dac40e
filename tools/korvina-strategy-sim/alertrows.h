#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class Database;

// Rows of the strategy platform's alert database, written as the platform
// writes them.
namespace stratsim {

enum class AlertTable { FilledOrders, ActiveOrders, CanceledOrders, OpenPositions };

QString tableName(AlertTable table);
// The table of a name, letter case ignored.
std::optional<AlertTable> tableByName(const QString &name);

struct AlertRow {
    int delayMs = 0; // wait before the row is added, counted from the previous row
    AlertTable table = AlertTable::FilledOrders;
    QString symbol;
    QString orderType; // "LE", "LX", "SE", "SX"
    QString order;     // e.g. "Buy 10 SBER 285.15 Market"
    std::optional<double> price; // Fill Price; Last of an active order; Entry Price of a position
    QString system;
    QString workspace;
    QString signal;
    QString interval;
    QString description;
    int line = 0; // line of the scenario file, 0 when made up
};

// Adds the row to its table with an ID above every ID the table holds (taken
// in the same statement, so it stays so whoever else writes the table), the
// times placed/filled/cancelled/entered set to `at`, and answers the ID.
// Columns a table lacks are left out (a position has no OrderType or Order).
// Throws KorvinaError with the engine's message.
qint64 addRow(Database &alerts, const AlertRow &row, const QDateTime &at);

// One line about an added row, for the console.
QString describe(const AlertRow &row, qint64 id);

// The order text with the decimal point of its price word (the fourth word,
// words ending at a blank or "(") replaced by the given separator, as the
// platform writes prices with the system's separator. Texts whose fourth word
// is no number with a "." come back unchanged.
QString withDecimalSeparator(const QString &order, const QString &separator);

} // namespace stratsim
