#include "sampleworkspace.h"

#include "databaseaddress.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"
#include "database.h"
#include "datmod.h"
#include "schema.h"
#include "terminaltables.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QTime>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace sample {

namespace {

using Row = QList<QPair<QString, QVariant>>;

struct Security {
    const char *ticker;
    const char *secCode;
    const char *classCode;
    const char *name;
    const char *className;
    int lotSize;
    int digits;
    double minMov;
    double pointValue;
    bool traded;
    double slippage;
    double fixVol;
    double part;
    const char *baseContract;
    double bid, offer, last, prev;
};

const Security kSecurities[] = {
    {"SBER", "SBER", "TQBR", "Сбербанк", "МБ ФР: Т+ Акции и ДР", 10, 2, 0.01, 1, true, 0.1, 30000, 20, "", 285.10,
     285.15, 285.12, 283.40},
    {"GAZP", "GAZP", "TQBR", "ГАЗПРОМ ао", "МБ ФР: Т+ Акции и ДР", 10, 2, 0.01, 1, true, 0.1, 30000, 20, "", 160.20,
     160.25, 160.22, 161.05},
    {"LKOH", "LKOH", "TQBR", "ЛУКОЙЛ", "МБ ФР: Т+ Акции и ДР", 1, 1, 0.5, 1, true, 0.2, 50000, 10, "", 6850.0, 6851.5,
     6850.5, 6822.0},
    {"VTBR", "VTBR", "TQBR", "ВТБ ао", "МБ ФР: Т+ Акции и ДР", 1, 3, 0.005, 1, false, 0.1, 20000, 5, "", 91.105,
     91.110, 91.105, 90.500},
    {"RI", "RIZ6", "SPBFUT", "RTS-12.26", "ФОРТС: Фьючерсы", 1, 0, 10, 13.6217, true, 0.05, 200000, 30, "RTS", 110250,
     110260, 110250, 109800},
};

const Security &security(const char *secCode)
{
    for (const Security &s : kSecurities)
        if (qstrcmp(s.secCode, secCode) == 0)
            return s;
    throw KorvinaError(QStringLiteral("Нет бумаги ") + QLatin1String(secCode) + QStringLiteral(" в демонстрационном справочнике"));
}

struct Holding {
    const char *secCode;
    double open;
    double current;
};

struct Client {
    const char *code;
    const char *name;
    const char *accountMicex;
    const char *accountForts;
    const char *note;
    bool active, longEnb, shortEnb;
    double leverage;
    bool micexEnb, fortsEnb, ebs;
    int idQuik;
    double money;      // roubles on the money limit
    double fortsLimit; // open limit of the FORTS account
    QList<Holding> holdings;
};

// The single account of SINGLE mode is the settings' default account: its
// code, MICEX and FORTS accounts are those the settings start with. Its
// exports are in the base tables; it is not active in MULTI mode.
const Client kSingle = {"111", "Счет режима SINGLE", "L01-00000F00", "SPBFUT", "Счет по умолчанию в настройках",
                        false, true, true, 0, true, true, false, 1, 432000, 300000,
                        {{"SBER", 200, 200}, {"GAZP", 300, 500}, {"RIZ6", 2, 2}}};

const Client kClients[] = {
    {"10001", "Иванов Иван Иванович", "L01-00000F01", "SPBFUT00001", "", true, true, true, 0, true, true, false, 1,
     250000, 300000, {{"SBER", 100, 100}, {"LKOH", 0, 5}, {"RIZ6", 0, 1}}},
    {"10002", "Петров Петр Петрович", "L01-00000F02", "SPBFUT00002", "Только длинные позиции", true, true, false, 1,
     true, false, false, 1, 180000, 100000, {{"GAZP", 1000, 1000}}},
    {"10003", "Сидоров Сидор Сидорович", "L01-00000F03", "SPBFUT00003", "Не следует за роботом", false, true, true, 0,
     true, true, false, 1, 90000, 0, {{"SBER", 50, 50}}},
    {"20001", "ООО Альфа", "L01-00000F04", "SPBFUT00004", "Единый счет", true, true, true, 0.5, true, true, true, 2,
     1000000, 500000, {{"SBER", 300, 300}, {"LKOH", 10, 10}, {"RIZ6", 3, 3}}},
    {"20002", "Козлов Алексей Петрович", "L01-00000F05", "SPBFUT00005", "Только фьючерсы", true, false, true, 0, false,
     true, false, 2, 120000, 250000, {{"GAZP", 0, 200}, {"RIZ6", -2, -2}}},
};

struct Group {
    const char *name;
    QList<const char *> members;
};

const Group kGroups[] = {
    {"Основная", {"10001", "10002", "20001"}},
    {"Фьючерсы", {"10001", "20001", "20002"}},
};

const char *kFirm = "MC0000100000";
const double kInitialMargin = 15000; // guarantee per futures contract

double round2(double v) { return std::round(v * 100.0) / 100.0; }

QString u(const char *s) { return QString::fromUtf8(s); }

QString ident(const QString &name) { return QLatin1Char('"') + name + QLatin1Char('"'); }

void insert(Database &db, const QString &table, const Row &row)
{
    QStringList cols, marks;
    QVariantMap params;
    for (int i = 0; i < row.size(); ++i) {
        const QString p = QStringLiteral("p%1").arg(i);
        cols << ident(row[i].first);
        marks << QLatin1Char(':') + p;
        params.insert(p, row[i].second);
    }
    db.native(QStringLiteral("INSERT INTO ") + ident(table) + QStringLiteral(" (") + cols.join(QStringLiteral(", "))
                  + QStringLiteral(") VALUES (") + marks.join(QStringLiteral(", ")) + QLatin1Char(')'),
              params)
        .finish();
}

// The counter the last INSERT of this connection gave.
qint64 lastId(Database &db)
{
    QSqlQuery q = db.native(db.server() ? QStringLiteral("SELECT lastval()") : QStringLiteral("SELECT last_insert_rowid()"));
    q.next();
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    return id;
}

bool isFutures(const Security &s) { return qstrcmp(s.classCode, "SPBFUT") == 0; }

// Money value of a quantity of a security at a price.
double value(const Security &s, double quantity, double price)
{
    if (isFutures(s))
        return quantity * price / s.minMov * s.pointValue;
    return quantity * price;
}

void fillReference(Database &db, const QString &quikDir)
{
    for (const Security &s : kSecurities) {
        insert(db, QStringLiteral("tSecCode"),
               {{QStringLiteral("SecCode"), u(s.secCode)},
                {QStringLiteral("FixVol"), s.fixVol},
                {QStringLiteral("Part"), s.part},
                {QStringLiteral("Traded"), s.traded},
                {QStringLiteral("LotSize"), s.lotSize},
                {QStringLiteral("Class_Code"), u(s.classCode)},
                {QStringLiteral("Ticker"), u(s.ticker)},
                {QStringLiteral("Slippage"), s.slippage},
                {QStringLiteral("Digits"), s.digits},
                {QStringLiteral("PointValue"), s.pointValue},
                {QStringLiteral("Base_Contract"), u(s.baseContract)},
                {QStringLiteral("MinMov"), s.minMov}});
    }

    const QDateTime lastTrade(QDate::currentDate(), QTime(18, 39, 59));
    int n = 0;
    for (const Security &s : kSecurities) {
        ++n;
        const double volume = 1000.0 * (n * 7 + 3);
        insert(db, QStringLiteral("tParam"),
               {{QStringLiteral("seccode"), u(s.secCode)},
                {QStringLiteral("bid"), s.bid},
                {QStringLiteral("offer"), s.offer},
                {QStringLiteral("open"), s.prev},
                {QStringLiteral("high"), std::max(s.offer, s.prev) + 10 * s.minMov},
                {QStringLiteral("low"), std::min(s.bid, s.prev) - 10 * s.minMov},
                {QStringLiteral("last"), s.last},
                {QStringLiteral("waprice"), (s.last + s.prev) / 2},
                {QStringLiteral("biddepth"), 120 * n},
                {QStringLiteral("biddeptht"), 45000 * n},
                {QStringLiteral("numbids"), 300 * n},
                {QStringLiteral("offerdepth"), 80 * n},
                {QStringLiteral("offerdeptht"), 52000 * n},
                {QStringLiteral("numoffers"), 280 * n},
                {QStringLiteral("qtylast"), 5 * n},
                {QStringLiteral("timelast"), lastTrade},
                {QStringLiteral("voltoday"), volume},
                {QStringLiteral("valtoday"), round2(value(s, volume * s.lotSize, s.last))},
                {QStringLiteral("vallast"), round2(value(s, 5.0 * n * s.lotSize, s.last))},
                {QStringLiteral("hibid"), s.bid + 20 * s.minMov},
                {QStringLiteral("lowoffer"), s.offer - 20 * s.minMov},
                {QStringLiteral("prevprice"), s.prev},
                {QStringLiteral("closeprice"), s.prev},
                {QStringLiteral("lastvalue"), round2(value(s, s.lotSize, s.last))},
                {QStringLiteral("currentvalue"), s.last},
                {QStringLiteral("openvalue"), s.prev},
                {QStringLiteral("chngopen"), s.last - s.prev},
                {QStringLiteral("lastchange"), round2((s.last - s.prev) / s.prev * 100)},
                {QStringLiteral("chngclose"), round2((s.last - s.prev) / s.prev * 100)},
                {QStringLiteral("numtrades"), 1500 * n},
                {QStringLiteral("lotsize"), s.lotSize},
                {QStringLiteral("Digits"), s.digits},
                {QStringLiteral("stock"), u(s.name)},
                {QStringLiteral("classname"), u(s.className)},
                {QStringLiteral("class_code"), u(s.classCode)},
                {QStringLiteral("Base_Contract"), u(s.baseContract)},
                {QStringLiteral("MinMov"), s.minMov},
                {QStringLiteral("PointValue"), isFutures(s) ? s.pointValue : 1.0}});
    }

    insert(db, QStringLiteral("tWorkSpaces"), {{QStringLiteral("workspace"), QStringLiteral("Demo.orw")}});
    insert(db, QStringLiteral("tStrategy"), {{QStringLiteral("strategy"), QStringLiteral("Demo MA Cross")}});

    for (int id : {1, 2})
        insert(db, QStringLiteral("tQuik"),
               {{QStringLiteral("id_quik"), id},
                {QStringLiteral("active"), true},
                {QStringLiteral("quik"), QStringLiteral("QUIK%1").arg(id)},
                {QStringLiteral("path"), quikDir}});

    QList<const Client *> all{&kSingle};
    for (const Client &c : kClients)
        all << &c;
    QMap<QString, qint64> idByCode;
    for (const Client *c : all) {
        insert(db, QStringLiteral("tClients"),
               {{QStringLiteral("Code"), u(c->code)},
                {QStringLiteral("client"), u(c->name)},
                {QStringLiteral("AccountMicex"), u(c->accountMicex)},
                {QStringLiteral("AccountFORTS"), u(c->accountForts)},
                {QStringLiteral("note"), u(c->note)},
                {QStringLiteral("Active"), c->active},
                {QStringLiteral("LongEnb"), c->longEnb},
                {QStringLiteral("ShortEnb"), c->shortEnb},
                {QStringLiteral("Leverage"), c->leverage},
                {QStringLiteral("MicexEnb"), c->micexEnb},
                {QStringLiteral("FortsEnb"), c->fortsEnb},
                {QStringLiteral("Ebs"), c->ebs},
                {QStringLiteral("id_quik"), c->idQuik}});
        idByCode.insert(u(c->code), lastId(db));
    }

    for (const Group &g : kGroups) {
        insert(db, QStringLiteral("tGroup"), {{QStringLiteral("group"), u(g.name)}});
        const qint64 idGroup = lastId(db);
        for (const char *code : g.members)
            insert(db, QStringLiteral("tGroupClients"),
                   {{QStringLiteral("id_group"), idGroup}, {QStringLiteral("id_client"), idByCode.value(u(code))}});
    }
}

// One client's rows in a terminal's export tables; suffix is "" for the base
// tables or the terminal's number.
void fillExports(Database &db, const Client &c, const QString &suffix)
{
    const QDate today = QDate::currentDate();
    auto table = [&](const char *base) { return QLatin1String(base) + suffix; };

    double openAssets = 0, curAssets = 0, longs = 0, shorts = 0;
    double futOpen = 0, futCur = 0;
    const Security *firstStock = nullptr;
    int minute = 0;
    for (const Holding &h : c.holdings) {
        const Security &s = security(h.secCode);
        if (isFutures(s)) {
            futOpen += h.open;
            futCur += h.current;
            insert(db, table("tLimitFut"),
                   {{QStringLiteral("account"), u(c.accountForts)},
                    {QStringLiteral("seccode"), u(s.secCode)},
                    {QStringLiteral("openbal"), h.open},
                    {QStringLiteral("currentbal"), h.current}});
        } else {
            if (!firstStock)
                firstStock = &s;
            const double v = value(s, h.current, s.last);
            curAssets += v;
            openAssets += value(s, h.open, s.prev);
            (v >= 0 ? longs : shorts) += v;
            insert(db, table("tLimitStock"),
                   {{QStringLiteral("firm"), u(kFirm)},
                    {QStringLiteral("code"), u(c.code)},
                    {QStringLiteral("seccode"), u(s.secCode)},
                    {QStringLiteral("openbal"), h.open},
                    {QStringLiteral("currentbal"), h.current}});
        }

        // What changed the position today was a filled order and its trade.
        const double change = h.current - h.open;
        if (change == 0)
            continue;
        const int lots = static_cast<int>(std::abs(change) / s.lotSize);
        const QString operation = change > 0 ? QStringLiteral("Купля") : QStringLiteral("Продажа");
        const QString account = u(isFutures(s) ? c.accountForts : c.accountMicex);
        const double volume = round2(value(s, lots * s.lotSize, s.last));
        const QTime at = QTime(10, 15).addSecs(60 * minute++);
        insert(db, table("tQuikOrders"),
               {{QStringLiteral("orderdate"), today},
                {QStringLiteral("ordertime"), at},
                {QStringLiteral("account"), account},
                {QStringLiteral("code"), u(c.code)},
                {QStringLiteral("stock"), u(s.name)},
                {QStringLiteral("Operation"), operation},
                {QStringLiteral("price"), s.last},
                {QStringLiteral("quantity"), lots},
                {QStringLiteral("balance"), 0},
                {QStringLiteral("volume"), volume},
                {QStringLiteral("status"), QStringLiteral("Исполнена")}});
        insert(db, table("tTrades"),
               {{QStringLiteral("tradetime"), at.addSecs(1)},
                {QStringLiteral("account"), account},
                {QStringLiteral("code"), u(c.code)},
                {QStringLiteral("stock"), u(s.name)},
                {QStringLiteral("Operation"), operation},
                {QStringLiteral("Price"), s.last},
                {QStringLiteral("Quantity"), lots},
                {QStringLiteral("volume"), volume}});
    }

    // A sell order above the market, still waiting.
    if (firstStock) {
        const Security &s = *firstStock;
        const double price = s.offer + 10 * s.minMov;
        insert(db, table("tQuikOrders"),
               {{QStringLiteral("orderdate"), today},
                {QStringLiteral("ordertime"), QTime(11, 30)},
                {QStringLiteral("account"), u(c.accountMicex)},
                {QStringLiteral("code"), u(c.code)},
                {QStringLiteral("stock"), u(s.name)},
                {QStringLiteral("Operation"), QStringLiteral("Продажа")},
                {QStringLiteral("price"), price},
                {QStringLiteral("quantity"), 1},
                {QStringLiteral("balance"), 1},
                {QStringLiteral("volume"), round2(price * s.lotSize)},
                {QStringLiteral("status"), QStringLiteral("Активна")}});
    }

    // Money: the trading limit, and the settlement tag that the views leave out.
    for (const char *tag : {"EQTV", "EQTS"})
        insert(db, table("tLimitMoney"),
               {{QStringLiteral("account"), u(c.accountMicex)},
                {QStringLiteral("code"), u(c.code)},
                {QStringLiteral("TAG"), u(tag)},
                {QStringLiteral("CURRCODE"), QStringLiteral("SUR")},
                {QStringLiteral("openbal"), c.money},
                {QStringLiteral("currentbal"), c.money}});

    const double openAll = c.money + openAssets;
    const double curAll = c.money + curAssets;
    insert(db, table("tPortfolio"),
           {{QStringLiteral("ddate"), QDateTime(today, QTime(18, 45))},
            {QStringLiteral("openassets"), round2(openAssets)},
            {QStringLiteral("shorts"), round2(shorts)},
            {QStringLiteral("longs"), round2(longs)},
            {QStringLiteral("curassets"), round2(curAssets)},
            {QStringLiteral("openallassets"), round2(openAll)},
            {QStringLiteral("curallassets"), round2(curAll)},
            {QStringLiteral("profitloss"), round2(curAll - openAll)},
            {QStringLiteral("fortsasset"), c.fortsLimit},
            {QStringLiteral("margin"), 0.0},
            {QStringLiteral("leverage"), 1.0 + c.leverage},
            {QStringLiteral("curleverage"), curAll != 0 ? round2((longs - shorts) / curAll) : 0.0},
            {QStringLiteral("change"), openAll != 0 ? round2((curAll - openAll) / openAll * 100) : 0.0},
            {QStringLiteral("firm"), u(kFirm)},
            {QStringLiteral("code"), u(c.code)}});

    if (c.fortsLimit > 0 || futCur != 0) {
        const Security &ri = security("RIZ6");
        const double used = std::abs(futCur) * kInitialMargin;
        insert(db, table("tPortfolioFut"),
               {{QStringLiteral("account"), u(c.accountForts)},
                {QStringLiteral("openlimit"), c.fortsLimit},
                {QStringLiteral("planlimit"), c.fortsLimit - used},
                {QStringLiteral("usedlimit"), used},
                {QStringLiteral("varmargin"), round2(value(ri, futOpen, ri.last - ri.prev))}});
    }
}

} // namespace

