// The terminal gateway: the transaction counter and queue, the file sets,
// the journal and history rows of every transaction, the settling of a
// series when the next one begins, and the result check.

#include "gateway.h"

#include "history.h"
#include "results.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"

#include <QCoreApplication>
#include <QDir>
#include <QVarLengthArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <map>

namespace {

QString idList(const QList<qint32> &ids)
{
    QStringList parts;
    for (qint32 id : ids)
        parts << QString::number(id);
    return parts.join(QStringLiteral(", "));
}

} // namespace

Gateway::Gateway(Settings &settings, TDatMod &data, QObject *parent) : QObject(parent), m_settings(settings), m_data(data)
{
    setObjectName(QStringLiteral("Gateway"));
}

void Gateway::journal(const TPendingTransaction &t)
{
    const qint32 number = t.TransId;
    WriteQueue::Item row;
    row.jet = QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code)\r\nVALUES (:trans_id, :id_order, :filled, :code)");
    row.params = {{QStringLiteral("trans_id"), number},
                  {QStringLiteral("id_order"), t.OrderId},
                  {QStringLiteral("filled"), t.Filled ? 1 : 0},
                  {QStringLiteral("code"), t.Code}};
    row.tag = JournalTag(number);
    row.lost = [number](const QString &error) {
        AddLog(QStringLiteral("Произошла ошибка во время отправки тразакции номер  ") + QString::number(number)
               + QStringLiteral(" в терминал.\r\nЗапись о транзакции не сохранена в журнале tOrderNumber: ") + error);
    };
    m_data.quikWrites.add(std::move(row));
}

void Gateway::requireRow(qint32 transId, const QString &tag)
{
    // The transaction was most likely queued last.
    for (auto it = m_pending.rbegin(); it != m_pending.rend(); ++it)
        if (it->TransId == transId) {
            it->Rows << tag;
            return;
        }
}

QString Gateway::refusal(const TOrder &O, const TPreOrder &P) const
{
    if (P.KillOrders)
        return QString();
    // A size no client's order can have: a strategy quantity or a share
    // gone wrong.
    const qint32 most = m_settings.edtMaxLots;
    if (most > 0 && O.Quantity > most)
        return QStringLiteral("количество ") + QString::number(O.Quantity) + QStringLiteral(" лотов больше допустимого (")
            + QString::number(most) + QStringLiteral(", [Position] MaxLots).");
    // A price that the file would carry as nothing. A stop order's limit
    // price may be 0; its trigger may not.
    const bool stop = O.Action == QLatin1String("NEW_STOP_ORDER");
    const double price = stop ? O.StopPrice : O.Price;
    if (PriceNotPositive(O.SecData, price))
        return (stop ? QStringLiteral("стоп-цена ") : QStringLiteral("цена ")) + FormatOrderPrice(O.SecData, price)
            + QStringLiteral(" с шагом и точностью цены инструмента не больше нуля.");
    return QString();
}

