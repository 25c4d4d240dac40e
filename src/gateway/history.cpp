// The history of every transaction the robot sent, across connections and
// restarts, and the settling of a series of transactions when the next one
// begins: what the terminal answered is recorded, what it never took is sent
// again under a new number.

#include "gateway.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <map>

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

// The transaction numbers of the complete lines of an import file.
QSet<qint32> linesWritten(const QString &tri)
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

// The last result of each transaction in a result file.
QHash<qint32, TResultValues> resultsIn(const QString &tro)
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

QString resultFileOf(const QString &tri)
{
    return tri.left(tri.size() - 4) + QStringLiteral(".tro");
}

QString unquoted(const QString &v)
{
    const QString t = v.trimmed();
    if (t.size() >= 2 && t.startsWith(QLatin1Char('"')) && t.endsWith(QLatin1Char('"')))
        return t.mid(1, t.size() - 2);
    return t;
}

QString idList(const QList<qint32> &ids)
{
    QStringList parts;
    for (qint32 id : ids)
        parts << QString::number(id);
    return parts.join(QStringLiteral(", "));
}

} // namespace

void Gateway::checkHistory()
{
    m_history = m_data.conQuikData.isOpen() && m_data.conQuikData.hasTable(QStringLiteral("tOrderHistory"));
}

void Gateway::history(const TPendingTransaction &t)
{
    if (!m_history)
        return;
    WriteQueue::Item row;
    row.jet = QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, filled, code, terminal_file)\r\n"
                             "VALUES (:session, :sent_at, :trans_id, :trans_text, :id_order, :filled, :code, :terminal_file)");
    row.params = {{QStringLiteral("session"), Session},
                  {QStringLiteral("sent_at"), QDateTime::currentDateTime()},
                  {QStringLiteral("trans_id"), t.TransId},
                  {QStringLiteral("trans_text"), t.Text},
                  {QStringLiteral("id_order"), t.OrderId},
                  {QStringLiteral("filled"), t.Filled ? 1 : 0},
                  {QStringLiteral("code"), t.Code},
                  {QStringLiteral("terminal_file"), QDir::toNativeSeparators(t.Destination)}};
    row.tag = Gateway::historyTag(Session, t.TransId);
    const qint32 number = t.TransId;
    row.lost = [number](const QString &error) {
        AddLog(QStringLiteral("Транзакция # ") + QString::number(number) + QStringLiteral(" не записана в историю tOrderHistory: ") + error);
    };
    m_data.quikWrites.add(std::move(row));
}

void Gateway::historyResult(qint64 session, qint32 transId, const TResultValues &v)
{
    if (!m_history)
        return;
    WriteQueue::Item u;
    u.jet = QStringLiteral("UPDATE tOrderHistory\r\n"
                           "SET status = :status, trans_name = :trans_name, description = :description, order_number = :order_number, "
                           "result_at = :result_at\r\n"
                           "WHERE session = :session AND trans_id = :trans_id");
    u.params = {{QStringLiteral("status"), v.Status.toInt()},
                {QStringLiteral("trans_name"), unquoted(v.TransName)},
                {QStringLiteral("description"), unquoted(v.Description)},
                {QStringLiteral("order_number"), v.OrderNumber.toLongLong()},
                {QStringLiteral("result_at"), QDateTime::currentDateTime()},
                {QStringLiteral("session"), session},
                {QStringLiteral("trans_id"), transId}};
    u.tag = QStringLiteral("historyresult:") + QString::number(session) + QLatin1Char(':') + QString::number(transId);
    u.supersede = true;
    u.retry = true;
    m_data.quikWrites.add(std::move(u));
}

void Gateway::ArchiveJournal(qint64 session)
{
    if (!m_history || session <= 0)
        return;
    try {
        m_data.quikWrites.flush(true);
        const Database::Rows journal = m_data.conQuikData.fetch(
            QStringLiteral("SELECT trans_id, id_order, filled, code, status, trans_name, description, order_number\r\nFROM tOrderNumber"));
        const Database::Rows kept = m_data.conQuikData.fetch(
            QStringLiteral("SELECT trans_id, status\r\nFROM tOrderHistory\r\nWHERE session = :session"), {{QStringLiteral("session"), session}});
        QHash<qint32, bool> answered; // trans_id -> the history has its result
        for (const auto &r : kept.rows)
            answered.insert(r.value(0).toInt(), !r.value(1).isNull());
        WriteQueue::Batch batch(m_data.quikWrites);
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
                m_data.quikWrites.add(std::move(row));
            } else if (!answered.value(transId) && !r.value(4).isNull()) {
                WriteQueue::Item u;
                u.jet = QStringLiteral("UPDATE tOrderHistory\r\nSET status = :status, trans_name = :trans_name, description = "
                                       ":description, order_number = :order_number\r\nWHERE session = :session AND trans_id = :trans_id "
                                       "AND status IS NULL");
                u.params = {{QStringLiteral("status"), r.value(4)},       {QStringLiteral("trans_name"), r.value(5)},
                            {QStringLiteral("description"), r.value(6)}, {QStringLiteral("order_number"), r.value(7)},
                            {QStringLiteral("session"), session},        {QStringLiteral("trans_id"), transId}};
                m_data.quikWrites.add(std::move(u));
            }
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Журнал транзакций не перенесен в историю tOrderHistory: ") + failureText(e));
    }
}