Paths pathsIn(const QString &dir)
{
    const QString root = QDir::cleanPath(QDir(dir).absolutePath());
    auto at = [&](const QString &tail) { return QDir::toNativeSeparators(root + QLatin1Char('/') + tail); };
    Paths p;
    p.dir = QDir::toNativeSeparators(root);
    p.settings = at(QStringLiteral("Korvina.ini"));
    p.quikData = at(QStringLiteral("Data/dbQuikData.sqlite"));
    p.alerts = at(QStringLiteral("Omega/Alerts11.sqlite"));
    p.trans = at(QStringLiteral("Trans"));
    p.smartTrade = at(QStringLiteral("SmartTrade/Orders"));
    p.quik = at(QStringLiteral("QUIK"));
    p.infoLog = at(QStringLiteral("QUIK/info.log"));
    return p;
}

namespace {

// Runs the writes in one transaction of the connection.
template <typename Writes>
void inTransaction(Database &db, Writes &&writes)
{
    QSqlDatabase h = db.handle();
    if (!h.transaction())
        throw KorvinaError(sqlErrorText(h.lastError()));
    try {
        writes();
    } catch (...) {
        h.rollback();
        throw;
    }
    if (!h.commit()) {
        const QString message = sqlErrorText(h.lastError());
        h.rollback();
        throw KorvinaError(message);
    }
}

// The terminals' own tables, made as the options dialog makes them. Its log
// lines stay here (they are not the lines of whatever log is current), and
// a copy that could not be made fails the workspace.
void makeTerminalTables(TDatMod &dm)
{
    OperationLog lines;
    OperationLog *const previous = OperationLog::current();
    OperationLog::setCurrent(&lines);
    try {
        CreateTerminalTables(dm);
    } catch (...) {
        OperationLog::setCurrent(previous);
        throw;
    }
    OperationLog::setCurrent(previous);
    const QString failure = QStringLiteral("Сообщение: ");
    for (const QString &line : lines.lines())
        if (const qsizetype at = line.indexOf(failure); at >= 0)
            throw KorvinaError(QStringLiteral("Таблицы терминалов не созданы: ") + line.mid(at + failure.size()));
}

} // namespace

