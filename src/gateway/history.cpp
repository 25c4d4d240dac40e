// The history of every transaction the robot sent, across connections and
// restarts: its rows, and what the files of a series tell of the series'
// transactions when the next one begins.

#include "history.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/textcodec.h"
#include "data/datmod.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

// The complete lines of a file (ended by CR LF, LF or CR); a last line
// without its end is not one.
QList<QByteArray> completeLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines << bytes.mid(start, i - start);
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    return lines;
}

} // namespace

QString HistoryTag(qint64 session, qint32 transId)
{
    return QStringLiteral("history:") + QString::number(session) + QLatin1Char(':') + QString::number(transId);
}

WriteQueue::Item HistoryRow(qint64 session, const TPendingTransaction &t)
{
    WriteQueue::Item row;
    row.jet = QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, filled, code, terminal_file)\r\n"
                             "VALUES (:session, :sent_at, :trans_id, :trans_text, :id_order, :filled, :code, :terminal_file)");
    row.params = {{QStringLiteral("session"), session},
                  {QStringLiteral("sent_at"), t.Queued},
                  {QStringLiteral("trans_id"), t.TransId},
                  {QStringLiteral("trans_text"), t.Text},
                  {QStringLiteral("id_order"), t.OrderId},
                  {QStringLiteral("filled"), t.Filled ? 1 : 0},
                  {QStringLiteral("code"), t.Code},
                  {QStringLiteral("terminal_file"), QDir::toNativeSeparators(t.Destination)}};
    row.tag = HistoryTag(session, t.TransId);
    const qint32 number = t.TransId;
    row.lost = [number](const QString &error) {
        AddLog(QStringLiteral("Транзакция # ") + QString::number(number) + QStringLiteral(" не записана в историю tOrderHistory: ") + error);
    };
    return row;
}

WriteQueue::Item HistoryResultRow(qint64 session, qint32 transId, const TResultValues &v, const QDateTime &at)
{
    WriteQueue::Item u;
    u.jet = QStringLiteral("UPDATE tOrderHistory\r\n"
                           "SET status = :status, trans_name = :trans_name, description = :description, order_number = :order_number, "
                           "result_at = :result_at\r\n"
                           "WHERE session = :session AND trans_id = :trans_id");
    u.params = {{QStringLiteral("status"), v.Status.toInt()},
                {QStringLiteral("trans_name"), Unquoted(v.TransName)},
                {QStringLiteral("description"), Unquoted(v.Description)},
                {QStringLiteral("order_number"), v.OrderNumber.toLongLong()},
                {QStringLiteral("result_at"), at},
                {QStringLiteral("session"), session},
                {QStringLiteral("trans_id"), transId}};
    u.tag = QStringLiteral("historyresult:") + QString::number(session) + QLatin1Char(':') + QString::number(transId);
    u.supersede = true;
    u.retry = true;
    return u;
}

WriteQueue::Item HistoryCarryRow(qint64 session, const TPendingTransaction &t, qint64 fromSession, qint32 fromTransId)
{
    // It keeps the time it was first queued: its age decides whether it is
    // carried again.
    WriteQueue::Item u;
    u.jet = QStringLiteral("UPDATE tOrderHistory\r\nSET session = :session, trans_id = :trans_id, trans_text = :trans_text, "
                           "terminal_file = :terminal_file, carried_from = :carried_from\r\n"
                           "WHERE session = :old_session AND trans_id = :old_trans_id");
    u.params = {{QStringLiteral("session"), session},
                {QStringLiteral("trans_id"), t.TransId},
                {QStringLiteral("trans_text"), t.Text},
                {QStringLiteral("terminal_file"), QDir::toNativeSeparators(t.Destination)},
                {QStringLiteral("carried_from"), QString::number(fromSession) + QLatin1Char(':') + QString::number(fromTransId)},
                {QStringLiteral("old_session"), fromSession},
                {QStringLiteral("old_trans_id"), fromTransId}};
    u.tag = HistoryTag(session, t.TransId);
    return u;
}

