#include "alertrows.h"

#include "data/database.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace stratsim {

namespace {

QString ident(const QString &name) { return QLatin1Char('"') + name + QLatin1Char('"'); }

struct Insert {
    QStringList columns;
    QStringList values;
    QVariantMap params;

    void add(const QString &column, const QVariant &value)
    {
        const QString p = QStringLiteral("p%1").arg(columns.size());
        columns << ident(column);
        values << QLatin1Char(':') + p;
        params.insert(p, value);
    }
};

QVariant priceValue(const std::optional<double> &price)
{
    return price ? QVariant(*price) : QVariant(QMetaType::fromType<double>());
}

} // namespace

QString tableName(AlertTable table)
{
    switch (table) {
    case AlertTable::FilledOrders:
        return QStringLiteral("FilledOrders");
    case AlertTable::ActiveOrders:
        return QStringLiteral("ActiveOrders");
    case AlertTable::CanceledOrders:
        return QStringLiteral("CanceledOrders");
    case AlertTable::OpenPositions:
        return QStringLiteral("OpenPositions");
    }
    return {};
}

std::optional<AlertTable> tableByName(const QString &name)
{
    for (AlertTable t : {AlertTable::FilledOrders, AlertTable::ActiveOrders, AlertTable::CanceledOrders,
                         AlertTable::OpenPositions})
        if (tableName(t).compare(name, Qt::CaseInsensitive) == 0)
            return t;
    return std::nullopt;
}

qint64 addRow(Database &alerts, const AlertRow &row, const QDateTime &at)
{
    const QString table = tableName(row.table);
    Insert ins;
    ins.add(QStringLiteral("Symbol"), row.symbol);
    ins.add(QStringLiteral("Description"), row.description);
    if (row.table != AlertTable::OpenPositions) {
        ins.add(QStringLiteral("OrderType"), row.orderType);
        ins.add(QStringLiteral("Order"), row.order);
    }
    switch (row.table) {
    case AlertTable::FilledOrders:
        ins.add(QStringLiteral("Fill Price"), priceValue(row.price));
        ins.add(QStringLiteral("Time Placed"), at);
        ins.add(QStringLiteral("Time Filled"), at);
        break;
    case AlertTable::ActiveOrders:
        ins.add(QStringLiteral("Last"), priceValue(row.price));
        ins.add(QStringLiteral("Time Placed"), at);
        break;
    case AlertTable::CanceledOrders:
        ins.add(QStringLiteral("Time Placed"), at);
        ins.add(QStringLiteral("Time Canceled"), at);
        break;
    case AlertTable::OpenPositions:
        ins.add(QStringLiteral("Entry Price"), priceValue(row.price));
        ins.add(QStringLiteral("Last"), priceValue(row.price));
        ins.add(QStringLiteral("Profit"), 0.0);
        ins.add(QStringLiteral("Entry Time"), at);
        break;
    }
    ins.add(QStringLiteral("System"), row.system);
    ins.add(QStringLiteral("Signal"), row.signal);
    ins.add(QStringLiteral("Workspace"), row.workspace);
    ins.add(QStringLiteral("Interval"), row.interval);
    const QString alert = row.table == AlertTable::OpenPositions ? row.system + QStringLiteral(": ") + row.symbol
                                                                 : row.system + QStringLiteral(": ") + row.order;
    ins.add(QStringLiteral("Alert String"), alert);

    // One statement takes the next ID and adds the row: no other writer can
    // slip a row in between.
    const QString insert = QStringLiteral("INSERT INTO ") + ident(table) + QStringLiteral(" (\"ID\", ")
        + ins.columns.join(QStringLiteral(", ")) + QStringLiteral(") SELECT COALESCE(MAX(\"ID\"), 0) + 1, ")
        + ins.values.join(QStringLiteral(", ")) + QStringLiteral(" FROM ") + ident(table);
    if (alerts.server()) {
        // (The robot's trigger tells the robots listening of the new row.)
        QSqlQuery q = alerts.native(insert + QStringLiteral(" RETURNING \"ID\""), ins.params);
        const qint64 id = q.next() ? q.value(0).toLongLong() : -1;
        q.finish();
        return id;
    }
    alerts.native(insert, ins.params).finish();
    QSqlQuery q = alerts.native(QStringLiteral("SELECT \"ID\" FROM ") + ident(table)
                                + QStringLiteral(" WHERE rowid = last_insert_rowid()"));
    const qint64 id = q.next() ? q.value(0).toLongLong() : -1;
    q.finish();
    return id;
}

QString describe(const AlertRow &row, qint64 id)
{
    QString text = tableName(row.table) + QStringLiteral(" ID=") + QString::number(id) + QStringLiteral(": ")
        + row.symbol;
    if (row.table != AlertTable::OpenPositions)
        text += QLatin1Char(' ') + row.orderType + QStringLiteral(" \"") + row.order + QLatin1Char('"');
    if (row.price)
        text += QStringLiteral(" @ ") + QString::number(*row.price, 'g', 15);
    text += QStringLiteral(" | ") + row.system + QStringLiteral(" | ") + row.workspace + QStringLiteral(" | ")
        + row.signal + QStringLiteral(" | ") + row.interval;
    return text;
}

QString withDecimalSeparator(const QString &order, const QString &separator)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]+\\.[0-9]+$"));
    qsizetype start = 0;
    int word = 1;
    for (qsizetype i = 0; i <= order.size(); ++i) {
        const bool end = i == order.size() || order[i] == QLatin1Char(' ') || order[i] == QLatin1Char('(');
        if (!end)
            continue;
        if (word == 4) {
            const QString token = order.mid(start, i - start);
            if (!number.match(token).hasMatch())
                return order;
            QString out = order;
            out.replace(start + token.indexOf(QLatin1Char('.')), 1, separator);
            return out;
        }
        ++word;
        start = i + 1;
    }
    return order;
}

} // namespace stratsim