qint32 Gateway::SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination)
{
    if ((O.Quantity > 0 || P.KillOrders) && !O.Account.isEmpty()) {
        const QString refused = refusal(O, P);
        if (!refused.isEmpty()) {
            AddLog(QStringLiteral("Ордер #") + QString::number(O.OrderId) + QStringLiteral(" по счету ") + O.ClientCode
                   + QStringLiteral(" и инструменту \"") + O.SecData.SecCode + QStringLiteral("\" не исполнен: ") + refused);
            return -1;
        }
        const bool smartTrade = m_settings.terminalKind() == TerminalKind::SmartTrade;
        const qint32 number = m_transId;
        TPendingTransaction t;
        t.Destination = destination;
        t.SmartTrade = smartTrade;
        t.Text = smartTrade ? SmartTradeOrderText(O) : QuikTransactionLine(O, P, number);
        t.TransId = number;
        t.OrderId = O.OrderId;
        t.Filled = O.MarketOrder;
        t.Code = O.ClientCode;
        t.Queued = now();
        // The line waits for its journal and history rows.
        t.Rows << JournalTag(number);
        if (m_history)
            t.Rows << HistoryTag(m_session, number);
        m_pending.append(t);
        // Counted as soon as it is queued: whatever fails below, the next
        // transaction never carries the same number.
        m_transId = m_transId + 1;
        m_sent.insert(number, {t.OrderId, t.Filled, t.Code});
        journal(t);
        history(t);

        const QString price = FormatOrderPrice(O.SecData, O.Price);
        QString D;
        if (P.Kind == OrderKind::Strategy) {
            D = QStringLiteral(" [") + O.OrderType + QLatin1Char(' ') + QString::number(O.Quantity) + QLatin1Char(' ')
                + O.SecData.Ticker + QStringLiteral(" at ") + price + (O.StopOrder ? QStringLiteral(" STOP") : QString())
                + QStringLiteral("] ");
        } else if (P.KillOrders) {
            D = QStringLiteral(" [снять ВСЕ заявки по ") + O.SecData.SecCode + QStringLiteral("]");
        } else {
            D = QStringLiteral(" [") + O.Operation + QLatin1Char(' ') + QString::number(O.Quantity) + QLatin1Char(' ')
                + O.SecData.SecCode + QStringLiteral(" at ") + price + (O.StopOrder ? QStringLiteral(" STOP") : QString())
                + QStringLiteral("] ");
        }
        AddLog(QStringLiteral("Транзакция # ") + QString::number(number) + D + QStringLiteral(" по счету ") + O.ClientCode
               + QStringLiteral(" отправлена в торговый терминал."));
        if (P.Kind == OrderKind::Strategy && m_settings.chSendTrans_Id)
            emit notify(QStringLiteral("Транзакция номер ") + QString::number(number) + D + QStringLiteral(" отправлена."));
        return number;
    }
    AddLog(QStringLiteral("Ордер #") + QString::number(O.OrderId) + QStringLiteral(" по счету ") + O.ClientCode
           + QStringLiteral(" и инструменту \"") + O.SecData.SecCode
           + QStringLiteral("\"  не исполнен: количество  должно быть положительным!"));
    return -1;
}

bool Gateway::rowsWritten(const TPendingTransaction &t) const
{
    // A line cut short by a failed write is in the file already.
    if (!t.Rest.isEmpty())
        return true;
    for (const QString &tag : t.Rows)
        if (m_data.quikWrites.holds(tag))
            return false;
    return true;
}

int Gateway::linesWaitingForRows() const
{
    int n = 0;
    for (const TPendingTransaction &t : m_pending)
        n += !rowsWritten(t);
    return n;
}

bool Gateway::hasPendingFor(const QString &destination) const
{
    for (const TPendingTransaction &t : m_pending)
        if (samePath(t.Destination, destination))
            return true;
    return false;
}

void Gateway::WriteTransactions(const QString &fileName)
{
    const bool smartTrade = m_settings.terminalKind() == TerminalKind::SmartTrade;
    writeQueue(fileName, smartTrade ? QFileInfo(fileName).path() : fileName, smartTrade);
}