void fillQuikData(TDatMod &dm, const QString &quikDir)
{
    Database &db = dm.conQuikData;
    inTransaction(db, [&] { fillReference(db, quikDir); });
    makeTerminalTables(dm);
    inTransaction(db, [&] {
        fillExports(db, kSingle, QString());
        for (const Client &c : kClients)
            fillExports(db, c, QString::number(c.idQuik));
    });
}

Summary createWorkspace(const QString &dir, const QString &quikDataUri, const QString &alertsUri)
{
    Summary summary;
    summary.paths = pathsIn(dir);
    if (!quikDataUri.isEmpty())
        summary.paths.quikData = quikDataUri;
    if (!alertsUri.isEmpty())
        summary.paths.alerts = alertsUri;
    const Paths &p = summary.paths;

    // The settings file holds the paths in Windows-1251.
    if (const QString lost = cp1251::unencodable(p.dir); !lost.isEmpty())
        throw KorvinaError(QStringLiteral("Путь к папке ") + p.dir + QStringLiteral(" содержит символы, которых нет в кодировке Windows-1251 (")
                           + lost + QStringLiteral("), а файл настроек Korvina.ini хранит пути в этой кодировке; "
                                                   "выберите другую папку. Ничего не создано."));

    QStringList present;
    for (const QString &f : {p.settings, p.quikData, p.alerts})
        if (!DatabaseAddress::isServer(f) && QFileInfo::exists(f))
            present << f;
    if (!present.isEmpty())
        throw KorvinaError(QStringLiteral("В папке ") + p.dir + QStringLiteral(" уже есть рабочая область (")
                           + present.join(QStringLiteral(", ")) + QStringLiteral("); ничего не изменено."));

    for (const QString &folder : {p.dir, p.trans, p.smartTrade, p.quik})
        if (!QDir().mkpath(folder))
            throw KorvinaError(QStringLiteral("Не удается создать папку ") + folder);

    QStringList made;
    try {
        if (!QFileInfo::exists(p.infoLog)) {
            QFile log(p.infoLog);
            if (!log.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                throw KorvinaError(QStringLiteral("Не удается создать файл ") + p.infoLog + QStringLiteral(": ")
                                   + log.errorString());
            made << p.infoLog;
        }

        schema::createDatabaseFile(p.quikData, schema::Kind::QuikData);
        made << p.quikData;
        {
            TDatMod dm;
            Database &db = dm.conQuikData;
            QString error;
            if (!db.open(p.quikData, &error))
                throw KorvinaError(error);
            fillQuikData(dm, p.quik);
            for (const schema::Table &t : schema::quikDataTables()) {
                QSqlQuery q = db.native(QStringLiteral("SELECT count(*) FROM ") + ident(t.name));
                q.next();
                summary.rows.append({t.name, q.value(0).toInt()});
            }
            for (int id : {1, 2})
                for (const QString &base : schema::exportTables()) {
                    const QString name = base + QString::number(id);
                    QSqlQuery q = db.native(QStringLiteral("SELECT count(*) FROM ") + ident(name));
                    q.next();
                    summary.rows.append({name, q.value(0).toInt()});
                }
            db.close();
        }

        schema::createDatabaseFile(p.alerts, schema::Kind::Alerts);
        made << p.alerts;

        Settings settings;
        settings.setFileName(p.settings);
        settings.resetToDefaults();
        settings.edtAlerts = p.alerts;
        settings.edtQuikData = p.quikData;
        settings.edtdirTT = p.trans;
        settings.edtInfoLog = p.infoLog;
        settings.edtDirSmartTrade = p.smartTrade;
        settings.chConnect = true;
        made << p.settings;
        QString error;
        if (!settings.SaveSettings(&error))
            throw KorvinaError(error);
    } catch (...) {
        for (const QString &f : made)
            for (const char *suffix : {"", "-wal", "-shm", "-journal"})
                if (!DatabaseAddress::isServer(f))
                QFile::remove(f + QLatin1String(suffix));
        throw;
    }
    return summary;
}

} // namespace sample
