#include "transactionfiles.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"
#include "gateway.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

QString PathInFolder(const QString &folder, const QString &name)
{
    QString f = folder;
    if (!f.endsWith(QLatin1Char('/')) && !f.endsWith(QLatin1Char('\\')))
        f += QDir::separator();
    return f + name;
}

QString QuikTransactionLine(const TOrder &O, const TPreOrder &P, qint32 transId)
{
    QString s = QStringLiteral("TRANS_ID =") + QString::number(transId) + QLatin1Char(';');
    s += QStringLiteral("ACTION=") + O.Action + QLatin1Char(';');
    s += QStringLiteral("ACCOUNT=") + O.Account + QLatin1Char(';');
    s += QStringLiteral("SECCODE=") + O.SecData.SecCode + QLatin1Char(';');
    s += QStringLiteral("CLASSCODE=") + O.SecData.ClassCode + QLatin1Char(';');
    s += QStringLiteral("CLIENT_CODE=") + O.ClientCode + QLatin1Char(';');
    if (!P.KillOrders)
        s += QStringLiteral("OPERATION=") + O.Operation + QLatin1Char(';');
    s += QStringLiteral("PRICE=") + FormatOrderPrice(O.SecData, O.Price) + QLatin1Char(';');
    s += QStringLiteral("STOPPRICE=") + FormatOrderPrice(O.SecData, O.StopPrice) + QLatin1Char(';');
    s += QStringLiteral("Order_key=") + O.OrderKey + QLatin1Char(';');
    s += QStringLiteral("Stop_Order_key=") + O.StopOrderKey + QLatin1Char(';');
    s += QStringLiteral("QUANTITY=") + QString::number(O.Quantity) + QLatin1Char(';');
    if (O.SecData.ClassCode == QLatin1String("SPBFUT") && P.KillOrders)
        s += QStringLiteral("BASE_CONTRACT=") + O.SecData.BaseContract + QLatin1Char(';');
    return s;
}

QString SmartTradeOrderText(TOrder &O)
{
    const bool futures = O.SecData.ClassCode == QLatin1String("SPBFUT");
    if (futures)
        O.ClientCode = O.Account;
    QString s;
    if (O.Action.contains(QLatin1String("NEW")))
        s += QStringLiteral("place_order?");
    else if (O.Action.contains(QLatin1String("KILL")))
        s += QStringLiteral("cancel_order?");
    s += QStringLiteral("portfolio=") + O.ClientCode + QLatin1Char('&');
    s += QStringLiteral("security=") + O.SecData.SecCode + QLatin1Char('&');
    const QString &t = O.OrderType;
    if (t == QLatin1String("LE"))
        s += QStringLiteral("action=BUY&");
    else if (t == QLatin1String("LX"))
        s += QStringLiteral("action=SELL&");
    else if (t == QLatin1String("SE"))
        s += futures ? QStringLiteral("action=SELL&") : QStringLiteral("action=SELLSHORT&");
    else if (t == QLatin1String("SX"))
        s += futures ? QStringLiteral("action=BUY&") : QStringLiteral("action=CLOSESHORT&");
    s += O.Action.contains(QLatin1String("STOP")) ? QStringLiteral("type=STOPLIMIT&") : QStringLiteral("type=LIMIT&");
    s += QStringLiteral("validity=DAY&");
    s += QStringLiteral("price=") + FormatOrderPrice(O.SecData, O.Price) + QLatin1Char('&');
    s += QStringLiteral("stop_price=") + FormatOrderPrice(O.SecData, O.StopPrice) + QLatin1Char('&');
    s += QStringLiteral("amount=") + QString::number(O.Quantity);
    return s;
}

QString GetTimeStamp(const QDateTime &when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    return QString::number(d.day()) + QString::number(d.month()) + QString::number(d.year()) + QLatin1Char('_')
        + QString::number(t.hour()) + QString::number(t.minute()) + QString::number(t.second());
}

bool writeAll(QIODevice &file, const QByteArray &bytes)
{
    // A short write says nothing of why; the next one fails with the reason.
    qint64 pos = 0;
    while (pos < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + pos, bytes.size() - pos);
        if (n <= 0)
            return false;
        pos += n;
    }
    return true;
}

