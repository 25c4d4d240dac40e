#include "positionbook.h"

#include "config/operationlog.h"
#include "data/datmod.h"

namespace {

// A text parameter: an empty text is bound as "" (never as NULL, which no
// row would equal).
QVariant textParam(const QString &text) { return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text); }

// qExitQty with its first line set to `firstLine` and the exit's key bound.
DataSet &PrepareExitQty(TDatMod &dm, const QString &firstLine, const TOrder &O, const TPreOrder &P)
{
    DataSet &q = dm.qExitQty;
    q.Close();
    QStringList lines = q.SQL();
    if (lines.isEmpty())
        lines << QString();
    lines[0] = firstLine;
    q.setSQL(lines);
    q.setParam(QStringLiteral("code"), textParam(O.ClientCode));
    q.setParam(QStringLiteral("symbol"), textParam(O.SecData.Ticker));
    q.setParam(QStringLiteral("system"), textParam(P.System));
    q.setParam(QStringLiteral("workspace"), textParam(WorkspaceFileName(P.Workspace)));
    q.setParam(QStringLiteral("interval"), textParam(P.Interval));
    q.setParam(QStringLiteral("position"), textParam(PositionSide(O.OrderType)));
    return q;
}

bool IsExit(const QString &orderType) { return orderType == QLatin1String("LX") || orderType == QLatin1String("SX"); }

} // namespace

QString PositionSide(const QString &orderType)
{
    if (orderType == QLatin1String("LE") || orderType == QLatin1String("LX"))
        return QStringLiteral("Long");
    if (orderType == QLatin1String("SE") || orderType == QLatin1String("SX"))
        return QStringLiteral("Short");
    return QString();
}

void AddOpenPosition(TDatMod &dm, const TOrder &O, const TPreOrder &P)
{
    if (O.Action != QLatin1String("NEW_ORDER") || (O.OrderType != QLatin1String("LE") && O.OrderType != QLatin1String("SE")))
        return;
    try {
        if (!dm.tClientOpenPositions.Active())
            dm.tClientOpenPositions.Open();
        dm.conQuikData.execute(
            QStringLiteral("INSERT INTO tClientOpenPositions (quantity, symbol, code, [System], [Signal], [Workspace], [Interval], [Position]) "
                           "VALUES (:quantity, :symbol, :code, :system, :signal, :workspace, :interval, :position)"),
            {{QStringLiteral("quantity"), O.Quantity},
             {QStringLiteral("symbol"), textParam(P.Symbol)},
             {QStringLiteral("code"), textParam(O.ClientCode)},
             {QStringLiteral("system"), textParam(P.System)},
             {QStringLiteral("signal"), textParam(P.Signal)},
             {QStringLiteral("workspace"), textParam(WorkspaceFileName(P.Workspace))},
             {QStringLiteral("interval"), textParam(P.Interval)},
             {QStringLiteral("position"), textParam(PositionSide(O.OrderType))}});
    } catch (const std::exception &) {
        AddLog(QStringLiteral("Произошла ошибка при добавлении записи в таблицу tClientOpenPositions"));
    }
}

void DeleteOpenPositions(TDatMod &dm, const TOrder &O, const TPreOrder &P)
{
    if (!IsExit(O.OrderType))
        return;
    PrepareExitQty(dm, QStringLiteral("DELETE"), O, P).ExecSQL();
}

std::optional<qint32> ReadExitQty(TDatMod &dm, const TOrder &O, const TPreOrder &P)
{
    if (!dm.tClientOpenPositions.Active())
        dm.tClientOpenPositions.Open();
    DataSet &q = PrepareExitQty(dm, QStringLiteral("SELECT Quantity"), O, P);
    q.Open();
    if (q.IsEmpty())
        return std::nullopt;
    q.First();
    return q.FieldByName(QStringLiteral("Quantity")).toInt();
}
