// The result check: the terminals' result files read back into the journal,
// the log and the counters.

#include "gateway.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"

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

// A status by which the terminal reports that it, the server or the exchange
// refused the transaction: every status but "passed to the server" (0),
// "received by the server" (1) and "executed" (3). "-1" stands for a line
// without a status, which reports nothing.
bool isRefusal(const QString &status) { return status != QLatin1String("0") && status != QLatin1String("1") && status != QLatin1String("3") && status != QLatin1String("-1"); }

// How many bytes of a result file are kept to recognise it at the next read.
constexpr qsizetype HeadSize = 64;

} // namespace

void Gateway::actCheckTROExecute()
{
    // The rows of the journal wait no longer than one check.
    m_data.quikWrites.flush();
    m_data.alertWrites.flush();
    const bool folderUsable = FolderSettingProblem(m_settings.edtdirTT, QStringLiteral("[Quik] dirTT")).isEmpty();
    for (TTROData &tro : TROFiles) {
        if (!folderUsable)
            break;
        const QString path = PathInFolder(m_settings.edtdirTT, tro.FileName + QStringLiteral(".tro"));
        // One file that cannot be read holds up no other file.
        try {
            if (!QFile::exists(path))
                continue;
            const qint64 size = FileSizeByName(path);
            const quint64 id = FileIdByName(path);
            if (size == static_cast<qint64>(tro.FileSize) && id == tro.FileId)
                continue;

            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                throw KorvinaError(QStringLiteral("Невозможно открыть файл: ") + path + QStringLiteral(" (") + file.errorString()
                                   + QStringLiteral(")"));
            const QByteArray bytes = file.readAll();
            file.close();

            // The terminal began the file anew (its import restarted): a
            // new file in the old one's place, or one shorter than what was
            // read, or one that no longer begins as it did. It is read from
            // its first line.
            const bool anew = tro.FileSize > 0
                && ((tro.FileId != 0 && id != tro.FileId) || bytes.size() < static_cast<qint64>(tro.FileSize) || !bytes.startsWith(tro.Head));
            if (anew) {
                AddLog(QStringLiteral("Файл результатов ") + path + QStringLiteral(" начат терминалом заново и читается с первой строки."));
                tro.LinesRead = 0;
            }

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
                // The journal updates of one read are written together.
                WriteQueue::Batch batch(m_data.quikWrites);
                // Each line is handled once: its log line, its counter and
                // its mail happen here and never again; a journal update
                // that cannot be written waits in the queue on its own.
                for (int i = tro.LinesRead; i < lines.size(); ++i) {
                    tro.LinesRead = i + 1;
                    handleResultLine(path, i, lines[i]);
                }
            }
            tro.LinesRead = lines.size();
            tro.FileSize = static_cast<quint32>(complete);
            tro.FileId = id;
            tro.Head = bytes.left(std::min<qint64>(complete, HeadSize));
            if (!tro.ReadFailure.isEmpty()) {
                tro.ReadFailure.clear();
                AddLog(QStringLiteral("Файл результатов ") + path + QStringLiteral(" снова читается."));
            }
        } catch (const std::exception &e) {
            const QString error = failureText(e);
            if (error != tro.ReadFailure) {
                tro.ReadFailure = error;
                AddLog(QStringLiteral("Ошибка при чтении файла результатов ") + path + QStringLiteral(": ") + error);
            }
        }
        FlushLog();
    }
}

