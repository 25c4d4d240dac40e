#include "datmod.h"

#include "groupmembers.h"
#include "jetsql.h"

TDatMod::TDatMod(QObject *parent)
    : QObject(parent),
      conOmega(QStringLiteral("conOmega")),
      conQuikData(QStringLiteral("conQuikData")),
      tFilledOrders(QStringLiteral("tFilledOrders"), &conOmega, DataSet::Kind::Table),
      tActiveOrders(QStringLiteral("tActiveOrders"), &conOmega, DataSet::Kind::Table),
      tCanceledOrders(QStringLiteral("tCanceledOrders"), &conOmega, DataSet::Kind::Table),
      tOpenPisitions(QStringLiteral("tOpenPisitions"), &conOmega, DataSet::Kind::Table),
      qFilledOrders(QStringLiteral("qFilledOrders"), &conOmega, DataSet::Kind::Query),
      qActiveOrders(QStringLiteral("qActiveOrders"), &conOmega, DataSet::Kind::Query),
      qCanceledOrders(QStringLiteral("qCanceledOrders"), &conOmega, DataSet::Kind::Query),
      qUpdateOrderNumber(QStringLiteral("qUpdateOrderNumber"), &conOmega, DataSet::Kind::Query),
      tParam(QStringLiteral("tParam"), &conQuikData, DataSet::Kind::Table),
      tSecCode(QStringLiteral("tSecCode"), &conQuikData, DataSet::Kind::Table),
      tWorkSpaces(QStringLiteral("tWorkSpaces"), &conQuikData, DataSet::Kind::Table),
      tStrategy(QStringLiteral("tStrategy"), &conQuikData, DataSet::Kind::Table),
      tClients(QStringLiteral("tClients"), &conQuikData, DataSet::Kind::Table),
      tGroup(QStringLiteral("tGroup"), &conQuikData, DataSet::Kind::Table),
      tGroupClients(QStringLiteral("tGroupClients"), &conQuikData, DataSet::Kind::Table),
      tQuik(QStringLiteral("tQuik"), &conQuikData, DataSet::Kind::Table),
      tOrderNumber(QStringLiteral("tOrderNumber"), &conQuikData, DataSet::Kind::Table),
      tClientOpenPositions(QStringLiteral("tClientOpenPositions"), &conQuikData, DataSet::Kind::Table),
      qSecCodeSum(QStringLiteral("qSecCodeSum"), &conQuikData, DataSet::Kind::Query),
      qExitQty(QStringLiteral("qExitQty"), &conQuikData, DataSet::Kind::Query),
      qActiveClients(QStringLiteral("qActiveClients"), &conQuikData, DataSet::Kind::Query),
      qActiveQuik(QStringLiteral("qActiveQuik"), &conQuikData, DataSet::Kind::Query),
      qClientsByGroup(QStringLiteral("qClientsByGroup"), &conQuikData, DataSet::Kind::Query),
      qPortfolioAll(QStringLiteral("qPortfolioAll"), &conQuikData, DataSet::Kind::Query),
      qPortfolioFutAll(QStringLiteral("qPortfolioFutAll"), &conQuikData, DataSet::Kind::Query),
      qQuikOrdersAll(QStringLiteral("qQuikOrdersAll"), &conQuikData, DataSet::Kind::Query),
      qTradesAll(QStringLiteral("qTradesAll"), &conQuikData, DataSet::Kind::Query),
      qLimits(QStringLiteral("qLimits"), &conQuikData, DataSet::Kind::Query),
      qSecCodeList(QStringLiteral("qSecCodeList"), &conQuikData, DataSet::Kind::Query),
      qPortfolioSum(QStringLiteral("qPortfolioSum"), &conQuikData, DataSet::Kind::Query),
      qPortfolioFutSum(QStringLiteral("qPortfolioFutSum"), &conQuikData, DataSet::Kind::Query),
      qSecCode(QStringLiteral("qSecCode"), &conQuikData, DataSet::Kind::Query),
      qGroupClients(QStringLiteral("qGroupClients"), &conQuikData, DataSet::Kind::Query),
      qQuikData(QStringLiteral("qQuikData"), &conQuikData, DataSet::Kind::Query),
      portfolioLookups(conQuikData)
{
    setObjectName(QStringLiteral("DatMod"));
    // The reader's own connection goes with ours: a connection made again
    // may be to a file made again.
    connect(&conQuikData, &Database::aboutToClose, &quikReader, &BackgroundReader::disconnectWorker);
    quikReader.setChangeCounters(&quikChanges);

    tFilledOrders.setTableName(QStringLiteral("FilledOrders"));
    tActiveOrders.setTableName(QStringLiteral("ActiveOrders"));
    tCanceledOrders.setTableName(QStringLiteral("CanceledOrders"));
    tOpenPisitions.setTableName(QStringLiteral("OpenPositions"));

    tParam.setTableName(QStringLiteral("tParam"));
    tSecCode.setTableName(QStringLiteral("tSecCode"));
    tWorkSpaces.setTableName(QStringLiteral("tWorkSpaces"));
    tStrategy.setTableName(QStringLiteral("tStrategy"));
    tClients.setTableName(QStringLiteral("tclients"));
    tGroup.setTableName(QStringLiteral("tGroup"));
    tGroupClients.setTableName(QStringLiteral("tGroupClients"));
    tQuik.setTableName(QStringLiteral("tQuik"));
    tOrderNumber.setTableName(QStringLiteral("tOrderNumber"));
    tClientOpenPositions.setTableName(QStringLiteral("tClientOpenPositions"));

    // The securities directory is edited through its dataset (the options
    // dialog's grid, the loading from the quotes); no row is stored without
    // its code.
    tSecCode.setReadOnly(false);
    tSecCode.beforePost = tSecCodeBeforePost;
    // No group member is stored without its client.
    tGroupClients.beforePost = tGroupClientsBeforePost;

    qSecCodeSum.setSQL(QStringList{
        QStringLiteral("Select Count(Traded) as SumTraded,  Sum(FixVol) as SumFixVol, Sum(Part) as SumPart"),
        QStringLiteral("From tSecCode"), QStringLiteral("Where Traded =  True")});
    qExitQty.setSQL(QStringList{
        QStringLiteral("SELECT Quantity"), QStringLiteral("FROM tClientOpenPositions"),
        QStringLiteral("WHERE code=:code and symbol=:symbol and system=:system and workspace=:workspace and "
                       "[tClientOpenPositions].[interval] = :interval and [tClientOpenPositions].[position] =:position")});
    qActiveClients.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM tClients"),
                                      QStringLiteral("WHERE [tClients].[Active] = True AND [tClients].[id_quik]= :id_quik")});
    qActiveQuik.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM tQuik"),
                                   QStringLiteral("WHERE [tQuik].[Active] = True")});
    qClientsByGroup.setSQL(QStringList{QStringLiteral("SELECT tclients.code, tclients.client, tclients.id FROM tClients")});

    // The positions view's share of the client's assets, filled whenever its
    // rows are read, from the clients' sums read with them.
    qLimits.setCalcField(QStringLiteral("part"), [this] { return BuildLimitPartsSumQuery(qPortfolioAll.SQLText()); }, LimitParts);
}

