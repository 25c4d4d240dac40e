// The result check: the terminals' result files read back into the journal,
// the log and the counters.

#include "transactionfiles.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"
#include "engine/robot.h"

#include <QFile>
#include <QRegularExpression>

namespace {

// One pair of double quotes around a text is the file's quoting, not part of it.
QString unquoted(const QString &v)
{
    const QString t = v.trimmed();
    if (t.size() >= 2 && t.startsWith(QLatin1Char('"')) && t.endsWith(QLatin1Char('"')))
        return t.mid(1, t.size() - 2);
    return t;
}

bool isInteger(const QString &v)
{
    static const QRegularExpression re(QStringLiteral("^-?\\d+$"));
    return re.match(v).hasMatch();
}

} // namespace

void Robot::actCheckTROExecute()
{
    for (TTROData &tro : TROFiles) {
        const QString path = PathInFolder(m_settings.edtdirTT, tro.FileName + QStringLiteral(".tro"));
        if (!QFile::exists(path))
            continue;
        const qint64 size = FileSizeByName(path);
        if (size == static_cast<qint64>(tro.FileSize))
            continue;

        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw KorvinaError(QStringLiteral("Невозможно открыть файл: ") + path);
        const QByteArray bytes = file.readAll();
        file.close();

        // Lines end with CR LF, LF or CR; a last line without its end is
        // still being written by the terminal and waits for the next read.
        QStringList lines;
        int start = 0;
        for (int i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\r' || c == '\n') {
                lines << cp1251::decode(bytes.mid(start, i - start));
                if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                    ++i;
                start = i + 1;
            }
        }
        const qint64 complete = start;

        {
            // The journal updates of one read are committed together.
            Database::WriteBatch batch(m_data.conQuikData);
            for (int i = tro.LinesRead; i < lines.size(); ++i) {
                handleResultLine(path, i, lines[i]);
                tro.LinesRead = i + 1;
            }
        }
        // Only now is the file taken as read: a failure above leaves the
        // size as it was, so the next tick reads the lines again from
        // where handling stopped.
        tro.LinesRead = lines.size();
        tro.FileSize = static_cast<quint32>(complete);
        FlushLog();
    }
}

void Robot::handleResultLine(const QString &path, int index, const QString &line)
{
    const TResultValues v = ReadResultValues(line);
    if (v.TransId.isEmpty()) {
        if (!line.trimmed().isEmpty())
            AddLog(QStringLiteral("Строка ") + QString::number(index + 1) + QStringLiteral(" файла ") + path
                   + QStringLiteral(" пропущена: нет TRANS_ID: ") + line);
        return;
    }
    if (!isInteger(v.TransId) || !isInteger(v.Status) || !isInteger(v.OrderNumber)) {
        AddLog(QStringLiteral("Строка ") + QString::number(index + 1) + QStringLiteral(" файла ") + path
               + QStringLiteral(" пропущена: TRANS_ID, STATUS и ORDER_NUMBER должны быть числами: ") + line);
        return;
    }

    if (v.Status == QLatin1String("3")) {
        const QString text = QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" успешно выполнена.");
        AddLog(text);
        if (m_settings.chSendTrans_done)
            Notify(text);
        DoneCount = DoneCount + 1;
        if (m_settings.chKillOrder) {
            DataSet &q = m_data.qQuikData;
            q.Close();
            q.setSQL(QStringList{QStringLiteral("SELECT trans_id, id_order, filled"), QStringLiteral("FROM tOrderNumber"),
                                 QStringLiteral("WHERE trans_id = ") + v.TransId});
            q.Open();
            if (!q.IsEmpty()) {
                q.First();
                const int idOrder = q.FieldByName(QStringLiteral("id_order")).toInt();
                const bool filled = q.FieldByName(QStringLiteral("filled")).toBool();
                q.Close();
                DataSet &u = m_data.qUpdateOrderNumber;
                u.Close();
                u.setSQL(QStringList{filled ? QStringLiteral("UPDATE FilledOrders") : QStringLiteral("UPDATE ActiveOrders"),
                                     QStringLiteral("SET [order number] = :order_number"),
                                     QStringLiteral("WHERE id = ") + QString::number(idOrder)});
                u.clearParams();
                u.setParam(QStringLiteral("order_number"), v.OrderNumber);
                u.ExecSQL();
            }
        }
    }
    if (v.Status == QLatin1String("0")) {
        AddLog(QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" отправлена на сервер Quik."));
        SentCount = SentCount + 1;
    }
    UpdateStatusBar();

    DataSet &q = m_data.qQuikData;
    q.Close();
    q.setSQL(QStringList{QStringLiteral("UPDATE tOrderNumber"),
                         QStringLiteral("SET status =:status,trans_name= :trans_name ,description= :description, order_number=:order_number"),
                         QStringLiteral("WHERE trans_id = ") + v.TransId});
    q.clearParams();
    q.setParam(QStringLiteral("status"), v.Status.toInt());
    q.setParam(QStringLiteral("trans_name"), unquoted(v.TransName));
    q.setParam(QStringLiteral("description"), unquoted(v.Description));
    q.setParam(QStringLiteral("order_number"), v.OrderNumber.toLongLong());
    q.ExecSQL();
    q.clearParams();
}