QString FolderSettingProblem(const QString &folder, const QString &setting)
{
    if (folder.trimmed().isEmpty())
        return QStringLiteral("не задана папка (") + setting + QStringLiteral(").");
#ifndef Q_OS_WIN
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (drive.match(folder).hasMatch() || folder.contains(QLatin1Char('\\')))
        return QStringLiteral("путь \"") + folder + QStringLiteral("\" (") + setting
            + QStringLiteral(") записан для Windows; укажите папку этой системы.");
#endif
    // Every connection empties the folder of transaction files: the root
    // and the home folder are no places for them.
    auto same = [](const QString &a, const QString &b) {
        const QString ca = QFileInfo(a).canonicalFilePath(), cb = QFileInfo(b).canonicalFilePath();
        if (!ca.isEmpty() && !cb.isEmpty())
            return ca == cb;
        return QDir::cleanPath(QFileInfo(a).absoluteFilePath()) == QDir::cleanPath(QFileInfo(b).absoluteFilePath());
    };
    if (same(folder, QDir::rootPath()))
        return QStringLiteral("корневая папка \"") + folder + QStringLiteral("\" (") + setting
            + QStringLiteral(") не может быть папкой файлов транзакций; укажите отдельную папку.");
    if (same(folder, QDir::homePath()))
        return QStringLiteral("домашняя папка пользователя \"") + folder + QStringLiteral("\" (") + setting
            + QStringLiteral(") не может быть папкой файлов транзакций; укажите отдельную папку.");
    return QString();
}

