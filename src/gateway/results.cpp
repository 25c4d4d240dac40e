// Reading the terminals' result files back, and the rows their lines leave.

#include "results.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/textcodec.h"
#include "data/datmod.h"

#include <QFile>
#include <QRegularExpression>

namespace {
// How many bytes of a result file are kept to recognise it at the next read.
constexpr qsizetype HeadSize = 64;
} // namespace

bool IsIntegerText(const QString &v)
{
    static const QRegularExpression re(QStringLiteral("^-?\\d+$"));
    return re.match(v).hasMatch();
}

bool IsRefusal(const QString &status)
{
    return status != QLatin1String("0") && status != QLatin1String("1") && status != QLatin1String("3") && status != QLatin1String("-1");
}

std::optional<TResultRead> ReadResultFile(const TTROData &tro, const QString &path)
{
    if (!QFile::exists(path))
        return std::nullopt;
    const qint64 size = FileSizeByName(path);
    const quint64 id = FileIdByName(path);
    if (size == static_cast<qint64>(tro.FileSize) && id == tro.FileId)
        return std::nullopt;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw KorvinaError(QStringLiteral("Невозможно открыть файл: ") + path + QStringLiteral(" (") + file.errorString() + QStringLiteral(")"));

    TResultRead read;
    read.fileId = id;
    // The terminal began the file anew (its import restarted): a new file in
    // the old one's place, or one shorter than what was read, or one that no
    // longer begins as it did. It is read from its first line; otherwise
    // only what was appended after the last complete line read.
    const qint64 known = static_cast<qint64>(tro.FileSize);
    bool anew = false;
    if (known > 0) {
        anew = (tro.FileId != 0 && id != tro.FileId) || size < known || file.read(tro.Head.size()) != tro.Head;
    }
    read.anew = anew;
    const qint64 from = anew ? 0 : known;
    // From the byte before: an LF that completes the CR the last read ended
    // with belongs to that line.
    if (!file.seek(from > 0 ? from - 1 : 0))
        throw KorvinaError(QStringLiteral("Невозможно прочитать файл: ") + path + QStringLiteral(" (") + file.errorString() + QStringLiteral(")"));
    const QByteArray bytes = file.readAll();
    qsizetype start = 0;
    if (from > 0)
        start = bytes.startsWith("\r\n") ? 2 : 1;
    const qint64 base = from > 0 ? from - 1 : 0; // where bytes[0] is in the file
    read.first = anew ? 0 : tro.LinesInSize;

    // Lines end with CR LF, LF or CR; a last line without its end is still
    // being written by the terminal and waits for the next read.
    for (qsizetype i = start; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            read.lines << cp1251::decode(bytes.mid(start, i - start));
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    read.complete = base + start;
    // Its first bytes, to know it again.
    if (from == 0) {
        read.head = bytes.left(std::min<qint64>(start, HeadSize));
    } else if (tro.Head.size() >= HeadSize) {
        read.head = tro.Head;
    } else if (file.seek(0)) {
        read.head = file.read(std::min<qint64>(read.complete, HeadSize));
    }
    file.close();
    return read;
}

WriteQueue::Item JournalResultRow(const TResultValues &v, qint32 transId)
{
    WriteQueue::Item u;
    u.jet = QStringList{QStringLiteral("UPDATE tOrderNumber"),
                        QStringLiteral("SET status =:status,trans_name= :trans_name ,description= :description, order_number=:order_number"),
                        QStringLiteral("WHERE trans_id = :trans_id")}
                .join(QStringLiteral("\r\n"));
    // The number is bound, not written into the text: one statement serves
    // every line.
    u.params = {{QStringLiteral("trans_id"), transId},
                {QStringLiteral("status"), v.Status.toInt()},
                {QStringLiteral("trans_name"), Unquoted(v.TransName)},
                {QStringLiteral("description"), Unquoted(v.Description)},
                {QStringLiteral("order_number"), v.OrderNumber.toLongLong()}};
    // The last result of a transaction is what its row ends with.
    u.tag = QStringLiteral("result:") + v.TransId;
    u.supersede = true;
    u.retry = true;
    u.failed = [transId](const QString &error) {
        AddLog(QStringLiteral("Результат транзакции # ") + QString::number(transId) + QStringLiteral(" не записан в журнал tOrderNumber: ")
               + error + QStringLiteral(". Запись будет повторена."));
    };
    return u;
}

std::optional<TSentTransaction> JournalOrigin(TDatMod &data, const QString &transId)
{
    std::optional<TSentTransaction> origin;
    try {
        DataSet &q = data.qQuikData;
        q.Close();
        q.setSQL(QStringList{QStringLiteral("SELECT trans_id, id_order, filled"), QStringLiteral("FROM tOrderNumber"),
                             QStringLiteral("WHERE trans_id = ") + transId});
        q.Open();
        if (!q.IsEmpty()) {
            q.First();
            origin = TSentTransaction{q.FieldByName(QStringLiteral("id_order")).toLongLong(), q.FieldByName(QStringLiteral("filled")).toBool(),
                                      QString()};
        }
        q.Close();
    } catch (const std::exception &) {
    }
    return origin;
}

WriteQueue::Item OrderNumberRow(const TSentTransaction &origin, const QString &orderNumber, qint32 transId)
{
    WriteQueue::Item u;
    u.jet = QStringList{origin.Filled ? QStringLiteral("UPDATE FilledOrders") : QStringLiteral("UPDATE ActiveOrders"),
                        QStringLiteral("SET [order number] = :order_number"), QStringLiteral("WHERE id = ") + QString::number(origin.OrderId)}
                .join(QStringLiteral("\r\n"));
    u.params = {{QStringLiteral("order_number"), orderNumber}};
    u.tag = QStringLiteral("orderNumber:") + QString::number(transId);
    u.retry = true;
    u.failed = [transId](const QString &error) {
        AddLog(QStringLiteral("Номер заявки транзакции # ") + QString::number(transId) + QStringLiteral(" не записан в базу стратегий: ")
               + error + QStringLiteral(". Запись будет повторена."));
    };
    return u;
}
