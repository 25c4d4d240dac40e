#include "connectioncheck.h"

#include "config/settings.h"
#include "data/database.h"
#include "data/databaseaddress.h"
#include "data/schema.h"
#include "gateway/gateway.h"
#include "gateway/transactionfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QThread>

#include <memory>

namespace {

using Line = ConnectionCheck::Line;
using Status = ConnectionCheck::Status;

// A few names of a list: "a, b, c и еще 4".
QString someOf(const QStringList &names, int shown = 6)
{
    if (names.size() <= shown)
        return names.join(QStringLiteral(", "));
    return names.mid(0, shown).join(QStringLiteral(", ")) + QStringLiteral(" и еще ") + QString::number(names.size() - shown);
}

QString timeText(const QDateTime &t) { return t.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")); }

QString native(const QString &path) { return QDir::toNativeSeparators(path); }

// A database as it may be shown: a file in the system's form, a server's
// URI without its password.
QString database(const QString &path) { return DatabaseAddress::isServer(path) ? DatabaseAddress::shown(path) : native(path); }

// The worse of two statuses: a problem over what cannot be told over OK.
Status worse(Status a, Status b)
{
    if (a == Status::Problem || b == Status::Problem)
        return Status::Problem;
    if (a == Status::Unknown || b == Status::Unknown)
        return Status::Unknown;
    return Status::Ok;
}

struct Terminal {
    int id = 0;
    bool active = false;
    QString name;
    QString path;
};

// What the looks share: the two connections of the check's own and the
// terminal list.
struct Scene {
    Database alerts{QStringLiteral("check-alerts")};
    Database quik{QStringLiteral("check-quikdata")};
    QString alertsError;
    QString quikError;
    bool terminalsRead = false;
    QVector<Terminal> terminals;

    // The table's name as the database spells it; empty when it has none.
    static QString actualName(const Database &db, const QString &table)
    {
        for (const QString &t : db.tables())
            if (t.compare(table, Qt::CaseInsensitive) == 0)
                return t;
        return QString();
    }
};

// The columns of `def` that the database's table lacks (letter case ignored).
QStringList missingColumns(const Database &db, const QString &actual, const schema::Table &def)
{
    const QSqlRecord record = db.handle().record(actual);
    QSet<QString> have;
    for (int i = 0; i < record.count(); ++i)
        have.insert(record.fieldName(i).toCaseFolded());
    QStringList missing;
    for (const schema::Column &c : def.columns)
        if (!have.contains(c.name.toCaseFolded()))
            missing << c.name;
    return missing;
}

// The rows of a count; -1 when it cannot be read.
qint64 rowCount(Database &db, const QString &table)
{
    try {
        const Database::Rows r = db.fetch(QStringLiteral("SELECT Count(*) AS n FROM [") + table + QLatin1Char(']'));
        return r.rows.isEmpty() ? -1 : r.rows[0].value(0).toLongLong();
    } catch (const KorvinaError &) {
        return -1;
    }
}

// Tables and columns of a database measured against their definitions.
struct TableCheck {
    QStringList missingTables;
    QStringList missingColumns; // table.column
    void need(const Database &db, const QString &table, const schema::Table &def)
    {
        const QString actual = Scene::actualName(db, table);
        if (actual.isEmpty()) {
            missingTables << table;
            return;
        }
        for (const QString &c : ::missingColumns(db, actual, def))
            missingColumns << table + QLatin1Char('.') + c;
    }
    bool complete() const { return missingTables.isEmpty() && missingColumns.isEmpty(); }
    QString found() const
    {
        QStringList parts;
        if (!missingTables.isEmpty())
            parts << QStringLiteral("нет таблиц: ") + someOf(missingTables);
        if (!missingColumns.isEmpty())
            parts << QStringLiteral("нет столбцов: ") + someOf(missingColumns);
        return parts.join(QStringLiteral("; "));
    }
};

const QString kGuide = QStringLiteral("справка, раздел «Подключение к терминалу и платформе»");

Line lookAlerts(Scene &s, const QString &path)
{
    Line l{QStringLiteral("alerts"), QStringLiteral("База оповещений"), Status::Ok, QString()};
    if (!s.alerts.isOpen()) {
        l.status = Status::Problem;
        l.text = database(path) + QStringLiteral(" не открывается: ") + s.alertsError
            + QStringLiteral(". Укажите базу оповещений платформы стратегий (Настройки → Терминалы → «База данных Omega Research "
                             "Alerts:»).");
        return l;
    }
    TableCheck c;
    for (const schema::Table &t : schema::alertTables())
        c.need(s.alerts, t.name, t);
    if (c.complete()) {
        l.text = database(path) + QStringLiteral(": открыта, таблицы и столбцы на месте.");
        return l;
    }
    l.status = Status::Problem;
    l.text = database(path) + QStringLiteral(": ") + c.found()
        + QStringLiteral(". Это не база оповещений платформы или не той версии: таблицы и столбцы — ") + kGuide + QLatin1Char('.');
    return l;
}

Line lookQuikData(Scene &s, const QString &path, bool multi)
{
    Line l{QStringLiteral("quikdata"), QStringLiteral("База QuikData"), Status::Ok, QString()};
    if (!s.quik.isOpen()) {
        l.status = Status::Problem;
        l.text = database(path) + QStringLiteral(" не открывается: ") + s.quikError
            + QStringLiteral(". Укажите базу робота (Настройки → Терминалы → «База данных QuikData:»); новую создает korvina-db "
                             "create quikdata.");
        return l;
    }
    const QStringList exports = ConnectionCheck::exportTablesRead();
    const QSet<QString> madeByRobot{QStringLiteral("tOrderHistory"), QStringLiteral("tRobotState")};
    TableCheck own, exported, terminals;
    for (const schema::Table &t : schema::quikDataTables()) {
        // The robot adds its history and state tables at its first connection.
        if (madeByRobot.contains(t.name) && Scene::actualName(s.quik, t.name).isEmpty())
            continue;
        (exports.contains(t.name) ? exported : own).need(s.quik, t.name, t);
    }
    QStringList numbers;
    if (multi && s.terminalsRead) {
        for (const Terminal &t : std::as_const(s.terminals)) {
            numbers << QString::number(t.id);
            for (const QString &base : schema::exportTables())
                terminals.need(s.quik, base + QString::number(t.id), *schema::findTable(schema::Kind::QuikData, base));
        }
    }
    QStringList found, todo;
    if (!own.complete()) {
        found << own.found();
        todo << QStringLiteral("таблицы робота есть в базе, которую создает korvina-db create quikdata");
    }
    if (!exported.complete()) {
        found << exported.found();
        todo << QStringLiteral("таблицы выгрузки терминала и их столбцы — ") + kGuide;
    }
    if (!terminals.complete()) {
        found << terminals.found();
        todo << QStringLiteral("таблицы терминалов режима MULTI создает кнопка «Создать таблицы ...» (Настройки → Терминалы) или "
                               "korvina-db tables");
    }
    if (multi && s.terminalsRead && s.terminals.isEmpty()) {
        found << QStringLiteral("список терминалов tQuik пуст");
        todo << QStringLiteral("добавьте терминалы (Настройки → Терминалы)");
    }
    if (found.isEmpty()) {
        l.text = database(path) + QStringLiteral(": открыта, таблицы и столбцы, которые читает робот, на месте")
            + (multi ? QStringLiteral(" (терминалы ") + numbers.join(QStringLiteral(", ")) + QLatin1Char(')') : QString())
            + QLatin1Char('.');
        return l;
    }
    l.status = Status::Problem;
    l.text = database(path) + QStringLiteral(": ") + found.join(QStringLiteral("; ")) + QStringLiteral(". Что сделать: ")
        + todo.join(QStringLiteral("; ")) + QLatin1Char('.');
    return l;
}

// One folder the transactions go to, and the setting that names it.
struct Folder {
    QString path;
    QString setting;
};

Line lookFolders(const QList<Folder> &folders, bool smartTrade)
{
    Line l{QStringLiteral("folder"), smartTrade ? QStringLiteral("Папка заявок SmartTrade") : QStringLiteral("Папка транзакций"),
           Status::Ok, QString()};
    if (folders.isEmpty()) {
        // SmartTrade in MULTI mode: the folders are the active terminals' paths.
        l.status = Status::Unknown;
        l.text = QStringLiteral("папки терминалов не известны: список терминалов tQuik не прочитан или в нем нет активных терминалов.");
        return l;
    }
    QStringList problems, fine;
    for (const Folder &f : folders) {
        const QString shown = native(f.path);
        const QString wrong = FolderSettingProblem(f.path, f.setting);
        if (!wrong.isEmpty()) {
            problems << wrong.left(1).toUpper() + wrong.mid(1);
            continue;
        }
        const QFileInfo info(f.path);
        if (!info.exists()) {
            problems << QStringLiteral("Папки ") + shown
                    + QStringLiteral(" нет: робот создает ее при подключении — подключитесь («Подключиться») и проверьте снова.");
            continue;
        }
        if (!info.isDir()) {
            problems << shown + QStringLiteral(" — не папка: укажите папку (") + f.setting + QStringLiteral(").");
            continue;
        }
        QStringList others;
        for (const QFileInfo &e : QDir(f.path).entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
            if (!IsTransactionFileName(e.fileName(), smartTrade))
                others << e.fileName();
        QTemporaryFile probe(QDir(f.path).filePath(QStringLiteral(".korvina-check-XXXXXX")));
        if (!probe.open()) {
            problems << QStringLiteral("В папку ") + shown + QStringLiteral(" нельзя записать (") + probe.errorString()
                    + QStringLiteral("): дайте пользователю, под которым работает робот, право записи в нее.");
            continue;
        }
        probe.close();
        if (!others.isEmpty()) {
            problems << QStringLiteral("В папке ") + shown + QStringLiteral(" есть другие файлы (") + QString::number(others.size())
                    + QStringLiteral("): ") + someOf(others)
                    + QStringLiteral(". Держите в ней только файлы транзакций робота: их робот удаляет при каждом подключении, а "
                                     "терминал читает; чужие файлы перенесите в другую папку.");
            continue;
        }
        fine << shown;
    }
    if (problems.isEmpty()) {
        l.text = fine.join(QStringLiteral(", ")) + QStringLiteral(": запись возможна, других файлов нет.");
        return l;
    }
    l.status = Status::Problem;
    l.text = problems.join(QLatin1Char(' '));
    return l;
}

// The transaction numbers of a file's lines, in order (lines without one
// are skipped).
QStringList transIds(const QString &path)
{
    QFile f(path);
    QStringList ids;
    if (!f.open(QIODevice::ReadOnly))
        return ids;
    const QString text = QString::fromLatin1(f.readAll());
    for (const QString &line : text.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")), Qt::SkipEmptyParts)) {
        const QString id = ReadResultValues(line).TransId;
        if (!id.isEmpty())
            ids << id;
    }
    return ids;
}

struct Verdict {
    Status status;
    QString text;
};

Verdict lookAnswers(const QString &dirTT, const QString &set, const QDateTime &now)
{
    const QString tri = PathInFolder(dirTT, set + QStringLiteral(".tri"));
    const QString tro = PathInFolder(dirTT, set + QStringLiteral(".tro"));
    const QFileInfo triInfo(tri);
    if (!triInfo.exists())
        return {Status::Problem, set + QStringLiteral(": нет файла ") + native(tri)
                                     + QStringLiteral(" — подключите робота («Подключиться»), он создаст файлы, и включите в QUIK импорт "
                                                      "транзакций из этого файла")};
    const QStringList sent = transIds(tri);
    if (sent.isEmpty())
        return {Status::Unknown, set + QStringLiteral(": транзакций еще не было — ответ терминала будет виден после первой, пробной "
                                                      "заявки")};
    const QStringList answeredList = transIds(tro);
    const QSet<QString> answered(answeredList.cbegin(), answeredList.cend());
    int waiting = 0;
    for (const QString &id : sent)
        waiting += answered.contains(id) ? 0 : 1;
    if (waiting == 0)
        return {Status::Ok, set + QStringLiteral(": терминал ответил на все строки (") + QString::number(sent.size())
                                + QStringLiteral("), последний ответ в ") + timeText(QFileInfo(tro).lastModified())};
    const QDateTime written = triInfo.lastModified();
    if (written.secsTo(now) > Gateway::AnswerWaitSeconds)
        return {Status::Problem, set + QStringLiteral(": ") + QString::number(waiting) + QStringLiteral(" из ")
                                     + QString::number(sent.size()) + QStringLiteral(" строк без ответа в ") + native(tro)
                                     + QStringLiteral(" дольше минуты (последняя запись в ") + timeText(written)
                                     + QStringLiteral(") — импорт транзакций в QUIK, похоже, остановлен: запустите его снова на файле ")
                                     + native(tri) + QStringLiteral(" с результатами в ") + native(tro)};
    return {Status::Unknown, set + QStringLiteral(": ") + QString::number(waiting)
                                 + QStringLiteral(" строк ждут ответа терминала меньше минуты — проверьте еще раз через минуту")};
}

Line lookTerminal(const Scene &s, bool smartTrade, bool multi, const QString &dirTT, const QDateTime &now)
{
    Line l{QStringLiteral("terminal"), QStringLiteral("Ответы терминала"), Status::Ok, QString()};
    if (smartTrade) {
        l.status = Status::Unknown;
        l.text = QStringLiteral("SmartTrade не пишет ответов на файлы заявок — проверьте первую, пробную заявку в самом терминале.");
        return l;
    }
    QStringList sets;
    if (!multi) {
        sets << QStringLiteral("trans");
    } else if (!s.terminalsRead) {
        l.status = Status::Unknown;
        l.text = QStringLiteral("список терминалов tQuik не прочитан (см. строку базы QuikData).");
        return l;
    } else {
        for (const Terminal &t : s.terminals)
            if (t.active)
                sets << t.name;
        if (sets.isEmpty()) {
            l.status = Status::Problem;
            l.text = QStringLiteral("нет активных терминалов: отметьте «Активен» у терминалов, на которые идут транзакции (Настройки → "
                                    "Терминалы).");
            return l;
        }
    }
    QStringList parts;
    l.status = Status::Ok;
    for (const QString &set : sets) {
        const Verdict v = lookAnswers(dirTT, set, now);
        l.status = worse(l.status, v.status);
        parts << v.text;
    }
    l.text = parts.join(QStringLiteral("; ")) + QLatin1Char('.');
    return l;
}

// The time of a quote's last trade: a date and time, or a time alone
// (the last such time of day up to now: today's, or yesterday's when it is
// later than now).
QDateTime lastTradeTime(const QVariant &v, const QDateTime &now)
{
    const QDateTime t = dateTimeValue(v);
    if (t.isValid())
        return t;
    const QString text = v.toString().trimmed();
    QTime time = QTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QTime::fromString(text, QStringLiteral("H:mm:ss"));
    if (!time.isValid())
        return QDateTime();
    const QDateTime today(now.date(), time);
    return today > now ? today.addDays(-1) : today;
}

Line notConnected(const QString &id, const QString &title)
{
    return {id, title, Status::Unknown, QStringLiteral("нет подключения к базе QuikData (см. строку выше).")};
}

Line lookQuotes(Scene &s, const QDateTime &now)
{
    const QString title = QStringLiteral("Котировки");
    if (!s.quik.isOpen())
        return notConnected(QStringLiteral("quotes"), title);
    Line l{QStringLiteral("quotes"), title, Status::Ok, QString()};
    Database::Rows rows;
    try {
        rows = s.quik.fetch(QStringLiteral("SELECT timelast FROM tParam"));
    } catch (const KorvinaError &e) {
        l.status = Status::Problem;
        l.text = QStringLiteral("таблица tParam не читается: ") + e.message() + QStringLiteral(". Таблица и ее столбцы — ") + kGuide
            + QLatin1Char('.');
        return l;
    }
    if (rows.rows.isEmpty()) {
        l.status = Status::Problem;
        l.text = QStringLiteral("таблица котировок tParam пуста: настройте в QUIK вывод таблицы текущих торгов в tParam (") + kGuide
            + QStringLiteral(").");
        return l;
    }
    QDateTime newest;
    for (const auto &r : std::as_const(rows.rows)) {
        const QDateTime t = lastTradeTime(r.value(0), now);
        if (t.isValid() && (!newest.isValid() || t > newest))
            newest = t;
    }
    const QString count = QStringLiteral("строк: ") + QString::number(rows.rows.size());
    if (!newest.isValid()) {
        l.status = Status::Unknown;
        l.text = count + QStringLiteral("; в них нет времени последней сделки (timelast), поэтому свежесть котировок не проверить: "
                                        "выводите в timelast время последней сделки.");
        return l;
    }
    if (newest.secsTo(now) <= ConnectionCheck::QuotesFreshMinutes * 60) {
        l.text = count + QStringLiteral(", последняя сделка в ") + timeText(newest) + QLatin1Char('.');
        return l;
    }
    l.status = Status::Problem;
    l.text = count + QStringLiteral(", последняя сделка в ") + timeText(newest) + QStringLiteral(", больше ")
        + QString::number(ConnectionCheck::QuotesFreshMinutes)
        + QStringLiteral(" мин назад: QUIK не обновляет tParam — проверьте вывод таблицы текущих торгов и связь терминала с сервером "
                         "(вне торговой сессии так и должно быть).");
    return l;
}

Line lookLimits(Scene &s, bool multi)
{
    const QString title = QStringLiteral("Лимиты");
    if (!s.quik.isOpen())
        return notConnected(QStringLiteral("limits"), title);
    Line l{QStringLiteral("limits"), title, Status::Unknown, QString()};
    QStringList suffixes;
    if (!multi)
        suffixes << QString();
    else
        for (const Terminal &t : std::as_const(s.terminals))
            suffixes << QString::number(t.id);
    qint64 total = 0;
    bool anyTable = false;
    for (const QString &suffix : std::as_const(suffixes))
        for (const char *base : {"tLimitStock", "tLimitFut", "tLimitMoney"}) {
            const QString table = QLatin1String(base) + suffix;
            if (Scene::actualName(s.quik, table).isEmpty())
                continue;
            const qint64 n = rowCount(s.quik, table);
            if (n > 0)
                total += n;
            anyTable = anyTable || n >= 0;
        }
    if (!anyTable) {
        l.text = QStringLiteral("таблиц лимитов нет (см. строку базы QuikData).");
        return l;
    }
    if (total == 0) {
        l.status = Status::Problem;
        l.text = QStringLiteral("таблицы лимитов пусты: настройте в QUIK вывод лимитов по бумагам, фьючерсам и деньгам (") + kGuide
            + QStringLiteral(").");
        return l;
    }
    l.text = QStringLiteral("строк: ") + QString::number(total)
        + QStringLiteral(". Когда они обновлялись, не узнать: в строках лимитов нет времени, а ")
        + (s.quik.server() ? QStringLiteral("базу данных") : QStringLiteral("файл базы"))
        + QStringLiteral(" пишет и сам робот. Сверьте позиции на странице «Лимиты» с таблицами лимитов в QUIK.");
    return l;
}

Line lookFilters(Scene &s)
{
    const QString title = QStringLiteral("Рабочие области и стратегии");
    if (!s.quik.isOpen())
        return notConnected(QStringLiteral("filters"), title);
    Line l{QStringLiteral("filters"), title, Status::Ok, QString()};
    const qint64 workspaces = rowCount(s.quik, QStringLiteral("tWorkSpaces"));
    const qint64 strategies = rowCount(s.quik, QStringLiteral("tStrategy"));
    QStringList missing;
    if (workspaces <= 0)
        missing << QStringLiteral("ни одной отслеживаемой рабочей области (tWorkSpaces)");
    if (strategies <= 0)
        missing << QStringLiteral("ни одной отслеживаемой стратегии (tStrategy)");
    if (missing.isEmpty()) {
        l.text = QStringLiteral("рабочих областей: ") + QString::number(workspaces) + QStringLiteral(", стратегий: ")
            + QString::number(strategies) + QLatin1Char('.');
        return l;
    }
    l.status = Status::Problem;
    l.text = QStringLiteral("нет ") + missing.join(QStringLiteral(" и "))
        + QStringLiteral(": робот не возьмет ни одного ордера — добавьте их (Настройки → Фильтры).");
    return l;
}

Line lookClients(Scene &s, bool multi, const QString &code, const QString &micex, const QString &forts)
{
    const QString title = QStringLiteral("Клиенты");
    Line l{QStringLiteral("clients"), title, Status::Ok, QString()};
    if (!multi) {
        QStringList missing;
        if (code.trimmed().isEmpty())
            missing << QStringLiteral("код клиента");
        if (micex.trimmed().isEmpty() && forts.trimmed().isEmpty())
            missing << QStringLiteral("счет на ММВБ или на FORTS");
        if (missing.isEmpty()) {
            l.text = QStringLiteral("режим SINGLE: код ") + code + QStringLiteral(", счет ММВБ ")
                + (micex.isEmpty() ? QStringLiteral("не задан") : micex) + QStringLiteral(", счет FORTS ")
                + (forts.isEmpty() ? QStringLiteral("не задан") : forts) + QLatin1Char('.');
            return l;
        }
        l.status = Status::Problem;
        l.text = QStringLiteral("режим SINGLE: не задан ") + missing.join(QStringLiteral(" и "))
            + QStringLiteral(" — укажите их (Настройки → Терминалы).");
        return l;
    }
    if (!s.quik.isOpen())
        return notConnected(QStringLiteral("clients"), title);
    Database::Rows rows;
    try {
        rows = s.quik.fetch(QStringLiteral("SELECT Code, client, AccountMicex, AccountFORTS, MicexEnb, FortsEnb, id_quik\r\n"
                                           "FROM tClients\r\nWHERE [tClients].[Active] = True\r\nORDER BY id"));
    } catch (const KorvinaError &e) {
        l.status = Status::Problem;
        l.text = QStringLiteral("таблица клиентов tClients не читается: ") + e.message();
        return l;
    }
    if (rows.rows.isEmpty()) {
        l.status = Status::Problem;
        l.text = QStringLiteral("нет активных клиентов: робот никому не отправит заявок — отметьте «Активен» у клиентов (Сервис → "
                                "Клиенты...).");
        return l;
    }
    QStringList wrong;
    for (const auto &r : std::as_const(rows.rows)) {
        const QString clientCode = r.value(0).toString().trimmed();
        QStringList what;
        if (clientCode.isEmpty())
            what << QStringLiteral("нет кода");
        const bool micexOn = r.value(4).toBool(), fortsOn = r.value(5).toBool();
        const QString accountMicex = r.value(2).toString().trimmed(), accountForts = r.value(3).toString().trimmed();
        if (accountMicex.isEmpty() && accountForts.isEmpty())
            what << QStringLiteral("нет счета");
        else {
            if (micexOn && accountMicex.isEmpty())
                what << QStringLiteral("нет счета ММВБ");
            if (fortsOn && accountForts.isEmpty())
                what << QStringLiteral("нет счета FORTS");
        }
        const int terminal = r.value(6).toInt();
        const Terminal *found = nullptr;
        for (const Terminal &t : std::as_const(s.terminals))
            if (t.id == terminal)
                found = &t;
        if (r.value(6).isNull())
            what << QStringLiteral("нет терминала");
        else if (!found)
            what << QStringLiteral("терминала ") + QString::number(terminal) + QStringLiteral(" нет в списке");
        else if (!found->active)
            what << QStringLiteral("терминал ") + found->name + QStringLiteral(" не активен");
        if (!what.isEmpty())
            wrong << (clientCode.isEmpty() ? r.value(1).toString() : clientCode) + QStringLiteral(" (") + what.join(QStringLiteral(", "))
                    + QLatin1Char(')');
    }
    if (wrong.isEmpty()) {
        l.text = QStringLiteral("активных клиентов: ") + QString::number(rows.rows.size())
            + QStringLiteral(", у каждого есть код, счет и терминал.");
        return l;
    }
    l.status = Status::Problem;
    l.text = QStringLiteral("у активных клиентов не хватает данных: ") + someOf(wrong, 5)
        + QStringLiteral(" — дополните их (Сервис → Клиенты...).");
    return l;
}

// Whether the mail server takes a connection (and the login, when one is
// set), as a notification makes it; nothing is sent and nothing logged.
bool mailServerAnswers(const MailSettings &mail, std::chrono::milliseconds timeout)
{
    SmtpNotifier smtp([mail] { return mail; });
    smtp.setLog([](const QString &) {}, [] {});
    smtp.setTimeouts(timeout, timeout * 2);
    if (!smtp.SmtpConnect())
        return false;
    smtp.SmtpDisconnect();
    return true;
}

Line lookMail(bool notify, const MailSettings &mail, std::chrono::milliseconds timeout)
{
    Line l{QStringLiteral("mail"), QStringLiteral("Почта"), Status::Ok, QString()};
    if (!notify) {
        l.text = QStringLiteral("уведомления по почте выключены — проверять нечего.");
        return l;
    }
    const QString server = mail.SMTP + QLatin1Char(':') + mail.Port;
    if (mail.Email1.trimmed().isEmpty() && mail.Email2.trimmed().isEmpty()) {
        l.status = Status::Problem;
        l.text = QStringLiteral("уведомления включены, но не задан ни один адрес получателя — укажите E-Mail 1 или E-Mail 2 "
                                "(Настройки → Сообщения).");
        return l;
    }
    if (mailServerAnswers(mail, timeout)) {
        l.text = QStringLiteral("сервер ") + server + QStringLiteral(" принял подключение")
            + (mail.Auten ? QStringLiteral(" и вход пользователя ") + mail.User : QString()) + QLatin1Char('.');
        return l;
    }
    l.status = Status::Problem;
    l.text = QStringLiteral("сервер ") + server + QStringLiteral(" не принял подключение за ")
        + QString::number(std::chrono::duration_cast<std::chrono::seconds>(timeout).count())
        + QStringLiteral(" с или не принял имя и пароль — проверьте сервер, порт и вход (Настройки → Сообщения, кнопка «Коннект»).");
    return l;
}

} // namespace

ConnectionCheck::ConnectionCheck(const Settings &settings)
    : m_alerts(settings.edtAlerts), m_quikData(settings.edtQuikData), m_multi(settings.accountMode() == AccountMode::Multi),
      m_smartTrade(settings.terminalKind() == TerminalKind::SmartTrade), m_dirTT(settings.edtdirTT),
      m_dirSmartTrade(settings.edtDirSmartTrade), m_code(settings.edtCode), m_accountMicex(settings.edtAccountMicex),
      m_accountForts(settings.edtAccountFORTS),
      m_notify(settings.chSendTrans_Id || settings.chSendTrans_done || settings.chSendQuikConnect),
      m_mail(MailSettings::fromSettings(settings))
{
}

QStringList ConnectionCheck::exportTablesRead() { return QStringList{QStringLiteral("tParam")} + schema::exportTables(); }

QList<ConnectionCheck::Line> ConnectionCheck::run() const
{
    Scene s;
    s.alerts.open(m_alerts, &s.alertsError);
    s.quik.open(m_quikData, &s.quikError);
    if (s.quik.isOpen() && !Scene::actualName(s.quik, QStringLiteral("tQuik")).isEmpty()) {
        try {
            const Database::Rows rows = s.quik.fetch(QStringLiteral("SELECT id_quik, active, quik, path FROM tQuik"));
            for (const auto &r : rows.rows)
                s.terminals.append({r.value(0).toInt(), r.value(1).toBool(), r.value(2).toString(), r.value(3).toString()});
            s.terminalsRead = true;
        } catch (const KorvinaError &) {
            // The terminal list cannot be read: the lines that need it say so.
        }
    }

    QList<Folder> folders;
    if (!m_smartTrade)
        folders << Folder{m_dirTT, QStringLiteral("[Quik] dirTT")};
    else if (!m_multi)
        folders << Folder{m_dirSmartTrade, QStringLiteral("[Quik] DirSmartTrade")};
    else
        for (const Terminal &t : std::as_const(s.terminals))
            if (t.active)
                folders << Folder{t.path, QStringLiteral("путь терминала ") + t.name};

    const QDateTime at = now();
    QList<Line> lines;
    lines << lookAlerts(s, m_alerts) << lookQuikData(s, m_quikData, m_multi) << lookFolders(folders, m_smartTrade)
          << lookTerminal(s, m_smartTrade, m_multi, m_dirTT, at) << lookQuotes(s, at) << lookLimits(s, m_multi) << lookFilters(s)
          << lookClients(s, m_multi, m_code, m_accountMicex, m_accountForts) << lookMail(m_notify, m_mail, m_mailTimeout);
    return lines;
}

void ConnectionCheck::runInBackground(QObject *receiver, std::function<void(const QList<Line> &)> done) const
{
    auto result = std::make_shared<QList<Line>>();
    const ConnectionCheck check = *this;
    QThread *thread = QThread::create([check, result] { *result = check.run(); });
    QObject::connect(thread, &QThread::finished, receiver, [result, done = std::move(done)] { done(*result); });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

bool ConnectionCheck::passed(const QList<Line> &lines)
{
    for (const Line &l : lines)
        if (l.status == Status::Problem)
            return false;
    return true;
}

QString ConnectionCheck::lineText(const Line &line)
{
    const QString status = line.status == Status::Ok        ? QStringLiteral("OK")
                           : line.status == Status::Problem ? QStringLiteral("ОШИБКА")
                                                            : QStringLiteral("НЕТ ДАННЫХ");
    return status + QStringLiteral(" — ") + line.title + QStringLiteral(": ") + line.text;
}

QString ConnectionCheck::report(const QList<Line> &lines)
{
    QStringList out;
    for (const Line &l : lines)
        out << lineText(l);
    return out.join(QLatin1Char('\n'));
}