void Gateway::writeQueue(const QString &fileName, const QString &destination, bool smartTrade)
{
    QList<int> mine;
    // Each destination's spelling is cleaned once: many texts wait for few
    // destinations, and the texts of one destination mostly share one
    // string (so a run of them costs a pointer comparison each).
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(destination));
    QVarLengthArray<std::pair<QString, bool>, 16> matches;
    const QString *last = nullptr;
    bool lastMatches = false;
    for (int i = 0; i < m_pending.size(); ++i) {
        const QString &d = m_pending[i].Destination;
        if (!last || d.constData() != last->constData() || d.size() != last->size()) {
            auto known = std::find_if(matches.begin(), matches.end(), [&d](const auto &m) { return m.first == d; });
            if (known == matches.end()) {
                matches.append({d, d == destination || QDir::cleanPath(QDir::fromNativeSeparators(d)) == clean});
                known = matches.end() - 1;
            }
            last = &d;
            lastMatches = known->second;
        }
        if (lastMatches)
            mine << i;
    }
    if (mine.isEmpty())
        return;
    // A line goes into its file once its rows are in the database (so that
    // a robot killed after it went out never sends its order again), and
    // never ahead of an earlier line of the same file.
    int ready = 0;
    while (ready < mine.size() && rowsWritten(m_pending[mine[ready]]))
        ++ready;
    const bool waiting = ready < mine.size();
    if (waiting)
        reportWriteFailure(destination, QStringLiteral("Транзакции для ") + (smartTrade ? QStringLiteral("папки ") : QStringLiteral("файла "))
                                            + destination + QStringLiteral(" ждут сохранения своих записей в базе данных ")
                                            + m_data.conQuikData.shownPath()
                                            + QStringLiteral(" и будут записаны, как только записи сохранятся."));
    mine = mine.mid(0, ready);
    if (mine.isEmpty())
        return;
    if (m_writeFence && !m_writeFence())
        return;

    // What goes into the file, and where in it each text ends.
    QByteArray bytes;
    QList<qsizetype> ends;
    qsizetype size = 0;
    for (int i : mine)
        size += m_pending[i].Rest.isEmpty() ? m_pending[i].Text.size() + 2 : m_pending[i].Rest.size();
    bytes.reserve(size);
    ends.reserve(mine.size());
    for (int i : mine) {
        const TPendingTransaction &t = m_pending[i];
        if (t.Rest.isEmpty()) {
            bytes += cp1251::encode(t.Text);
            bytes += "\r\n";
        } else {
            bytes += t.Rest;
        }
        ends << bytes.size();
    }
    auto dropWritten = [&](int count) {
        if (!smartTrade) {
            QList<qint32> numbers;
            for (int n = 0; n < count; ++n)
                numbers << m_pending[mine[n]].TransId;
            awaitAnswers(fileName, numbers);
        }
        // The texts written are mostly the queue's first ones (a dispatch
        // queues its terminals one after the other): they go at once.
        bool first = true;
        for (int n = 0; first && n < count; ++n)
            first = mine[n] == n;
        if (first) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + count);
            return;
        }
        // Otherwise one pass over the queue, whatever its length.
        // (`mine` is in the queue's order.)
        QList<TPendingTransaction> kept;
        kept.reserve(m_pending.size() - count);
        int n = 0;
        for (int i = 0; i < m_pending.size(); ++i) {
            if (n < count && mine[n] == i)
                ++n;
            else
                kept.append(std::move(m_pending[i]));
        }
        m_pending = std::move(kept);
    };

    if (smartTrade) {
        const QString folder = QFileInfo(fileName).path();
        // Written under another name and renamed when complete: the
        // terminal never sees an order file that is cut short.
        QSaveFile file(fileName);
        const bool usable = FolderSettingProblem(folder, QStringLiteral("[Quik] DirSmartTrade")).isEmpty();
        // Unbuffered, so that a short write (a full disk) is seen here and
        // the file is given up instead of renamed half written.
        if (!usable || !file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            // Told once while it repeats (every tick tries again).
            // (Each try names a new file: the failure is the folder's.)
            reportWriteFailure(destination,
                               QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName
                                   + QStringLiteral(", так как его не удалось создать."),
                               QStringLiteral("cannot create"));
            return;
        }
        if (!writeAll(file, bytes) || !file.commit()) {
            const QString error = file.errorString();
            file.cancelWriting();
            throw KorvinaError(QStringLiteral("Ошибка записи в файл ") + fileName + QStringLiteral(": ") + error,
                               KorvinaError::Kind::Transient);
        }
        dropWritten(mine.size());
        if (!waiting)
            writeSucceeded(destination, fileName);
        return;
    }

    if (!FolderSettingProblem(m_settings.edtdirTT, QStringLiteral("[Quik] dirTT")).isEmpty() || !QFileInfo::exists(fileName)) {
        reportWriteFailure(destination,
                           QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName + QStringLiteral(", файл не существует."));
        return;
    }
    // Unbuffered: after a failed write the file's size tells exactly what
    // reached it.
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        throw KorvinaError(QStringLiteral("Не удается открыть файл ") + fileName + QStringLiteral(": ") + file.errorString(),
                           KorvinaError::Kind::Transient);
    const qint64 before = file.size();
    const bool written = writeAll(file, bytes) && file.flush();
    const QString error = file.errorString();
    const qint64 after = file.size();
    file.close();
    if (written) {
        dropWritten(mine.size());
        if (!waiting)
            writeSucceeded(destination, fileName);
        return;
    }
    // The terminal may already have taken the lines that reached the file:
    // they count as written and are never written again. A line cut short
    // is finished by the next write.
    const qint64 reached = std::clamp<qint64>(after - before, 0, bytes.size());
    int whole = 0;
    while (whole < ends.size() && ends[whole] <= reached)
        ++whole;
    if (whole < ends.size()) {
        const qsizetype start = whole == 0 ? 0 : ends[whole - 1];
        if (reached > start) {
            TPendingTransaction &cut = m_pending[mine[whole]];
            cut.Rest = bytes.mid(reached, ends[whole] - reached);
        }
    }
    dropWritten(whole);
    throw KorvinaError(QStringLiteral("Ошибка записи в файл ") + fileName + QStringLiteral(": ") + error, KorvinaError::Kind::Transient);
}

