#include "historyexport.h"

#include "database.h"

#include "config/korvinaerror.h"

#include <QDateTime>
#include <QStringList>

namespace {

QString csvField(const QVariant &v)
{
    QString text;
    if (v.isNull())
        return text;
    if (v.typeId() == QMetaType::QDateTime)
        text = v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    else
        text = v.toString();
    // Times are stored as ISO text; shown the way people read them.
    if (text.size() >= 19 && text[10] == QLatin1Char('T') && text[4] == QLatin1Char('-'))
        text = text.left(10) + QLatin1Char(' ') + text.mid(11, 8);
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

} // namespace

QStringList HistoryCsvColumns()
{
    return {QStringLiteral("id"),           QStringLiteral("session"),     QStringLiteral("sent_at"),
            QStringLiteral("trans_id"),     QStringLiteral("id_order"),    QStringLiteral("code"),
            QStringLiteral("terminal_file"), QStringLiteral("trans_text"), QStringLiteral("status"),
            QStringLiteral("trans_name"),   QStringLiteral("description"), QStringLiteral("order_number"),
            QStringLiteral("result_at"),    QStringLiteral("carried_from")};
}

int ExportHistoryCsv(Database &db, QIODevice &out, std::optional<QDate> from, std::optional<QDate> to)
{
    const QStringList columns = HistoryCsvColumns();
    QStringList where;
    QVariantMap params;
    if (from) {
        where << QStringLiteral("sent_at >= :from_day");
        params.insert(QStringLiteral("from_day"), from->toString(Qt::ISODate));
    }
    if (to) {
        where << QStringLiteral("sent_at < :after_day");
        params.insert(QStringLiteral("after_day"), to->addDays(1).toString(Qt::ISODate));
    }
    const QString statement = QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral("\r\nFROM tOrderHistory\r\n")
        + (where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where.join(QStringLiteral(" AND ")) + QStringLiteral("\r\n"))
        + QStringLiteral("ORDER BY id");
    const Database::Rows rows = db.fetch(statement, params);

    auto put = [&out](const QString &line) {
        const QByteArray bytes = line.toUtf8() + "\r\n";
        if (out.write(bytes) != bytes.size())
            throw KorvinaError(QStringLiteral("Ошибка записи: ") + out.errorString());
    };
    if (out.write("\xEF\xBB\xBF", 3) != 3)
        throw KorvinaError(QStringLiteral("Ошибка записи: ") + out.errorString());
    put(columns.join(QLatin1Char(',')));
    for (const auto &r : rows.rows) {
        QStringList fields;
        for (const QVariant &v : r)
            fields << csvField(v);
        put(fields.join(QLatin1Char(',')));
    }
    return rows.rows.size();
}