void Gateway::carry(TPendingTransaction &t, qint64 fromSession, qint32 fromTransId)
{
    t.TransId = TransId;
    TransId = TransId + 1;
    t.Rest.clear();
    if (!t.SmartTrade) {
        const QString prefix = QStringLiteral("TRANS_ID =") + QString::number(fromTransId) + QLatin1Char(';');
        if (t.Text.startsWith(prefix))
            t.Text = QStringLiteral("TRANS_ID =") + QString::number(t.TransId) + QLatin1Char(';') + t.Text.mid(prefix.size());
        t.Destination = PathInFolder(m_settings.edtdirTT, QFileInfo(QDir::fromNativeSeparators(t.Destination)).fileName());
    }
    m_data.quikWrites.remove(journalTag(fromTransId));
    journal(t);
    m_sent.insert(t.TransId, {t.OrderId, t.Filled, t.Code});
    // Under its new number the line waits for its new rows; a book row it
    // waited for stays.
    QStringList rows{journalTag(t.TransId)};
    for (const QString &tag : std::as_const(t.Rows))
        if (!tag.startsWith(QLatin1String("journal:")) && !tag.startsWith(QLatin1String("history:")))
            rows << tag;
    if (m_history)
        rows << historyTag(Session, t.TransId);
    t.Rows = rows;
    if (!m_history)
        return;
    // The history's row moves to its new number; where it came from stays.
    WriteQueue::Item u;
    // It keeps the time it was first queued: its age decides whether it is
    // carried again.
    u.jet = QStringLiteral("UPDATE tOrderHistory\r\nSET session = :session, trans_id = :trans_id, trans_text = :trans_text, "
                           "terminal_file = :terminal_file, carried_from = :carried_from\r\n"
                           "WHERE session = :old_session AND trans_id = :old_trans_id");
    u.params = {{QStringLiteral("session"), Session},
                {QStringLiteral("trans_id"), t.TransId},
                {QStringLiteral("trans_text"), t.Text},
                {QStringLiteral("terminal_file"), QDir::toNativeSeparators(t.Destination)},
                {QStringLiteral("carried_from"), QString::number(fromSession) + QLatin1Char(':') + QString::number(fromTransId)},
                {QStringLiteral("old_session"), fromSession},
                {QStringLiteral("old_trans_id"), fromTransId}};
    u.tag = Gateway::historyTag(Session, t.TransId);
    m_data.quikWrites.add(std::move(u));
}

void Gateway::commitBeforeFiles(const char *what)
{
    if (m_data.quikWrites.flush(true))
        return;
    AddLog(QStringLiteral("Записи о транзакциях не сохранены в базе данных ") + QString::fromUtf8(what)
           + QStringLiteral(": если робот будет остановлен аварийно прежде, чем они сохранятся, транзакции без ответа терминала могут быть отправлены повторно."));
}