void Gateway::WriteTransactionsLogged(const QString &fileName)
{
    try {
        WriteTransactions(fileName);
    } catch (const std::exception &e) {
        const bool smartTrade = m_settings.terminalKind() == TerminalKind::SmartTrade;
        reportWriteFailure(smartTrade ? QFileInfo(fileName).path() : fileName, failureText(e));
    }
}

void Gateway::reportWriteFailure(const QString &destination, const QString &error, const QString &kind)
{
    const QString key = QDir::cleanPath(QDir::fromNativeSeparators(destination));
    const QString same = kind.isEmpty() ? error : kind;
    if (m_writeFailures.value(key) == same)
        return;
    m_writeFailures.insert(key, same);
    AddLog(error);
}

void Gateway::writeSucceeded(const QString &destination, const QString &fileName)
{
    if (m_writeFailures.remove(QDir::cleanPath(QDir::fromNativeSeparators(destination))) > 0)
        AddLog(QStringLiteral("Транзакции записаны в файл ") + fileName + QStringLiteral("."));
}

bool Gateway::samePath(const QString &a, const QString &b)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(a)) == QDir::cleanPath(QDir::fromNativeSeparators(b));
}

QString Gateway::SmartTradeFileName(const QString &folder) const
{
    return PathInFolder(folder, QStringLiteral("trans_") + GetTimeStamp() + QLatin1Char('_') + QString::number(m_transId) + QStringLiteral(".new"));
}

void Gateway::WritePendingTransactions()
{
    // Every destination that still holds texts gets another try, each with
    // its own file: a transaction never lands in another terminal's file.
    QStringList done;
    const QList<TPendingTransaction> pending = m_pending;
    for (const TPendingTransaction &t : pending) {
        bool seen = false;
        for (const QString &d : done)
            seen = seen || samePath(d, t.Destination);
        if (seen)
            continue;
        done << t.Destination;
        try {
            writeQueue(t.SmartTrade ? SmartTradeFileName(t.Destination) : t.Destination, t.Destination, t.SmartTrade);
        } catch (const std::exception &e) {
            reportWriteFailure(t.Destination, failureText(e));
        }
    }
}

