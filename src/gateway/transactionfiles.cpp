#include "transactionfiles.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "data/datmod.h"
#include "engine/positionbook.h"
#include "engine/robot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
// The robot's side: queue, counter, journal, files.

void Robot::SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination)
{
    qint32 number = TransId;
    try {
        if ((O.Quantity > 0 || P.KillOrders) && !O.Account.isEmpty()) {
            const bool smartTrade = m_settings.rgpTerminal == 1;
            const QString text = smartTrade ? SmartTradeOrderText(O) : QuikTransactionLine(O, P, TransId);
            PendingTransactions.append({destination, smartTrade, text});
            // Counted as soon as it is queued: whatever fails below, the
            // next transaction never carries the same number.
            number = TransId;
            TransId = TransId + 1;

            m_data.conQuikData.execute(
                QStringLiteral("INSERT INTO tOrderNumber (trans_id, id_order, filled, code)\r\nVALUES (:trans_id, :id_order, :filled, :code)"),
                {{QStringLiteral("trans_id"), number},
                 {QStringLiteral("id_order"), O.OrderId},
                 {QStringLiteral("filled"), O.MarketOrder ? 1 : 0},
                 {QStringLiteral("code"), O.ClientCode}});

            const QString price = FormatOrderPrice(O.SecData, O.Price);
            QString D;
            if (P.Kind == 0) {
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
            if (P.Kind == 0) {
                if (m_settings.chSendTrans_Id)
                    Notify(QStringLiteral("Транзакция номер ") + QString::number(number) + D + QStringLiteral(" отправлена."));
                AddOpenPosition(m_data, O, P);
            }
        } else {
            AddLog(QStringLiteral("Ордер #") + QString::number(O.OrderId) + QStringLiteral(" по счету ") + O.ClientCode
                   + QStringLiteral(" и инструменту \"") + O.SecData.SecCode
                   + QStringLiteral("\"  не исполнен: количество  должно быть положительным!"));
        }
        if (P.Kind == 0) {
            DeleteOpenPositions(m_data, O, P);
            if (m_dispatching > 0)
                m_bookChanged = true;
            else
                RefreshDataSet(m_data.tClientOpenPositions);
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Произошла ошибка во время отправки тразакции номер  ") + QString::number(number)
               + QStringLiteral(" в терминал.\r\n") + failureText(e));
    }
    UpdateStatusBar();
}

bool Robot::hasPendingFor(const QString &destination) const
{
    for (const TPendingTransaction &t : PendingTransactions)
        if (t.Destination == destination)
            return true;
    return false;
}

void Robot::WriteTransactions(const QString &fileName)
{
    const bool smartTrade = m_settings.rgpTerminal == 1;
    writeQueue(fileName, smartTrade ? QFileInfo(fileName).path() : fileName, smartTrade);
}

void Robot::writeQueue(const QString &fileName, const QString &destination, bool smartTrade)
{
    QStringList texts;
    for (const TPendingTransaction &t : PendingTransactions)
        if (samePath(t.Destination, destination))
            texts << t.Text;
    if (texts.isEmpty())
        return;

    QFile file(fileName);
    if (!smartTrade) {
        if (!QFileInfo::exists(fileName)) {
            AddLog(QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName + QStringLiteral(", файл не существует."));
            return;
        }
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            throw KorvinaError(QStringLiteral("Не удается открыть файл ") + fileName + QStringLiteral(": ") + file.errorString());
    } else if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        AddLog(QStringLiteral("Ошибка! Транзакции не были записаны в файл ") + fileName
               + QStringLiteral(", так как его не удалось создать."));
        return;
    }
    QByteArray bytes;
    for (const QString &t : texts)
        bytes += cp1251::encode(t) + "\r\n";
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    const QString error = file.errorString();
    file.close();
    if (!written)
        throw KorvinaError(QStringLiteral("Ошибка записи в файл ") + fileName + QStringLiteral(": ") + error);
    for (int i = PendingTransactions.size() - 1; i >= 0; --i)
        if (samePath(PendingTransactions[i].Destination, destination))
            PendingTransactions.removeAt(i);
}

bool Robot::samePath(const QString &a, const QString &b)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(a)) == QDir::cleanPath(QDir::fromNativeSeparators(b));
}

QString Robot::SmartTradeFileName(const QString &folder) const
{
    return PathInFolder(folder, QStringLiteral("trans_") + GetTimeStamp() + QLatin1Char('_') + QString::number(TransId) + QStringLiteral(".new"));
}

void Robot::WritePendingTransactions()
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
            AddLog(failureText(e));
        }
    }
}

void Robot::BuildTROFiles()
{
    TROFiles.clear();
    if (m_settings.rgpSingleMulti == 0) {
        TROFiles.append({0, QStringLiteral("trans"), 0, 0});
        return;
    }
    m_data.tQuik.Open();
    DataSet &q = m_data.qActiveQuik;
    q.Close();
    q.Open();
    for (int r = 0; r < q.RecordCount(); ++r)
        TROFiles.append({q.value(r, QStringLiteral("id_quik")).toInt(), q.value(r, QStringLiteral("quik")).toString(), 0, 0});
}

void Robot::PrepareTransactionFiles()
{
    const QString dir = m_settings.edtdirTT;
    try {
        TransId = m_settings.edtTrans_id;
        QDir folder(dir);
        if (!folder.exists() && !QDir().mkdir(dir))
            throw KorvinaError(QStringLiteral("Не удается создать папку ") + dir);
        const QStringList files = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &f : files)
            if (!folder.remove(f))
                throw KorvinaError(QStringLiteral("Не удается удалить файл ") + folder.filePath(f));
        QStringList names;
        if (m_settings.rgpSingleMulti == 0)
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
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("При создании файлов транзакций в папке") + dir + QStringLiteral(" произошла ошибка: \r\n") + failureText(e));
    }
    const QString st = m_settings.edtDirSmartTrade;
    try {
        QDir folder(st);
        // A folder that is not there holds no files to delete.
        const QStringList files = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &f : files)
            if (!folder.remove(f))
                throw KorvinaError(QStringLiteral("Не удается удалить файл ") + folder.filePath(f));
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("При удалении всех файлов из папки ") + st + QStringLiteral(" произошла ошибка: \r\n") + failureText(e));
    }
    FlushLog();
}