void Gateway::settlePrevious(qint64 previous, const QSet<qint32> &stillQueued)
{
    if (!m_history || previous <= 0)
        return;
    // The files on disk are those of FilesSession: its rows are checked
    // against them. Rows of a later series (carried over by a start that was
    // stopped before it made its files) never reached any file.
    const qint64 onDisk = FilesSession;
    struct Open {
        qint32 transId;
        qint64 series;
        QString text;
        qint64 orderId;
        bool filled;
        QString code;
        QString tri;
        QDateTime queued;
    };
    std::vector<Open> open;
    try {
        m_data.quikWrites.flush(true);
        const Database::Rows rows = m_data.conQuikData.fetch(
            QStringLiteral("SELECT trans_id, trans_text, id_order, filled, code, terminal_file, session, sent_at\r\nFROM tOrderHistory\r\n"
                           "WHERE (session = :previous OR session = :on_disk) AND status IS NULL\r\nORDER BY session, trans_id"),
            {{QStringLiteral("previous"), previous}, {QStringLiteral("on_disk"), onDisk}});
        for (const auto &r : rows.rows) {
            const qint32 transId = r.value(0).toInt();
            const qint64 series = r.value(6).toLongLong();
            const QString file = QDir::fromNativeSeparators(r.value(5).toString());
            // SmartTrade answers nothing, and its order files are kept (see
            // the preparation): only QUIK's import files are settled here.
            if ((series == previous && stillQueued.contains(transId)) || !file.endsWith(QLatin1String(".tri"), Qt::CaseInsensitive))
                continue;
            open.push_back({transId, series, r.value(1).toString(), r.value(2).toLongLong(), r.value(3).toBool(), r.value(4).toString(),
                            file, dateTimeValue(r.value(7))});
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("История транзакций не читается: ") + failureText(e)
               + QStringLiteral(". Транзакции предыдущих файлов не проверены."));
        return;
    }
    if (open.empty())
        return;

    // Only a line queued within the resume window is still an order to
    // place: an older one is told, not sent again.
    const QDateTime now = QDateTime::currentDateTime();
    auto young = [&](const Open &o) { return youngEnough(o.queued, now); };

    // What reached each import file, and what the terminal answered.
    std::map<QString, QSet<qint32>> written;
    std::map<QString, QHash<qint32, TResultValues>> answers;
    for (const Open &o : open)
        if (o.series == onDisk && !written.count(o.tri))
            written[o.tri] = linesWritten(o.tri);
    // A line of the series on disk is in its file, and answered in its
    // result file; a row of another series is in neither.
    auto inFile = [&](const Open &o) { return o.series == onDisk && written[o.tri].contains(o.transId); };
    auto readAnswers = [&] {
        for (auto &[tri, ids] : written)
            answers[tri] = resultsIn(resultFileOf(tri));
    };
    auto unanswered = [&] {
        int n = 0;
        for (const Open &o : open)
            n += inFile(o) && young(o) && !answers[o.tri].contains(o.transId);
        return n;
    };
    readAnswers();
    if (m_carry && unanswered() > 0) {
        // A terminal that is working answers a line it takes at once: its
        // lines are given a moment before they count as not taken. The
        // window goes on meanwhile.
        QElapsedTimer waited;
        waited.start();
        while (unanswered() > 0 && waited.elapsed() < CarryWaitMs) {
            pauseKeepingEvents(100);
            readAnswers();
        }
        // No more lines may be taken from the old files; what was taken in
        // the last moment is answered right after.
        for (auto &[tri, ids] : written) {
            QFile f(tri);
            if (f.exists())
                f.resize(0);
        }
        pauseKeepingEvents(200);
        readAnswers();
    }

    QList<qint32> notTaken;
    WriteQueue::Batch batch(m_data.quikWrites);
    for (const Open &o : open) {
        const auto &results = answers[o.tri];
        const auto found = o.series == onDisk ? results.constFind(o.transId) : results.cend();
        if (found != results.cend()) {
            // Answered after the last check: the history gets the answer.
            historyResult(o.series, o.transId, *found);
            continue;
        }
        if (!m_carry) {
            notTaken << o.transId;
            continue;
        }
        const bool reached = inFile(o);
        if (!young(o)) {
            AddLog(QStringLiteral("Транзакция # ") + QString::number(o.transId) + QStringLiteral(" предыдущих файлов (серия ")
                   + QString::number(o.series) + QStringLiteral(") ")
                   + (reached ? QStringLiteral("не была принята терминалом") : QStringLiteral("не была записана в файл"))
                   + QStringLiteral(" и не отправляется повторно: ") + ageText(o.queued, now) + QStringLiteral(": ") + o.text);
            continue;
        }
        TPendingTransaction t;
        t.Destination = o.tri;
        t.SmartTrade = false;
        t.Text = o.text;
        t.OrderId = o.orderId;
        t.Filled = o.filled;
        t.Code = o.code;
        t.Queued = o.queued;
        carry(t, o.series, o.transId);
        PendingTransactions.append(t);
        AddLog(QStringLiteral("Транзакция # ") + QString::number(o.transId) + QStringLiteral(" предыдущих файлов (серия ")
               + QString::number(o.series) + QStringLiteral(") ")
               + (reached ? QStringLiteral("не была принята терминалом") : QStringLiteral("не была записана в файл"))
               + QStringLiteral(" и будет отправлена под номером ") + QString::number(t.TransId) + QStringLiteral("."));
    }
    if (!notTaken.isEmpty())
        AddLog(QStringLiteral("Транзакции предыдущих файлов (серия ") + QString::number(previous)
               + QStringLiteral("), которых терминал не принял, не отправляются повторно: ") + QString::number(notTaken.size())
               + QStringLiteral(" (# ") + idList(notTaken) + QStringLiteral(")."));
}

bool Gateway::youngEnough(const QDateTime &queued, const QDateTime &now) const
{
    const qint64 windowMs = qint64(m_settings.edtResumeWindow) * 1000;
    return queued.isValid() && queued.msecsTo(now) < windowMs;
}

QString Gateway::ageText(const QDateTime &queued, const QDateTime &now) const
{
    const QString window = QString::number(m_settings.edtResumeWindow);
    if (!queued.isValid())
        return QStringLiteral("время ее отправки неизвестно");
    return QStringLiteral("она поставлена в очередь ") + QString::number(queued.secsTo(now)) + QStringLiteral(" с назад, дольше окна продолжения (")
        + window + QStringLiteral(" с)");
}

void Gateway::pauseKeepingEvents(int ms)
{
    // Timers, repaints and the answers of other threads go on; the
    // operator's clicks and keys wait until the pause is over.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        const int left = static_cast<int>(ms - t.elapsed());
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, left);
        QThread::msleep(static_cast<unsigned long>(std::clamp(left, 0, 10)));
    }
}