QVector<DataSet *> TDatMod::alertTables() { return {&tFilledOrders, &tActiveOrders, &tCanceledOrders, &tOpenPisitions}; }

QVector<DataSet *> TDatMod::all()
{
    return {&tFilledOrders, &tActiveOrders, &tCanceledOrders, &tOpenPisitions, &qFilledOrders, &qActiveOrders,
            &qCanceledOrders, &qUpdateOrderNumber, &tParam, &tSecCode, &tWorkSpaces, &tStrategy, &tClients, &tGroup,
            &tGroupClients, &tQuik, &tOrderNumber, &tClientOpenPositions, &qSecCodeSum, &qExitQty, &qActiveClients,
            &qActiveQuik, &qClientsByGroup, &qPortfolioAll, &qPortfolioFutAll, &qQuikOrdersAll, &qTradesAll, &qLimits,
            &qSecCodeList, &qPortfolioSum, &qPortfolioFutSum, &qSecCode, &qGroupClients, &qQuikData};
}

qint64 TDatMod::GetLastId(DataSet &table)
{
    if (!table.Active())
        return -1;
    qint64 result = -1;
    table.DisableControls();
    try {
        const QVariant remembered = table.IsEmpty() ? QVariant() : table.FieldByName(QStringLiteral("id"));
        const int recNo = table.RecNo();
        table.Last();
        result = table.IsEmpty() ? 0 : table.FieldByName(QStringLiteral("id")).toLongLong();
        // Back to the row shown: where it was when it is still there (a
        // search costs a server a count of the rows before it).
        if (remembered.isValid()) {
            if (recNo > 0 && recNo <= table.RecordCount() && table.value(recNo - 1, QStringLiteral("id")) == remembered)
                table.setRecNo(recNo);
            else
                table.Locate(QStringLiteral("id"), remembered);
        }
    } catch (const std::exception &) {
        // The table could not be read to its end: treated as not open.
        result = -1;
    }
    table.EnableControls();
    return result;
}