void Gateway::BuildTROFiles()
{
    m_troFiles.clear();
    if (m_settings.accountMode() == AccountMode::Single) {
        TTROData t;
        t.FileName = QStringLiteral("trans");
        m_troFiles.append(t);
        return;
    }
    m_data.tQuik.Open();
    DataSet &q = m_data.qActiveQuik;
    q.Close();
    q.Open();
    for (int r = 0; r < q.RecordCount(); ++r) {
        TTROData t;
        t.IdQuik = q.value(r, QStringLiteral("id_quik")).toInt();
        t.FileName = q.value(r, QStringLiteral("quik")).toString();
        m_troFiles.append(t);
    }
}

void Gateway::JournalPending()
{
    for (const TPendingTransaction &t : m_pending) {
        m_data.quikWrites.remove(JournalTag(t.TransId));
        journal(t);
    }
}

void Gateway::PrepareTransactionFiles()
{
    const QString dir = m_settings.edtdirTT;
    try {
        const QString unreadable = m_settings.unreadableValue(QStringLiteral("trans_id"));
        if (!unreadable.isNull())
            throw KorvinaError(QStringLiteral("'") + unreadable + QStringLiteral("' is not a valid integer value ([Position] trans_id)"));
        const QString problem = FolderSettingProblem(dir, QStringLiteral("[Quik] dirTT"));
        if (!problem.isEmpty())
            throw KorvinaError(problem);
        m_transId = m_settings.edtTrans_id;
        m_firstNumber = m_transId;
        const qint64 previous = m_session;
        m_session = m_nextSession > m_session ? m_nextSession : m_session + 1;
        checkHistory();
        m_sent.clear();
        // The old files go: what they still wait for is settled below, and
        // lines carried over wait again once written into the new files.
        m_unanswered.clear();
        // Texts still waiting for their file belong to files about to be
        // deleted and carry numbers of the old series: they go into the new
        // files, each with a new number and its journal row, while they are
        // within the resume window; an older one is told and dropped.
        QHash<qint32, qint32> carried;
        QSet<qint32> stillQueued;
        const QDateTime now = QDateTime::currentDateTime();
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            TPendingTransaction &t = *it;
            const qint32 old = t.TransId;
            stillQueued.insert(old);
            if (!youngEnough(t.Queued, now)) {
                m_data.quikWrites.remove(JournalTag(old));
                AddLog(QStringLiteral("Транзакция # ") + QString::number(old)
                       + QStringLiteral(" не была записана до создания новых файлов и не отправляется: ") + ageText(t.Queued, now)
                       + QStringLiteral(": ") + t.Text);
                it = m_pending.erase(it);
                continue;
            }
            carry(t, previous, old);
            carried.insert(old, t.TransId);
            AddLog(QStringLiteral("Транзакция # ") + QString::number(old)
                   + QStringLiteral(" не была записана до создания новых файлов и будет отправлена под номером ")
                   + QString::number(t.TransId) + QStringLiteral("."));
            ++it;
        }
        // The previous series' lines that the terminal never took.
        settlePrevious(previous, stillQueued);
        emit numberingRestarted(carried);
        emit seriesStarted(m_session);
        // What was found in the old files and what is carried over is in the
        // database before those files go: a robot killed from here on finds
        // it there, not in files that are gone.
        commitBeforeFiles("до удаления прежних файлов");

        QDir folder(dir);
        if (!folder.exists() && !QDir().mkdir(dir))
            throw KorvinaError(QStringLiteral("Не удается создать папку ") + dir);
        EmptyTransactionFolder(dir, false, m_protected);
        QStringList names;
        if (m_settings.accountMode() == AccountMode::Single)
            names << QStringLiteral("trans");
        else
            for (const TTROData &t : m_troFiles)
                names << t.FileName;
        for (const QString &n : names)
            for (const char *ext : {".tri", ".tro", ".trr"}) {
                QFile f(PathInFolder(dir, n + QLatin1String(ext)));
                if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                    throw KorvinaError(QStringLiteral("Не удается создать файл ") + f.fileName() + QStringLiteral(": ") + f.errorString());
            }
        // The files on disk now belong to the new series, before any line
        // goes into them.
        m_filesSession = m_session;
        emit filesMade(m_session);
        commitBeforeFiles("до записи в новые файлы");
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("При создании файлов транзакций в папке") + dir + QStringLiteral(" произошла ошибка: \r\n") + failureText(e));
    }
    const QString st = m_settings.edtDirSmartTrade;
    try {
        const QString problem = FolderSettingProblem(st, QStringLiteral("[Quik] DirSmartTrade"));
        if (!problem.isEmpty())
            throw KorvinaError(problem);
        if (m_resuming) {
            // Going on from where the robot was: order files SmartTrade has
            // not taken yet are orders still to be placed.
            const int left = QDir(st).entryList({QStringLiteral("*.new")}, QDir::Files).size();
            if (left > 0)
                AddLog(QStringLiteral("Файлы заявок SmartTrade, еще не принятые терминалом, оставлены в папке ") + st
                       + QStringLiteral(": ") + QString::number(left) + QStringLiteral("."));
        } else {
            // A folder that is not there holds no files to delete.
            EmptyTransactionFolder(st, true, m_protected);
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("При удалении всех файлов из папки ") + st + QStringLiteral(" произошла ошибка: \r\n") + failureText(e));
    }
    // What was carried over goes out at once, into the new files.
    WritePendingTransactions();
    checkAnswers();
    emit countersChanged();
    FlushLog();
}