void Gateway::handleResultLine(const QString &path, int index, const QString &line)
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
    // Only a number this series sent: a number beyond 32 bits, or one no
    // line of these files carries, would be applied to another transaction.
    bool ok = false;
    const qint64 number = v.TransId.toLongLong(&ok);
    if (!ok || !inSeries(number)) {
        AddLog(QStringLiteral("Строка ") + QString::number(index + 1) + QStringLiteral(" файла ") + path + QStringLiteral(" пропущена: TRANS_ID ")
               + v.TransId + QStringLiteral(" не является номером транзакции текущих файлов: ") + line);
        return;
    }
    const qint32 transId = static_cast<qint32>(number);

    if (v.Status == QLatin1String("3")) {
        const QString text = QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" успешно выполнена.");
        AddLog(text);
        if (m_settings.chSendTrans_done)
            emit notify(text);
        DoneCount = DoneCount + 1;
        if (m_settings.chKillOrder) {
            // The alert row the transaction came from, by the journal row;
            // a row still waiting in the queue is known from memory.
            std::optional<TSentTransaction> origin;
            try {
                DataSet &q = m_data.qQuikData;
                q.Close();
                q.setSQL(QStringList{QStringLiteral("SELECT trans_id, id_order, filled"), QStringLiteral("FROM tOrderNumber"),
                                     QStringLiteral("WHERE trans_id = ") + v.TransId});
                q.Open();
                if (!q.IsEmpty()) {
                    q.First();
                    origin = TSentTransaction{q.FieldByName(QStringLiteral("id_order")).toLongLong(),
                                              q.FieldByName(QStringLiteral("filled")).toBool(), QString()};
                }
                q.Close();
            } catch (const std::exception &) {
            }
            if (!origin && m_sent.contains(transId))
                origin = m_sent.value(transId);
            if (origin) {
                WriteQueue::Item u;
                u.jet = QStringList{origin->Filled ? QStringLiteral("UPDATE FilledOrders") : QStringLiteral("UPDATE ActiveOrders"),
                                    QStringLiteral("SET [order number] = :order_number"),
                                    QStringLiteral("WHERE id = ") + QString::number(origin->OrderId)}
                            .join(QStringLiteral("\r\n"));
                u.params = {{QStringLiteral("order_number"), v.OrderNumber}};
                u.tag = QStringLiteral("orderNumber:") + v.TransId;
                u.retry = true;
                u.failed = [transId](const QString &error) {
                    AddLog(QStringLiteral("Номер заявки транзакции # ") + QString::number(transId)
                           + QStringLiteral(" не записан в базу стратегий: ") + error + QStringLiteral(". Запись будет повторена."));
                };
                m_data.alertWrites.add(std::move(u));
            }
        }
    }
    if (v.Status == QLatin1String("0")) {
        AddLog(QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" отправлена на сервер Quik."));
        SentCount = SentCount + 1;
    }
    if (isRefusal(v.Status)) {
        const QString text = QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" отвергнута, статус ") + v.Status
            + QStringLiteral(": ") + unquoted(v.Description);
        AddLog(text);
        if (m_settings.chSendTrans_done)
            emit notify(text);
        emit refused(transId);
    }
    emit countersChanged();

    WriteQueue::Item u;
    u.jet = QStringList{QStringLiteral("UPDATE tOrderNumber"),
                        QStringLiteral("SET status =:status,trans_name= :trans_name ,description= :description, order_number=:order_number"),
                        QStringLiteral("WHERE trans_id = ") + v.TransId}
                .join(QStringLiteral("\r\n"));
    u.params = {{QStringLiteral("status"), v.Status.toInt()},
                {QStringLiteral("trans_name"), unquoted(v.TransName)},
                {QStringLiteral("description"), unquoted(v.Description)},
                {QStringLiteral("order_number"), v.OrderNumber.toLongLong()}};
    historyResult(Session, transId, v);
    // The last result of a transaction is what its row ends with.
    u.tag = QStringLiteral("result:") + v.TransId;
    u.supersede = true;
    u.retry = true;
    u.failed = [transId](const QString &error) {
        AddLog(QStringLiteral("Результат транзакции # ") + QString::number(transId) + QStringLiteral(" не записан в журнал tOrderNumber: ")
               + error + QStringLiteral(". Запись будет повторена."));
    };
    m_data.quikWrites.add(std::move(u));
}
