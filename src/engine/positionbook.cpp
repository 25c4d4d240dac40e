#include "positionbook.h"

#include "config/operationlog.h"
#include "data/datmod.h"

namespace {

// A text parameter: an empty text is bound as "" (never as NULL, which no
// row would equal).
QVariant textParam(const QString &text) { return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text); }

QVariantMap exitKey(const TOrder &O, const TPreOrder &P)
{
    return {{QStringLiteral("code"), textParam(O.ClientCode)},
            {QStringLiteral("symbol"), textParam(O.SecData.Ticker)},
            {QStringLiteral("system"), textParam(P.System)},
            {QStringLiteral("workspace"), textParam(WorkspaceFileName(P.Workspace))},
            {QStringLiteral("interval"), textParam(P.Interval)},
            {QStringLiteral("position"), textParam(PositionSide(O.OrderType))}};
}

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
    const QVariantMap key = exitKey(O, P);
    for (auto it = key.cbegin(); it != key.cend(); ++it)
        q.setParam(it.key(), it.value());
    return q;
}

bool IsExit(const QString &orderType) { return orderType == QLatin1String("LX") || orderType == QLatin1String("SX"); }

const QString EntryTag = QStringLiteral("book:");
const QString ExitTag = QStringLiteral("bookexit:");
const QStringList KeyFields{QStringLiteral("code"), QStringLiteral("symbol"), QStringLiteral("system"),
                            QStringLiteral("workspace"), QStringLiteral("interval"), QStringLiteral("position")};

// Whether a queued row's key is the exit's (text compared as the database
// compares it, without regard to letter case).
bool sameKey(const QVariantMap &row, const QVariantMap &key)
{
    for (const QString &f : KeyFields)
        if (row.value(f).toString().compare(key.value(f).toString(), Qt::CaseInsensitive) != 0)
            return false;
    return true;
}

} // namespace

QString PositionSide(const QString &orderType)
{
    if (orderType == QLatin1String("LE") || orderType == QLatin1String("LX"))
        return QStringLiteral("Long");
    if (orderType == QLatin1String("SE") || orderType == QLatin1String("SX"))
        return QStringLiteral("Short");
    return QString();
}

bool AddOpenPosition(TDatMod &dm, const TOrder &O, const TPreOrder &P, const QString &tag, qint32 transId,
                     std::function<void(qint64)> written)
{
    if (O.Action != QLatin1String("NEW_ORDER") || (O.OrderType != QLatin1String("LE") && O.OrderType != QLatin1String("SE")))
        return false;
    try {
        if (!dm.tClientOpenPositions.Active())
            dm.tClientOpenPositions.Open();
    } catch (const std::exception &) {
        // Read for the grid only; the row is written all the same.
    }
    WriteQueue::Item row;
    row.jet = QStringLiteral("INSERT INTO tClientOpenPositions (quantity, symbol, code, [System], [Signal], [Workspace], [Interval], [Position]) "
                             "VALUES (:quantity, :symbol, :code, :system, :signal, :workspace, :interval, :position)");
    row.params = {{QStringLiteral("quantity"), O.Quantity},
                  {QStringLiteral("symbol"), textParam(P.Symbol)},
                  {QStringLiteral("code"), textParam(O.ClientCode)},
                  {QStringLiteral("system"), textParam(P.System)},
                  {QStringLiteral("signal"), textParam(P.Signal)},
                  {QStringLiteral("workspace"), textParam(WorkspaceFileName(P.Workspace))},
                  {QStringLiteral("interval"), textParam(P.Interval)},
                  {QStringLiteral("position"), textParam(PositionSide(O.OrderType))}};
    row.tag = tag.isEmpty() ? EntryTag : tag;
    row.written = std::move(written);
    row.lost = [transId](const QString &error) {
        AddLog(QStringLiteral("Произошла ошибка при добавлении записи в таблицу tClientOpenPositions")
               + (transId >= 0 ? QStringLiteral("\r\nТранзакция # ") + QString::number(transId) + QStringLiteral(": ") + error
                               : QStringLiteral("\r\n") + error));
    };
    dm.quikWrites.add(std::move(row));
    return true;
}

void DeleteOpenPositions(TDatMod &dm, const TOrder &O, const TPreOrder &P, qint32 transId)
{
    if (!IsExit(O.OrderType))
        return;
    // The statement of qExitQty with "DELETE" for its first line.
    DataSet &q = PrepareExitQty(dm, QStringLiteral("DELETE"), O, P);
    WriteQueue::Item row;
    row.jet = q.statement();
    row.params = q.params();
    row.tag = ExitTag + QString::number(transId);
    row.lost = [transId](const QString &error) {
        AddLog(QStringLiteral("Произошла ошибка во время отправки тразакции номер  ") + QString::number(std::max(transId, 0))
               + QStringLiteral(" в терминал.\r\nЗаписи книги позиций не удалены: ") + error);
    };
    dm.quikWrites.add(std::move(row));
}

void MarkEntryRefused(TDatMod &dm, qint64 rowId, qint32 transId)
{
    WriteQueue::Item row;
    row.jet = QStringLiteral("UPDATE tClientOpenPositions\r\nSET quantity = 0\r\nWHERE id = :id");
    row.params = {{QStringLiteral("id"), rowId}};
    row.tag = QStringLiteral("bookrefused:") + QString::number(transId);
    row.lost = [transId](const QString &error) {
        AddLog(QStringLiteral("Запись книги позиций транзакции # ") + QString::number(transId) + QStringLiteral(" не обнулена: ") + error);
    };
    dm.quikWrites.add(std::move(row));
}

std::optional<qint32> ReadExitQty(TDatMod &dm, const TOrder &O, const TPreOrder &P)
{
    if (!dm.tClientOpenPositions.Active())
        dm.tClientOpenPositions.Open();
    DataSet &q = PrepareExitQty(dm, QStringLiteral("SELECT Quantity"), O, P);
    q.Open();
    // The rows in the order the database returns them, then the rows of
    // this key still waiting to be written: an exit waiting deletes what
    // comes before it, entries waiting come after what the database holds.
    QList<qint32> rows;
    for (q.First(); !q.Eof(); q.Next())
        rows << q.FieldByName(QStringLiteral("Quantity")).toInt();
    const QVariantMap key = exitKey(O, P);
    for (const WriteQueue::Item &item : dm.quikWrites.items()) {
        if (!sameKey(item.params, key))
            continue;
        if (item.tag.startsWith(ExitTag))
            rows.clear();
        else if (item.tag.startsWith(EntryTag))
            rows << item.params.value(QStringLiteral("quantity")).toInt();
    }
    if (rows.isEmpty())
        return std::nullopt;
    // An entry the terminal refused is kept with 0: it holds nothing, and a
    // row that holds something comes first.
    for (qint32 quantity : std::as_const(rows))
        if (quantity != 0)
            return quantity;
    return 0;
}