void TDatMod::ClearOrderNumbers()
{
    quikWrites.removePrefix(QStringLiteral("journal:"));
    quikWrites.removePrefix(QStringLiteral("result:"));
    tOrderNumber.Close();
    qQuikData.Close();
    qQuikData.setSQL(QStringList{QStringLiteral("DELETE"), QStringLiteral("FROM tOrderNumber")});
    qQuikData.ExecSQL();
    tOrderNumber.Open();
}

QVariant TDatMod::SecCodeColumnByTicker(const QString &column, const QString &T)
{
    if (!tSecCode.Active())
        tSecCode.Open();
    qSecCode.Close();
    qSecCode.setSQL(QStringList{QStringLiteral("SELECT ") + column, QStringLiteral("FROM tSecCode"),
                                QStringLiteral("WHERE Ticker= \"") + jetsql::quoted(T) + QStringLiteral("\"")});
    qSecCode.Open();
    if (qSecCode.IsEmpty())
        return QVariant();
    qSecCode.First();
    return qSecCode.FieldByName(column);
}

bool TDatMod::IsTraded(const QString &T)
{
    const QVariant v = SecCodeColumnByTicker(QStringLiteral("Traded"), T);
    return !v.isNull() && v.toBool();
}

QString TDatMod::ClassCodeByTicker(const QString &T)
{
    const QVariant v = SecCodeColumnByTicker(QStringLiteral("Class_Code"), T);
    return v.isNull() ? QString() : v.toString();
}

void TDatMod::setPortfolioTotals(const TPortfolioTotals &totals)
{
    PortfolioTotals = totals;
    emit portfolioTotalsChanged();
}

void TDatMod::setSumList(const TSumList &sums)
{
    SumList = sums;
    emit sumListChanged();
}

void TDatMod::FilterClientsByGroup(std::optional<int> group)
{
    DataSet &q = qClientsByGroup;
    q.Close();
    QStringList sql{QStringLiteral("SELECT DISTINCT tclients.code, tclients.client, tclients.id"),
                    QStringLiteral("FROM tClients INNER JOIN tGroupClients ON tClients.id=tGroupClients.id_client")};
    if (group)
        sql << QStringLiteral("WHERE id_group = ") + QString::number(*group);
    q.setSQL(sql);
    q.Open();
}

void TDatMod::SelectLimits(AccountMode mode, const QString &group, const QString &client, const QString &security, bool allLimits)
{
    DataSet &q = qLimits;
    q.Close();
    std::optional<int> groupKey;
    bool isNumber = false;
    const int key = group.trimmed().toInt(&isNumber);
    if (isNumber)
        groupKey = key;
    const QVector<TQuikTerminal> terminals = mode == AccountMode::Multi ? ReadTerminals(tQuik) : QVector<TQuikTerminal>();
    q.setSQL(BuildLimitsQuery(allLimits, groupKey, client.trimmed(), security.trimmed(), mode, terminals));
    q.Open();
}

void TDatMod::ReopenSecCodeList()
{
    qSecCodeList.Close();
    qSecCodeList.Open();
}

void TDatMod::RefreshPortfolios()
{
    RefreshQuery(qPortfolioAll);
    RefreshQuery(qPortfolioFutAll);
    UpdatePortfolioTotals();
}

void TDatMod::UpdatePortfolioTotals()
{
    if (const std::optional<TPortfolioTotals> totals = ReadPortfolioTotals(*this))
        setPortfolioTotals(*totals);
}
