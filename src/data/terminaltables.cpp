#include "terminaltables.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "datmod.h"
#include "schema.h"

#include <QRegularExpression>
#include <QStringList>
#include <QVariant>

namespace {

// The make-table statements of terminal N, in the order they run. Each copies
// only the base rows whose key columns hold the empty text: in practice none.
QStringList terminalStatements(const QString &N)
{
    return {
        QStringLiteral("SELECT *  INTO tLimitStock") + N + QStringLiteral("  FROM tLimitStock WHERE [firm]=\"\" and [code]=\"\" "),
        QStringLiteral("SELECT *  INTO tLimitFut") + N + QStringLiteral("  FROM tLimitFut WHERE [account]=\"\""),
        QStringLiteral("SELECT *  INTO tPortfolio") + N + QStringLiteral("  FROM tPortfolio WHERE [code]=\"\""),
        QStringLiteral("SELECT *  INTO tPortfolioFut") + N + QStringLiteral("  FROM tPortfolioFut WHERE [account]=\"\""),
        QStringLiteral("SELECT *  INTO tLimitMoney") + N + QStringLiteral("  FROM tLimitMoney WHERE [account]=\"\""),
        QStringLiteral("SELECT *  INTO tQuikOrders") + N + QStringLiteral("  FROM tQuikOrders WHERE [account]=\"\" and [code]=\"\""),
        QStringLiteral("SELECT *  INTO tTrades") + N + QStringLiteral("  FROM tTrades WHERE [account]=\"\" and [code]=\"\""),
    };
}

// The terminal numbers of tQuik as stored now, first row to last. A row
// being edited is saved first, as moving off it would.
QStringList terminalNumbers(DataSet &tQuik)
{
    if (!tQuik.Active()) {
        tQuik.Open();
    } else {
        if (tQuik.editing() && !tQuik.Post())
            throw KorvinaError(tQuik.lastError());
        tQuik.Reread();
    }
    QStringList numbers;
    for (int r = 0; r < tQuik.RecordCount(); ++r)
        numbers << tQuik.value(r, QStringLiteral("id_quik")).toString();
    return numbers;
}

} // namespace

void CreateTerminalTables(TDatMod &dm)
{
    AddLog(QStringLiteral("Создаю таблицы лимитов (акции, фьючерсы, деньги), портфелей для квиков ... "));
    const QStringList numbers = terminalNumbers(dm.tQuik);
    DataSet &q = dm.qQuikData;
    QStringList made;
    for (const QString &N : numbers) {
        for (const QString &statement : terminalStatements(N)) {
            try {
                q.Close();
                q.setSQL(QStringList());
                q.setSQL(statement);
                q.ExecSQL();
                static const QRegularExpression into(QStringLiteral("INTO\\s+(\\w+)"));
                made << into.match(statement).captured(1);
            } catch (const std::exception &e) {
                AddLog(QStringLiteral("Сообщение: ") + failureText(e) + QStringLiteral("."));
            }
        }
    }
    // On a server whose terminal tables count their changes the copies
    // count theirs too, or the merged views would not see them change.
    if (!made.isEmpty() && dm.conQuikData.server()) {
        try {
            if (schema::countsChanges(dm.conQuikData))
                schema::addChangeCounters(dm.conQuikData, made);
        } catch (const std::exception &e) {
            AddLog(QStringLiteral("Сообщение: ") + failureText(e) + QStringLiteral("."));
        }
    }
    AddLog(QStringLiteral("Создание таблиц успешно завершено ... ОК "));
    FlushLog();
}