void Gateway::checkHistory()
{
    m_history = m_data.conQuikData.isOpen() && m_data.conQuikData.hasTable(QStringLiteral("tOrderHistory"));
}

void Gateway::history(const TPendingTransaction &t)
{
    if (m_history)
        m_data.quikWrites.add(HistoryRow(m_session, t));
}

void Gateway::historyResult(qint64 session, qint32 transId, const TResultValues &v)
{
    if (m_history)
        m_data.quikWrites.add(HistoryResultRow(session, transId, v, now()));
}

void Gateway::ArchiveJournal(qint64 session)
{
    if (m_history && session > 0)
        ArchiveJournalRows(m_data, session);
}

void Gateway::carry(TPendingTransaction &t, qint64 fromSession, qint32 fromTransId)
{
    t.TransId = m_transId;
    m_transId = m_transId + 1;
    t.Rest.clear();
    if (!t.SmartTrade) {
        const QString prefix = QStringLiteral("TRANS_ID =") + QString::number(fromTransId) + QLatin1Char(';');
        if (t.Text.startsWith(prefix))
            t.Text = QStringLiteral("TRANS_ID =") + QString::number(t.TransId) + QLatin1Char(';') + t.Text.mid(prefix.size());
        t.Destination = PathInFolder(m_settings.edtdirTT, QFileInfo(QDir::fromNativeSeparators(t.Destination)).fileName());
    }
    m_data.quikWrites.remove(JournalTag(fromTransId));
    journal(t);
    m_sent.insert(t.TransId, {t.OrderId, t.Filled, t.Code});
    // Under its new number the line waits for its new rows; a book row it
    // waited for stays.
    QStringList rows{JournalTag(t.TransId)};
    for (const QString &tag : std::as_const(t.Rows))
        if (!tag.startsWith(QLatin1String("journal:")) && !tag.startsWith(QLatin1String("history:")))
            rows << tag;
    if (m_history)
        rows << HistoryTag(m_session, t.TransId);
    t.Rows = rows;
    if (!m_history)
        return;
    // The history's row moves to its new number; where it came from stays.
    m_data.quikWrites.add(HistoryCarryRow(m_session, t, fromSession, fromTransId));
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
    // The files on disk are those of the files' series: its rows are checked
    // against them. Rows of a later series (carried over by a start that was
    // stopped before it made its files) never reached any file.
    const qint64 onDisk = m_filesSession;
    std::vector<TOpenTransaction> open;
    try {
        m_data.quikWrites.flush(true);
        open = ReadOpenTransactions(m_data.conQuikData, previous, onDisk, stillQueued);
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
    auto young = [&](const TOpenTransaction &o) { return youngEnough(o.queued, now); };

    // What reached each import file, and what the terminal answered.
    std::map<QString, QSet<qint32>> written;
    std::map<QString, QHash<qint32, TResultValues>> answers;
    for (const TOpenTransaction &o : open)
        if (o.series == onDisk && !written.count(o.tri))
            written[o.tri] = LinesWritten(o.tri);
    // A line of the series on disk is in its file, and answered in its
    // result file; a row of another series is in neither.
    auto inFile = [&](const TOpenTransaction &o) { return o.series == onDisk && written[o.tri].contains(o.transId); };
    // Answers add up over the reads: a terminal may begin its result file
    // anew when the import file is emptied, and an answer read before is
    // still its line's answer (the later answer of a line replaces the
    // earlier).
    auto readAnswers = [&] {
        for (auto &[tri, ids] : written) {
            const QHash<qint32, TResultValues> read = ResultsIn(ResultFileOf(tri));
            QHash<qint32, TResultValues> &known = answers[tri];
            for (auto it = read.cbegin(); it != read.cend(); ++it)
                known.insert(it.key(), it.value());
        }
    };
    auto unanswered = [&] {
        int n = 0;
        for (const TOpenTransaction &o : open)
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
    for (const TOpenTransaction &o : open) {
        const auto &results = answers[o.tri];
        // An answer counts for a line in the import file. The result file
        // keeps its name from one series to the next, so an answer whose
        // line is not in a file that holds lines was left by another
        // series' line with the same number (answered after the files
        // were begun again). (A file emptied by a start cut short tells
        // nothing: its answers count as before.)
        const bool answerable = o.series == onDisk && (written[o.tri].isEmpty() || inFile(o));
        const auto found = answerable ? results.constFind(o.transId) : results.cend();
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
        m_pending.append(t);
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

void Gateway::actCheckTROExecute()
{
    // Every line of one check is stamped with the moment of the check.
    const TimeBatch batchTime(*this);
    // The rows of the journal wait no longer than one check.
    m_data.quikWrites.flush();
    m_data.alertWrites.flush();
    const bool folderUsable = FolderSettingProblem(m_settings.edtdirTT, QStringLiteral("[Quik] dirTT")).isEmpty();
    for (TTROData &tro : m_troFiles) {
        if (!folderUsable)
            break;
        const QString path = PathInFolder(m_settings.edtdirTT, tro.FileName + QStringLiteral(".tro"));
        // One file that cannot be read holds up no other file.
        try {
            const std::optional<TResultRead> read = ReadResultFile(tro, path);
            if (!read)
                continue;
            if (read->anew) {
                AddLog(QStringLiteral("Файл результатов ") + path + QStringLiteral(" начат терминалом заново и читается с первой строки."));
                tro.LinesRead = 0;
            }
            const QStringList &lines = read->lines;
            {
                // The journal updates of one read are written together.
                WriteQueue::Batch batch(m_data.quikWrites);
                // Each line is handled once: its log line, its counter and
                // its mail happen here and never again; a journal update
                // that cannot be written waits in the queue on its own.
                for (int k = std::max(0, tro.LinesRead - read->first); k < lines.size(); ++k) {
                    const int i = read->first + k;
                    tro.LinesRead = i + 1;
                    handleResultLine(path, i, lines[k]);
                }
            }
            tro.LinesRead = read->first + static_cast<int>(lines.size());
            tro.LinesInSize = tro.LinesRead;
            tro.FileSize = static_cast<quint32>(read->complete);
            tro.FileId = read->fileId;
            tro.Head = read->head;
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
    checkAnswers();
}

void Gateway::awaitAnswers(const QString &fileName, const QList<qint32> &transIds)
{
    const QString fileSet = QFileInfo(fileName).completeBaseName();
    const QDateTime written = now();
    for (qint32 number : transIds)
        m_unanswered.insert(number, TUnanswered{fileSet, written});
}

void Gateway::checkAnswers(const QDateTime &now)
{
    QHash<QString, int> waiting; // by file set: lines past their wait
    for (const TUnanswered &u : std::as_const(m_unanswered))
        if (u.written.msecsTo(now) > qint64(AnswerWaitSeconds) * 1000)
            ++waiting[u.fileSet.toCaseFolded()];
    QStringList silent;
    for (const TTROData &tro : std::as_const(m_troFiles))
        if (waiting.contains(tro.FileName.toCaseFolded()) && !silent.contains(tro.FileName))
            silent << tro.FileName;
    if (silent == m_silent)
        return;
    const QString dir = m_settings.edtdirTT;
    for (const QString &name : std::as_const(silent))
        if (!m_silent.contains(name))
            AddLog(QStringLiteral("Терминал ") + name + QStringLiteral(" не отвечает: транзакции в файле ")
                   + PathInFolder(dir, name + QStringLiteral(".tri")) + QStringLiteral(" ждут ответа дольше ")
                   + QString::number(AnswerWaitSeconds) + QStringLiteral(" с (") + QString::number(waiting.value(name.toCaseFolded()))
                   + QStringLiteral("). Проверьте, запущен ли импорт транзакций в квике."));
    for (const QString &name : std::as_const(m_silent))
        if (!silent.contains(name))
            AddLog(QStringLiteral("Терминал ") + name + QStringLiteral(" снова отвечает на транзакции."));
    m_silent = silent;
    emit silenceChanged(m_silent);
    emit countersChanged();
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
    if (!IsIntegerText(v.TransId) || !IsIntegerText(v.Status) || !IsIntegerText(v.OrderNumber)) {
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
    // Whatever it says, the terminal has answered the line (in the result
    // file of the line's own file set).
    const auto waiting = m_unanswered.constFind(transId);
    if (waiting != m_unanswered.cend() && waiting->fileSet.compare(QFileInfo(path).completeBaseName(), Qt::CaseInsensitive) == 0)
        m_unanswered.erase(waiting);

    if (v.Status == QLatin1String("3")) {
        const QString text = QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" успешно выполнена.");
        AddLog(text);
        if (m_settings.chSendTrans_done)
            emit notify(text);
        m_doneCount = m_doneCount + 1;
        if (m_settings.chKillOrder) {
            // The alert row the transaction came from, by the journal row;
            // a row still waiting in the queue is known from memory.
            std::optional<TSentTransaction> origin = JournalOrigin(m_data, v.TransId);
            if (!origin && m_sent.contains(transId))
                origin = m_sent.value(transId);
            if (origin)
                m_data.alertWrites.add(OrderNumberRow(*origin, v.OrderNumber, transId));
        }
        // Its last answer: nothing of it is needed any more.
        m_sent.remove(transId);
        emit executed(transId);
    }
    if (v.Status == QLatin1String("0")) {
        AddLog(QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" отправлена на сервер Quik."));
        m_sentCount = m_sentCount + 1;
    }
    if (IsRefusal(v.Status)) {
        const QString text = QStringLiteral("Транзакция номер ") + v.TransId + QStringLiteral(" отвергнута, статус ") + v.Status
            + QStringLiteral(": ") + Unquoted(v.Description);
        AddLog(text);
        if (m_settings.chSendTrans_done)
            emit notify(text);
        m_refusedCount = m_refusedCount + 1;
        m_sent.remove(transId);
        emit refused(transId);
    }
    emit countersChanged();

    historyResult(m_session, transId, v);
    m_data.quikWrites.add(JournalResultRow(v, transId));
}