void ArchiveJournalRows(TDatMod &data, qint64 session)
{
    try {
        data.quikWrites.flush(true);
        const Database::Rows journal = data.conQuikData.fetch(
            QStringLiteral("SELECT trans_id, id_order, filled, code, status, trans_name, description, order_number\r\nFROM tOrderNumber"));
        const Database::Rows kept = data.conQuikData.fetch(
            QStringLiteral("SELECT trans_id, status\r\nFROM tOrderHistory\r\nWHERE session = :session"), {{QStringLiteral("session"), session}});
        QHash<qint32, bool> answered; // trans_id -> the history has its result
        for (const auto &r : kept.rows)
            answered.insert(r.value(0).toInt(), !r.value(1).isNull());
        WriteQueue::Batch batch(data.quikWrites);
        for (const auto &r : journal.rows) {
            const qint32 transId = r.value(0).toInt();
            const bool inHistory = answered.contains(transId);
            if (!inHistory) {
                WriteQueue::Item row;
                row.jet = QStringLiteral("INSERT INTO tOrderHistory (session, trans_id, id_order, filled, code, status, trans_name, "
                                         "description, order_number)\r\nVALUES (:session, :trans_id, :id_order, :filled, :code, :status, "
                                         ":trans_name, :description, :order_number)");
                row.params = {{QStringLiteral("session"), session},   {QStringLiteral("trans_id"), transId},
                              {QStringLiteral("id_order"), r.value(1)}, {QStringLiteral("filled"), r.value(2)},
                              {QStringLiteral("code"), r.value(3)},     {QStringLiteral("status"), r.value(4)},
                              {QStringLiteral("trans_name"), r.value(5)}, {QStringLiteral("description"), r.value(6)},
                              {QStringLiteral("order_number"), r.value(7)}};
                data.quikWrites.add(std::move(row));
            } else if (!answered.value(transId) && !r.value(4).isNull()) {
                WriteQueue::Item u;
                u.jet = QStringLiteral("UPDATE tOrderHistory\r\nSET status = :status, trans_name = :trans_name, description = "
                                       ":description, order_number = :order_number\r\nWHERE session = :session AND trans_id = :trans_id "
                                       "AND status IS NULL");
                u.params = {{QStringLiteral("status"), r.value(4)},       {QStringLiteral("trans_name"), r.value(5)},
                            {QStringLiteral("description"), r.value(6)}, {QStringLiteral("order_number"), r.value(7)},
                            {QStringLiteral("session"), session},        {QStringLiteral("trans_id"), transId}};
                data.quikWrites.add(std::move(u));
            }
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Журнал транзакций не перенесен в историю tOrderHistory: ") + failureText(e));
    }
}

std::vector<TOpenTransaction> ReadOpenTransactions(Database &db, qint64 previous, qint64 onDisk, const QSet<qint32> &stillQueued)
{
    std::vector<TOpenTransaction> open;
    const Database::Rows rows = db.fetch(
        QStringLiteral("SELECT trans_id, trans_text, id_order, filled, code, terminal_file, session, sent_at\r\nFROM tOrderHistory\r\n"
                       "WHERE (session = :previous OR session = :on_disk) AND status IS NULL\r\nORDER BY session, trans_id"),
        {{QStringLiteral("previous"), previous}, {QStringLiteral("on_disk"), onDisk}});
    for (const auto &r : rows.rows) {
        const qint32 transId = r.value(0).toInt();
        const qint64 series = r.value(6).toLongLong();
        const QString file = QDir::fromNativeSeparators(r.value(5).toString());
        // SmartTrade answers nothing, and its order files are kept (see the
        // preparation): only QUIK's import files are settled.
        if ((series == previous && stillQueued.contains(transId)) || !file.endsWith(QLatin1String(".tri"), Qt::CaseInsensitive))
            continue;
        open.push_back({transId, series, r.value(1).toString(), r.value(2).toLongLong(), r.value(3).toBool(), r.value(4).toString(), file,
                        dateTimeValue(r.value(7))});
    }
    return open;
}

QSet<qint32> LinesWritten(const QString &tri)
{
    static const QRegularExpression number(QStringLiteral("^TRANS_ID =(\\d+);"));
    QSet<qint32> out;
    for (const QByteArray &line : completeLines(tri)) {
        const auto m = number.match(QString::fromLatin1(line));
        if (m.hasMatch())
            out.insert(m.captured(1).toInt());
    }
    return out;
}

QHash<qint32, TResultValues> ResultsIn(const QString &tro)
{
    QHash<qint32, TResultValues> out;
    for (const QByteArray &line : completeLines(tro)) {
        const TResultValues v = ReadResultValues(cp1251::decode(line));
        bool ok = false;
        const qint32 id = v.TransId.toInt(&ok);
        if (ok)
            out.insert(id, v);
    }
    return out;
}

QString ResultFileOf(const QString &tri) { return tri.left(tri.size() - 4) + QStringLiteral(".tro"); }