bool IsTransactionFileName(const QString &name, bool smartTrade)
{
    static const QRegularExpression quik(QStringLiteral("^.+\\.(tri|tro|trr)$"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression order(QStringLiteral("^trans_\\d+_\\d+_\\d+\\.new(\\.\\w+)?$"), QRegularExpression::CaseInsensitiveOption);
    return (smartTrade ? order : quik).match(name).hasMatch();
}

bool PriceNotPositive(const TSecData &S, double price)
{
    const QString written = FormatOrderPrice(S, price);
    bool digit = false;
    for (QChar c : written)
        digit = digit || (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
    return !digit || written.startsWith(QLatin1Char('-'));
}

quint64 FileIdByName(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return 0;
#else
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return static_cast<quint64>(st.st_ino);
#endif
}

qint64 FileSizeByName(const QString &path)
{
    // Only the file's attributes: the terminal keeps writing it.
    const QFileInfo info(path);
    return info.exists() && info.isFile() ? info.size() : 0;
}

QStringList SplitResultItems(const QString &line)
{
    QStringList items;
    QString current;
    for (QChar c : line) {
        if (c == QLatin1Char(';') || c == QLatin1Char('=')) {
            int b = 0, e = current.size();
            while (b < e && current[b].unicode() <= 0x20)
                ++b;
            while (e > b && current[e - 1].unicode() <= 0x20)
                --e;
            items << current.mid(b, e - b);
            current.clear();
        } else {
            current += c;
        }
    }
    return items;
}

TResultValues ReadResultValues(const QString &line)
{
    TResultValues v;
    const QStringList items = SplitResultItems(line);
    for (int p = 0; p + 1 < items.size(); ++p) {
        const QString &key = items[p];
        if (key == QLatin1String("TRANS_ID"))
            v.TransId = items[p + 1];
        else if (key == QLatin1String("STATUS"))
            v.Status = items[p + 1];
        else if (key == QLatin1String("TRANS_NAME"))
            v.TransName = items[p + 1];
        else if (key == QLatin1String("DESCRIPTION"))
            v.Description = items[p + 1];
        else if (key == QLatin1String("ORDER_NUMBER"))
            v.OrderNumber = items[p + 1];
    }
    if (v.Status.isEmpty())
        v.Status = QStringLiteral("-1");
    if (v.TransName.isEmpty())
        v.TransName = QStringLiteral(" \"\" ");
    if (v.Description.isEmpty())
        v.Description = QStringLiteral(" \"\" ");
    if (v.OrderNumber.isEmpty())
        v.OrderNumber = QStringLiteral("0");
    return v;
}

// ---------------------------------------------------------------------------
// The gateway: queue, counter, journal, files.

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
    row.tag = journalTag(number);
    row.lost = [number](const QString &error) {
        AddLog(QStringLiteral("Произошла ошибка во время отправки тразакции номер  ") + QString::number(number)
               + QStringLiteral(" в терминал.\r\nЗапись о транзакции не сохранена в журнале tOrderNumber: ") + error);
    };
    m_data.quikWrites.add(std::move(row));
}

QString Gateway::journalTag(qint32 transId) { return QStringLiteral("journal:") + QString::number(transId); }

QString Gateway::historyTag(qint64 session, qint32 transId)
{
    return QStringLiteral("history:") + QString::number(session) + QLatin1Char(':') + QString::number(transId);
}

void Gateway::requireRow(qint32 transId, const QString &tag)
{
    for (TPendingTransaction &t : PendingTransactions)
        if (t.TransId == transId)
            t.Rows << tag;
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
        const qint32 number = TransId;
        TPendingTransaction t;
        t.Destination = destination;
        t.SmartTrade = smartTrade;
        t.Text = smartTrade ? SmartTradeOrderText(O) : QuikTransactionLine(O, P, number);
        t.TransId = number;
        t.OrderId = O.OrderId;
        t.Filled = O.MarketOrder;
        t.Code = O.ClientCode;
        t.Queued = QDateTime::currentDateTime();
        // The line waits for its journal and history rows.
        t.Rows << journalTag(number);
        if (m_history)
            t.Rows << historyTag(Session, number);
        PendingTransactions.append(t);
        // Counted as soon as it is queued: whatever fails below, the next
        // transaction never carries the same number.
        TransId = TransId + 1;
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
    for (const TPendingTransaction &t : PendingTransactions)
        n += !rowsWritten(t);
    return n;
}

bool Gateway::hasPendingFor(const QString &destination) const
{
    for (const TPendingTransaction &t : PendingTransactions)
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
    for (int i = 0; i < PendingTransactions.size(); ++i)
        if (samePath(PendingTransactions[i].Destination, destination))
            mine << i;
    if (mine.isEmpty())
        return;
    // A line goes into its file once its rows are in the database (so that
    // a robot killed after it went out never sends its order again), and
    // never ahead of an earlier line of the same file.
    int ready = 0;
    while (ready < mine.size() && rowsWritten(PendingTransactions[mine[ready]]))
        ++ready;
    const bool waiting = ready < mine.size();
    if (waiting)
        reportWriteFailure(destination, QStringLiteral("Транзакции для ") + (smartTrade ? QStringLiteral("папки ") : QStringLiteral("файла "))
                                            + destination + QStringLiteral(" ждут сохранения своих записей в базе данных ")
                                            + m_data.conQuikData.path()
                                            + QStringLiteral(" и будут записаны, как только записи сохранятся."));
    mine = mine.mid(0, ready);
    if (mine.isEmpty())
        return;

    // What goes into the file, and where in it each text ends.
    QByteArray bytes;
    QList<qsizetype> ends;
    for (int i : mine) {
        const TPendingTransaction &t = PendingTransactions[i];
        bytes += t.Rest.isEmpty() ? cp1251::encode(t.Text) + "\r\n" : t.Rest;
        ends << bytes.size();
    }
    auto dropWritten = [&](int count) {
        for (int n = count - 1; n >= 0; --n)
            PendingTransactions.removeAt(mine[n]);
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
            AddLog(QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName
                   + QStringLiteral(", так как его не удалось создать."));
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
        AddLog(QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName + QStringLiteral(", файл не существует."));
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
            TPendingTransaction &cut = PendingTransactions[mine[whole]];
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

void Gateway::reportWriteFailure(const QString &destination, const QString &error)
{
    const QString key = QDir::cleanPath(QDir::fromNativeSeparators(destination));
    if (m_writeFailures.value(key) == error)
        return;
    m_writeFailures.insert(key, error);
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
    return PathInFolder(folder, QStringLiteral("trans_") + GetTimeStamp() + QLatin1Char('_') + QString::number(TransId) + QStringLiteral(".new"));
}

void Gateway::WritePendingTransactions()
{
    // Every destination that still holds texts gets another try, each with
    // its own file: a transaction never lands in another terminal's file.
    QStringList done;
    const QList<TPendingTransaction> pending = PendingTransactions;
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
    TROFiles.clear();
    if (m_settings.accountMode() == AccountMode::Single) {
        TTROData t;
        t.FileName = QStringLiteral("trans");
        TROFiles.append(t);
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
        TROFiles.append(t);
    }
}

void Gateway::emptyFolder(const QString &folder, bool smartTrade)
{
    // The program's own files are never deleted, whatever folder is set.
    QStringList keep;
    for (const QString &p : m_protected)
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal"),
                                      QStringLiteral(".lock")}) {
            const QString canonical = QFileInfo(p + suffix).canonicalFilePath();
            if (!canonical.isEmpty())
                keep << canonical;
        }
    // Only the files the robot makes there: a folder set to one that holds
    // other files loses none of them.
    QDir dir(folder);
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    QStringList deleted;
    struct Tell {
        const QDir &dir;
        const QStringList &names;
        ~Tell()
        {
            if (names.isEmpty())
                return;
            QStringList shown = names.mid(0, 20);
            if (names.size() > 20)
                shown << QStringLiteral("и еще ") + QString::number(names.size() - 20);
            AddLog(QStringLiteral("Из папки ") + QDir::toNativeSeparators(dir.path()) + QStringLiteral(" удалены прежние файлы транзакций: ")
                   + shown.join(QStringLiteral(", ")) + QStringLiteral("."));
        }
    } tell{dir, deleted};
    for (const QString &f : files) {
        if (!IsTransactionFileName(f, smartTrade) || keep.contains(QFileInfo(dir.filePath(f)).canonicalFilePath()))
            continue;
        if (!dir.remove(f))
            throw KorvinaError(QStringLiteral("Не удается удалить файл ") + dir.filePath(f));
        deleted << f;
    }
}

void Gateway::JournalPending()
{
    for (const TPendingTransaction &t : PendingTransactions) {
        m_data.quikWrites.remove(QStringLiteral("journal:") + QString::number(t.TransId));
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
        TransId = m_settings.edtTrans_id;
        m_firstNumber = TransId;
        const qint64 previous = Session;
        Session = m_nextSession > Session ? m_nextSession : Session + 1;
        checkHistory();
        m_sent.clear();
        // Texts still waiting for their file belong to files about to be
        // deleted and carry numbers of the old series: they go into the new
        // files, each with a new number and its journal row, while they are
        // within the resume window; an older one is told and dropped.
        QHash<qint32, qint32> carried;
        QSet<qint32> stillQueued;
        const QDateTime now = QDateTime::currentDateTime();
        for (auto it = PendingTransactions.begin(); it != PendingTransactions.end();) {
            TPendingTransaction &t = *it;
            const qint32 old = t.TransId;
            stillQueued.insert(old);
            if (!youngEnough(t.Queued, now)) {
                m_data.quikWrites.remove(journalTag(old));
                AddLog(QStringLiteral("Транзакция # ") + QString::number(old)
                       + QStringLiteral(" не была записана до создания новых файлов и не отправляется: ") + ageText(t.Queued, now)
                       + QStringLiteral(": ") + t.Text);
                it = PendingTransactions.erase(it);
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
        emit seriesStarted(Session);
        // What was found in the old files and what is carried over is in the
        // database before those files go: a robot killed from here on finds
        // it there, not in files that are gone.
        commitBeforeFiles("до удаления прежних файлов");

        QDir folder(dir);
        if (!folder.exists() && !QDir().mkdir(dir))
            throw KorvinaError(QStringLiteral("Не удается создать папку ") + dir);
        emptyFolder(dir, false);
        QStringList names;
        if (m_settings.accountMode() == AccountMode::Single)
            names << QStringLiteral("trans");
        else
            for (const TTROData &t : TROFiles)
                names << t.FileName;
        for (const QString &n : names)
            for (const char *ext : {".tri", ".tro", ".trr"}) {
                QFile f(PathInFolder(dir, n + QLatin1String(ext)));
                if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                    throw KorvinaError(QStringLiteral("Не удается создать файл ") + f.fileName() + QStringLiteral(": ") + f.errorString());
            }
        // The files on disk now belong to the new series, before any line
        // goes into them.
        FilesSession = Session;
        emit filesMade(Session);
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
            emptyFolder(st, true);
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("При удалении всех файлов из папки ") + st + QStringLiteral(" произошла ошибка: \r\n") + failureText(e));
    }
    // What was carried over goes out at once, into the new files.
    WritePendingTransactions();
    emit countersChanged();
    FlushLog();
}
