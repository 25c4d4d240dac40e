#include "transactionfiles.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"

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
    // and the home folder are no places for them. (Asked at every write and
    // check: the answer for the folder and home last asked about is kept.)
    enum class Place { Other, Root, Home };
    thread_local QString askedFolder, askedHome;
    thread_local Place place = Place::Other;
    const QString home = QDir::homePath();
    if (folder != askedFolder || home != askedHome) {
        auto same = [](const QString &a, const QString &b) {
            const QString ca = QFileInfo(a).canonicalFilePath(), cb = QFileInfo(b).canonicalFilePath();
            if (!ca.isEmpty() && !cb.isEmpty())
                return ca == cb;
            return QDir::cleanPath(QFileInfo(a).absoluteFilePath()) == QDir::cleanPath(QFileInfo(b).absoluteFilePath());
        };
        place = same(folder, QDir::rootPath()) ? Place::Root : same(folder, home) ? Place::Home : Place::Other;
        askedFolder = folder;
        askedHome = home;
    }
    if (place == Place::Root)
        return QStringLiteral("корневая папка \"") + folder + QStringLiteral("\" (") + setting
            + QStringLiteral(") не может быть папкой файлов транзакций; укажите отдельную папку.");
    if (place == Place::Home)
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

QString JournalTag(qint32 transId) { return QStringLiteral("journal:") + QString::number(transId); }

QString Unquoted(const QString &v)
{
    const QString t = v.trimmed();
    if (t.size() >= 2 && t.startsWith(QLatin1Char('"')) && t.endsWith(QLatin1Char('"')))
        return t.mid(1, t.size() - 2);
    return t;
}

QStringList EmptyTransactionFolder(const QString &folder, bool smartTrade, const QStringList &protectedFiles)
{
    // The program's own files are never deleted, whatever folder is set.
    QStringList keep;
    for (const QString &p : protectedFiles)
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
    return deleted;
}
