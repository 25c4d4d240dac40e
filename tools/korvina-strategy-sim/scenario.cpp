#include "scenario.h"

#include "config/textcodec.h"

#include <QStringDecoder>
#include <QStringList>

#include <cmath>

namespace stratsim {

namespace {

QString decodeText(const QByteArray &content)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(content);
    if (utf8.hasError())
        return cp1251::decode(content);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    return text;
}

} // namespace

bool parseScenario(const QByteArray &content, QList<AlertRow> *rows, QString *error)
{
    rows->clear();
    QList<AlertRow> out;
    const QStringList lines = decodeText(content).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const int lineNo = static_cast<int>(i) + 1;
        auto fail = [&](const QString &message) {
            *error = QStringLiteral("line %1: ").arg(lineNo) + message;
            return false;
        };

        const QStringList f = line.split(QLatin1Char(';'));
        if (f.size() != 10 && f.size() != 11)
            return fail(QStringLiteral("expected 10 or 11 fields separated by ';', found %1").arg(f.size()));

        AlertRow row;
        row.line = lineNo;
        bool ok = false;
        row.delayMs = f[0].trimmed().toInt(&ok);
        if (!ok || row.delayMs < 0)
            return fail(QStringLiteral("the delay must be a whole number of milliseconds, not '%1'").arg(f[0].trimmed()));
        const auto table = tableByName(f[1].trimmed());
        if (!table)
            return fail(QStringLiteral("unknown table '%1' (FilledOrders, ActiveOrders, CanceledOrders or "
                                       "OpenPositions)")
                            .arg(f[1].trimmed()));
        row.table = *table;
        row.symbol = f[2].trimmed();
        if (row.symbol.isEmpty())
            return fail(QStringLiteral("the Symbol is empty"));
        row.orderType = f[3].trimmed();
        row.order = f[4];
        const QString price = f[5].trimmed();
        if (!price.isEmpty()) {
            const double v = QString(price).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
            if (!ok || !std::isfinite(v))
                return fail(QStringLiteral("the price must be a number, not '%1'").arg(price));
            row.price = v;
        }
        row.system = f[6].trimmed();
        row.workspace = f[7].trimmed();
        row.signal = f[8].trimmed();
        row.interval = f[9].trimmed();
        if (f.size() == 11)
            row.description = f[10].trimmed();
        out.append(row);
    }
    *rows = out;
    return true;
}

} // namespace stratsim
