#include "terminal.h"

#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "data/database.h"
#include "data/schema.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTextStream>
#include <QTime>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <utility>

namespace termsim {

namespace {

const QString kNewOrder = QStringLiteral("NEW_ORDER");
const QString kNewStopOrder = QStringLiteral("NEW_STOP_ORDER");
const QString kKillAll = QStringLiteral("KILL_ALL_ORDERS");
const QString kKillAllFutures = QStringLiteral("KILL_ALL_FUTURES_ORDERS");
const QString kKillAllStops = QStringLiteral("KILL_ALL_STOP_ORDERS");

const QString kActive = QStringLiteral("Активна");
const QString kDone = QStringLiteral("Исполнена");
const QString kKilled = QStringLiteral("Снята");

// Guarantee per futures contract, as a share of the contract's value.
constexpr double kMarginShare = 0.1;

QString transName(const QString &action)
{
    if (action == kNewOrder)
        return QStringLiteral("Ввод заявки");
    if (action == kNewStopOrder)
        return QStringLiteral("Ввод стоп-заявки");
    if (action == kKillAll)
        return QStringLiteral("Снятие всех заявок");
    if (action == kKillAllFutures)
        return QStringLiteral("Снятие всех заявок по фьючерсам");
    if (action == kKillAllStops)
        return QStringLiteral("Снятие всех стоп-заявок");
    return action;
}

bool isFutures(const QMap<QString, QString> &items)
{
    return items.value(QStringLiteral("CLASSCODE")).compare(QLatin1String("SPBFUT"), Qt::CaseInsensitive) == 0;
}

QString ident(const QString &name) { return QLatin1Char('"') + name + QLatin1Char('"'); }

double roundTo(double v, int digits)
{
    const double scale = std::pow(10.0, std::clamp(digits, 0, 10));
    return std::round(v * scale) / scale;
}

double round2(double v) { return roundTo(v, 2); }

// The current time of day, whole seconds, as the export tables keep it.
QTime nowTime()
{
    const QTime t = QTime::currentTime();
    return QTime(t.hour(), t.minute(), t.second());
}

} // namespace

Terminal::Terminal(Config config, QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_out(out), m_err(err), m_rng(m_config.seed),
      m_import(QDir(m_config.dir).filePath(m_config.name + QStringLiteral(".tri")))
{
    m_tickTimer.setInterval(std::max(1, m_config.paceMs));
    connect(&m_tickTimer, &QTimer::timeout, this, &Terminal::tick);
    m_quoteTimer.setInterval(std::max(1, m_config.quotesMs));
    connect(&m_quoteTimer, &QTimer::timeout, this, &Terminal::moveQuotes);
    m_infoTimer.setInterval(std::max(1, m_config.infoMs));
    connect(&m_infoTimer, &QTimer::timeout, this, [this] {
        if (m_linkUp)
            writeInfoLog(QStringLiteral("Получены данные с сервера: %1 байт").arg(200 + m_rng.bounded(3800)));
    });
    m_linkTimer.setSingleShot(true);
    // Order numbers of one run follow each other from a random start.
    m_nextOrderNumber = 1000000 + static_cast<qint64>(m_rng.bounded(8000000));
}

Terminal::~Terminal() { stop(); }

QString Terminal::importPath() const { return m_import.path(); }

QString Terminal::resultPath() const { return QDir(m_config.dir).filePath(m_config.name + QStringLiteral(".tro")); }

QString Terminal::table(const char *base) const
{
    return QLatin1String(base) + (m_config.terminal > 0 ? QString::number(m_config.terminal) : QString());
}

bool Terminal::start(QString *error)
{
    if (!m_config.db.isEmpty()) {
        m_db = std::make_unique<Database>(QStringLiteral("terminal-sim"));
        QString problem;
        // The connection waits for a busy database instead of failing at once.
        if (!m_db->open(m_config.db, &problem)) {
            *error = problem;
            return false;
        }
        if (m_db->engine() != Database::Engine::SQLite && m_db->engine() != Database::Engine::PostgreSQL) {
            *error = QStringLiteral("only SQLite and PostgreSQL databases are supported: ") + m_config.db;
            return false;
        }
        QStringList missing;
        QStringList needed{QStringLiteral("tParam")};
        for (const QString &base : schema::exportTables())
            needed << table(base.toLatin1().constData());
        for (const QString &t : needed)
            if (!m_db->hasTable(t))
                missing << t;
        if (!missing.isEmpty()) {
            *error = QStringLiteral("the database ") + m_config.db + QStringLiteral(" has no table ")
                + missing.join(QStringLiteral(", "));
            return false;
        }
        if (!loadQuotes(error))
            return false;
    }

    say(QStringLiteral("terminal %1: importing %2, results to %3")
            .arg(m_config.terminal)
            .arg(QDir::toNativeSeparators(importPath()), QDir::toNativeSeparators(resultPath())));

    m_tickTimer.start();
    if (m_db && m_config.quotesMs > 0)
        m_quoteTimer.start();
    if (!m_config.infoLog.isEmpty()) {
        QDir().mkpath(QFileInfo(m_config.infoLog).absolutePath());
        writeInfoLog(QStringLiteral("Соединение с сервером установлено"));
        m_infoTimer.start();
    }
    if (m_config.cutEverySec > 0 && m_config.cutForSec > 0) {
        disconnect(&m_linkTimer, nullptr, this, nullptr);
        connect(&m_linkTimer, &QTimer::timeout, this, &Terminal::cutLink);
        m_linkTimer.start(static_cast<int>(m_config.cutEverySec * 1000));
    }
    return true;
}

void Terminal::stop()
{
    m_tickTimer.stop();
    m_quoteTimer.stop();
    m_infoTimer.stop();
    m_linkTimer.stop();
    if (!m_outbox.isEmpty())
        flushResults();
    if (m_db)
        m_db->close();
}

bool Terminal::loadQuotes(QString *error)
{
    try {
        QSqlQuery q = m_db->native(QStringLiteral(
            "SELECT id, seccode, stock, class_code, bid, offer, last, high, low, prevprice, MinMov, Digits, "
            "lotsize, PointValue, numtrades, voltoday FROM tParam ORDER BY id"));
        while (q.next()) {
            Quote s;
            s.id = q.value(0).toLongLong();
            s.seccode = q.value(1).toString();
            s.stock = q.value(2).toString();
            s.classCode = q.value(3).toString();
            s.bid = q.value(4).toDouble();
            s.offer = q.value(5).toDouble();
            s.last = q.value(6).toDouble();
            s.high = q.value(7).toDouble();
            s.low = q.value(8).toDouble();
            s.prev = q.value(9).toDouble();
            s.digits = q.value(11).toInt();
            s.step = q.value(10).toDouble();
            if (!(s.step > 0))
                s.step = std::pow(10.0, -std::clamp(s.digits, 0, 10));
            s.lotSize = std::max(1, q.value(12).toInt());
            s.pointValue = q.value(13).isNull() ? 1.0 : q.value(13).toDouble();
            s.numTrades = q.value(14).toLongLong();
            s.volToday = q.value(15).toDouble();
            if (s.last <= 0)
                s.last = s.offer > 0 ? s.offer : s.bid;
            m_quoteIndex.insert(s.seccode.toUpper(), static_cast<int>(m_quotes.size()));
            m_quotes.append(s);
        }
    } catch (const KorvinaError &e) {
        *error = QStringLiteral("cannot read the quotes: ") + e.message();
        return false;
    }
    return true;
}

const Terminal::Quote *Terminal::quote(const QString &seccode) const
{
    const auto it = m_quoteIndex.constFind(seccode.toUpper());
    return it == m_quoteIndex.cend() ? nullptr : &m_quotes[*it];
}

void Terminal::tick()
{
    // Without the link nothing reaches the server: transactions wait in the file.
    if (!m_linkUp)
        return;

    bool restarted = false;
    QString problem;
    const QList<QByteArray> lines = m_import.poll(&restarted, &problem);
    if (!problem.isEmpty())
        warn(QStringLiteral("cannot read ") + importPath() + QStringLiteral(": ") + problem);
    if (restarted) {
        // The robot made a new file set and numbers its transactions afresh:
        // results still due belong to the old set and would match new ones.
        m_pending.clear();
        m_outbox.clear();
        say(QStringLiteral("transaction file started anew: ") + QDir::toNativeSeparators(importPath()));
    }

    // Final results of what was taken at the previous poll, then the new lines.
    const QList<Pending> due = std::exchange(m_pending, {});
    for (const Pending &p : due)
        post(finish(p));
    for (const QByteArray &line : lines)
        take(line);

    flushResults();
}

void Terminal::take(const QByteArray &raw)
{
    const QString line = cp1251::decode(raw);
    if (line.trimmed().isEmpty())
        return;
    ++m_taken;
    say(QStringLiteral("<< ") + line);

    const QMap<QString, QString> items = parseItems(line);
    bool ok = false;
    const qint64 transId = items.value(QStringLiteral("TRANS_ID")).toLongLong(&ok);
    if (!ok) {
        warn(QStringLiteral("line without a TRANS_ID number left unanswered: ") + line);
        return;
    }
    const QString action = items.value(QStringLiteral("ACTION")).toUpper();
    const QString problem = check(items);
    if (!problem.isEmpty()) {
        post({transId, CheckFailed, transName(action), problem, 0});
        return;
    }
    post({transId, Sent, transName(action), QStringLiteral("Транзакция отправлена на сервер"), 0});
    Pending p;
    p.transId = transId;
    p.items = items;
    p.refused = m_config.rejectShare > 0 && m_rng.generateDouble() < m_config.rejectShare;
    m_pending.append(p);
}

QString Terminal::check(const QMap<QString, QString> &items) const
{
    const QString action = items.value(QStringLiteral("ACTION")).toUpper();
    if (action.isEmpty())
        return QStringLiteral("Не указано действие (ACTION)");
    if (action != kNewOrder && action != kNewStopOrder && action != kKillAll && action != kKillAllFutures
        && action != kKillAllStops)
        return QStringLiteral("Неизвестное действие ") + action;
    const QString seccode = items.value(QStringLiteral("SECCODE"));
    if (seccode.isEmpty())
        return QStringLiteral("Не указан код инструмента (SECCODE)");
    if (items.value(QStringLiteral("CLASSCODE")).isEmpty())
        return QStringLiteral("Не указан код класса (CLASSCODE)");
    if (m_db && !quote(seccode))
        return QStringLiteral("Инструмент ") + seccode + QStringLiteral(" не найден");
    if (items.value(QStringLiteral("ACCOUNT")).isEmpty())
        return QStringLiteral("Не указан торговый счет (ACCOUNT)");
    if (action != kNewOrder && action != kNewStopOrder)
        return {};

    const QString operation = items.value(QStringLiteral("OPERATION")).toUpper();
    if (operation != QLatin1String("B") && operation != QLatin1String("S"))
        return QStringLiteral("Неверное направление операции (OPERATION): ") + operation;
    bool ok = false;
    const qint64 quantity = items.value(QStringLiteral("QUANTITY")).toLongLong(&ok);
    if (!ok || quantity <= 0)
        return QStringLiteral("Неверное количество (QUANTITY): ") + items.value(QStringLiteral("QUANTITY"));
    double price = 0;
    if (!parseNumber(items.value(QStringLiteral("PRICE")), &price) || !std::isfinite(price) || price < 0)
        return QStringLiteral("Неверная цена (PRICE): ") + items.value(QStringLiteral("PRICE"));
    if (action == kNewStopOrder) {
        double stop = 0;
        if (!parseNumber(items.value(QStringLiteral("STOPPRICE")), &stop) || !std::isfinite(stop) || stop <= 0)
            return QStringLiteral("Неверная стоп-цена (STOPPRICE): ") + items.value(QStringLiteral("STOPPRICE"));
    }
    return {};
}

Result Terminal::finish(const Pending &p)
{
    const QString action = p.items.value(QStringLiteral("ACTION")).toUpper();
    Result r{p.transId, Executed, transName(action), QString(), 0};
    if (p.refused) {
        r.status = LimitsFailed;
        r.description = QStringLiteral("Не прошла проверка лимитов: недостаточно средств для совершения операции");
        return r;
    }
    if (action == kNewOrder) {
        r.orderNumber = m_nextOrderNumber++;
        recordFill(p.items, r.orderNumber);
        r.description = QStringLiteral("Заявка № %1 успешно зарегистрирована").arg(r.orderNumber);
    } else if (action == kNewStopOrder) {
        r.orderNumber = m_nextOrderNumber++;
        m_stopOrders.append({r.orderNumber, p.items.value(QStringLiteral("ACCOUNT")),
                             p.items.value(QStringLiteral("CLIENT_CODE")), p.items.value(QStringLiteral("SECCODE"))});
        r.description = QStringLiteral("Стоп-заявка № %1 успешно зарегистрирована").arg(r.orderNumber);
    } else if (action == kKillAllStops) {
        const QString account = p.items.value(QStringLiteral("ACCOUNT"));
        const QString client = p.items.value(QStringLiteral("CLIENT_CODE"));
        const QString seccode = p.items.value(QStringLiteral("SECCODE"));
        const auto killed = m_stopOrders.removeIf([&](const StopOrder &s) {
            return s.account == account && s.client == client && s.seccode.compare(seccode, Qt::CaseInsensitive) == 0;
        });
        r.description = QStringLiteral("Снято стоп-заявок: %1").arg(killed);
    } else {
        r.description = QStringLiteral("Снято заявок: %1").arg(killOrders(p.items));
    }
    return r;
}

void Terminal::recordFill(const QMap<QString, QString> &items, qint64 orderNumber)
{
    if (!m_db)
        return;
    const Quote *q = quote(items.value(QStringLiteral("SECCODE")));
    if (!q)
        return;
    const bool buy = items.value(QStringLiteral("OPERATION")).toUpper() == QLatin1String("B");
    const bool futures = isFutures(items);
    const QString account = items.value(QStringLiteral("ACCOUNT"));
    const QString client = items.value(QStringLiteral("CLIENT_CODE"));
    const qint64 lots = items.value(QStringLiteral("QUANTITY")).toLongLong();
    double price = 0;
    parseNumber(items.value(QStringLiteral("PRICE")), &price);

    // A buy is filled at the offer, a sell at the bid, never worse than its limit.
    const double market = buy ? (q->offer > 0 ? q->offer : q->last) : (q->bid > 0 ? q->bid : q->last);
    double fill = market;
    if (price > 0)
        fill = buy ? std::min(price, market) : std::max(price, market);
    fill = roundTo(fill, q->digits);
    const double units = static_cast<double>(lots) * q->lotSize;
    auto valueAt = [&](double p) { return round2(futures ? units * p / q->step * q->pointValue : units * p); };
    const QString operation = buy ? QStringLiteral("Купля") : QStringLiteral("Продажа");
    const QTime at = nowTime();

    try {
        m_db->native(QStringLiteral("INSERT INTO %1 (orderdate, ordertime, account, code, stock, Operation, price, "
                                    "quantity, balance, volume, status) VALUES (:d, :t, :acc, :code, :stock, :op, "
                                    ":price, :qty, 0, :vol, :status)")
                         .arg(ident(table("tQuikOrders"))),
                     {{QStringLiteral("d"), QDate::currentDate()},
                      {QStringLiteral("t"), at},
                      {QStringLiteral("acc"), account},
                      {QStringLiteral("code"), client},
                      {QStringLiteral("stock"), q->stock},
                      {QStringLiteral("op"), operation},
                      {QStringLiteral("price"), price > 0 ? price : fill},
                      {QStringLiteral("qty"), lots},
                      {QStringLiteral("vol"), valueAt(price > 0 ? price : fill)},
                      {QStringLiteral("status"), kDone}})
            .finish();
        m_db->native(QStringLiteral("INSERT INTO %1 (tradetime, account, code, stock, Operation, Price, Quantity, "
                                    "volume) VALUES (:t, :acc, :code, :stock, :op, :price, :qty, :vol)")
                         .arg(ident(table("tTrades"))),
                     {{QStringLiteral("t"), at},
                      {QStringLiteral("acc"), account},
                      {QStringLiteral("code"), client},
                      {QStringLiteral("stock"), q->stock},
                      {QStringLiteral("op"), operation},
                      {QStringLiteral("price"), fill},
                      {QStringLiteral("qty"), lots},
                      {QStringLiteral("vol"), valueAt(fill)}})
            .finish();

        const double change = buy ? units : -units;
        if (futures) {
            const QString limits = ident(table("tLimitFut"));
            const int n = m_db->native(QStringLiteral("UPDATE %1 SET currentbal = currentbal + :d WHERE account = "
                                                      ":acc AND seccode = :sec")
                                           .arg(limits),
                                       {{QStringLiteral("d"), change},
                                        {QStringLiteral("acc"), account},
                                        {QStringLiteral("sec"), q->seccode}})
                                .numRowsAffected();
            if (n == 0)
                m_db->native(QStringLiteral("INSERT INTO %1 (account, seccode, openbal, currentbal) VALUES (:acc, "
                                            ":sec, 0, :d)")
                                 .arg(limits),
                             {{QStringLiteral("acc"), account},
                              {QStringLiteral("sec"), q->seccode},
                              {QStringLiteral("d"), change}})
                    .finish();
            updateFuturesPortfolio(account);
        } else {
            const QString limits = ident(table("tLimitStock"));
            const int n = m_db->native(QStringLiteral("UPDATE %1 SET currentbal = currentbal + :d WHERE code = :code "
                                                      "AND seccode = :sec")
                                           .arg(limits),
                                       {{QStringLiteral("d"), change},
                                        {QStringLiteral("code"), client},
                                        {QStringLiteral("sec"), q->seccode}})
                                .numRowsAffected();
            if (n == 0) {
                QString firm;
                QSqlQuery f = m_db->native(QStringLiteral("SELECT firm FROM %1 WHERE code = :code AND firm IS NOT "
                                                          "NULL UNION ALL SELECT firm FROM %2 WHERE code = :code2 "
                                                          "AND firm IS NOT NULL LIMIT 1")
                                               .arg(limits, ident(table("tPortfolio"))),
                                           {{QStringLiteral("code"), client}, {QStringLiteral("code2"), client}});
                if (f.next())
                    firm = f.value(0).toString();
                f.finish();
                m_db->native(QStringLiteral("INSERT INTO %1 (firm, code, seccode, openbal, currentbal) VALUES "
                                            "(:firm, :code, :sec, 0, :d)")
                                 .arg(limits),
                             {{QStringLiteral("firm"), firm},
                              {QStringLiteral("code"), client},
                              {QStringLiteral("sec"), q->seccode},
                              {QStringLiteral("d"), change}})
                    .finish();
            }
            // Money pays for what was bought and takes in what was sold.
            m_db->native(QStringLiteral("UPDATE %1 SET currentbal = currentbal - :v WHERE code = :code")
                             .arg(ident(table("tLimitMoney"))),
                         {{QStringLiteral("v"), buy ? valueAt(fill) : -valueAt(fill)}, {QStringLiteral("code"), client}})
                .finish();
            updateStockPortfolio(client);
        }
    } catch (const KorvinaError &e) {
        warn(QStringLiteral("order %1 not fully recorded: ").arg(orderNumber) + e.message());
    }
}

void Terminal::updateStockPortfolio(const QString &client)
{
    double longs = 0, shorts = 0;
    QSqlQuery q = m_db->native(QStringLiteral("SELECT l.currentbal * p.last FROM %1 l JOIN tParam p ON p.seccode = "
                                              "l.seccode WHERE l.code = :code")
                                   .arg(ident(table("tLimitStock"))),
                               {{QStringLiteral("code"), client}});
    while (q.next()) {
        const double v = q.value(0).toDouble();
        (v >= 0 ? longs : shorts) += v;
    }
    q.finish();

    double money = 0;
    QSqlQuery m = m_db->native(
        QStringLiteral("SELECT currentbal FROM %1 WHERE code = :code ORDER BY %2 LIMIT 1")
                          .arg(ident(table("tLimitMoney")), m_db->server() ? QStringLiteral("ctid") : QStringLiteral("rowid")),
        {{QStringLiteral("code"), client}});
    if (m.next())
        money = m.value(0).toDouble();
    m.finish();

    QSqlQuery o = m_db->native(
        QStringLiteral("SELECT openallassets FROM %1 WHERE code = :code").arg(ident(table("tPortfolio"))),
        {{QStringLiteral("code"), client}});
    if (!o.next())
        return; // no portfolio row for this client
    const double openAll = o.value(0).toDouble();
    o.finish();

    const double assets = longs + shorts;
    const double all = money + assets;
    m_db->native(QStringLiteral("UPDATE %1 SET curassets = :assets, longs = :longs, shorts = :shorts, curallassets = "
                                ":all, profitloss = :pl, curleverage = :lev, change = :chg WHERE code = :code")
                     .arg(ident(table("tPortfolio"))),
                 {{QStringLiteral("assets"), round2(assets)},
                  {QStringLiteral("longs"), round2(longs)},
                  {QStringLiteral("shorts"), round2(shorts)},
                  {QStringLiteral("all"), round2(all)},
                  {QStringLiteral("pl"), round2(all - openAll)},
                  {QStringLiteral("lev"), all != 0 ? round2((longs - shorts) / all) : 0.0},
                  {QStringLiteral("chg"), openAll != 0 ? round2((all - openAll) / openAll * 100) : 0.0},
                  {QStringLiteral("code"), client}})
        .finish();
}

void Terminal::updateFuturesPortfolio(const QString &account)
{
    QSqlQuery q = m_db->native(QStringLiteral("SELECT SUM(ABS(f.currentbal) * p.last / p.MinMov * p.PointValue) FROM "
                                              "%1 f JOIN tParam p ON p.seccode = f.seccode WHERE f.account = :acc AND "
                                              "p.MinMov > 0")
                                   .arg(ident(table("tLimitFut"))),
                               {{QStringLiteral("acc"), account}});
    const double used = q.next() ? round2(q.value(0).toDouble() * kMarginShare) : 0.0;
    q.finish();
    m_db->native(QStringLiteral("UPDATE %1 SET usedlimit = :used, planlimit = openlimit - :used2 WHERE account = :acc")
                     .arg(ident(table("tPortfolioFut"))),
                 {{QStringLiteral("used"), used}, {QStringLiteral("used2"), used}, {QStringLiteral("acc"), account}})
        .finish();
}

int Terminal::killOrders(const QMap<QString, QString> &items)
{
    if (!m_db)
        return 0;
    const Quote *q = quote(items.value(QStringLiteral("SECCODE")));
    if (!q)
        return 0;
    // Futures orders are found by their account, stock orders by the client.
    const bool byAccount = isFutures(items) || items.value(QStringLiteral("CLIENT_CODE")).isEmpty();
    try {
        return m_db->native(QStringLiteral("UPDATE %1 SET status = :killed WHERE %2 = :who AND stock = :stock AND "
                                           "status = :active")
                                .arg(ident(table("tQuikOrders")),
                                     byAccount ? QStringLiteral("account") : QStringLiteral("code")),
                            {{QStringLiteral("killed"), kKilled},
                             {QStringLiteral("who"), items.value(byAccount ? QStringLiteral("ACCOUNT")
                                                                           : QStringLiteral("CLIENT_CODE"))},
                             {QStringLiteral("stock"), q->stock},
                             {QStringLiteral("active"), kActive}})
            .numRowsAffected();
    } catch (const KorvinaError &e) {
        warn(QStringLiteral("orders not cancelled: ") + e.message());
        return 0;
    }
}

void Terminal::moveQuotes()
{
    if (!m_linkUp || !m_db)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    for (Quote &s : m_quotes) {
        const int move = static_cast<int>(m_rng.bounded(3)) - 1; // one price step down, none, or up
        s.last = roundTo(std::max(s.step, s.last + move * s.step), s.digits);
        s.bid = roundTo(m_rng.bounded(2) ? s.last - s.step : s.last, s.digits);
        s.offer = roundTo(s.bid + s.step, s.digits);
        s.high = std::max(s.high, s.last);
        s.low = s.low > 0 ? std::min(s.low, s.last) : s.last;
        const int qty = 1 + static_cast<int>(m_rng.bounded(20));
        s.numTrades += 1;
        s.volToday += qty;
        const double change = s.prev != 0 ? round2((s.last - s.prev) / s.prev * 100) : 0.0;
        try {
            m_db->native(QStringLiteral("UPDATE tParam SET bid = :bid, offer = :offer, last = :last, high = :high, "
                                        "low = :low, timelast = :t, qtylast = :qty, numtrades = :n, voltoday = :vol, "
                                        "chngopen = :chg, lastchange = :pct, chngclose = :pct2 WHERE id = :id"),
                         {{QStringLiteral("bid"), s.bid},
                          {QStringLiteral("offer"), s.offer},
                          {QStringLiteral("last"), s.last},
                          {QStringLiteral("high"), s.high},
                          {QStringLiteral("low"), s.low},
                          {QStringLiteral("t"), now},
                          {QStringLiteral("qty"), qty},
                          {QStringLiteral("n"), s.numTrades},
                          {QStringLiteral("vol"), s.volToday},
                          {QStringLiteral("chg"), roundTo(s.last - s.prev, s.digits)},
                          {QStringLiteral("pct"), change},
                          {QStringLiteral("pct2"), change},
                          {QStringLiteral("id"), s.id}})
                .finish();
        } catch (const KorvinaError &e) {
            warn(QStringLiteral("quote of %1 not written: ").arg(s.seccode) + e.message());
        }
    }
}

void Terminal::writeInfoLog(const QString &text)
{
    QFile file(m_config.infoLog);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        warn(QStringLiteral("cannot write ") + m_config.infoLog + QStringLiteral(": ") + file.errorString());
        return;
    }
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz"))
        + QStringLiteral("  ") + text + QStringLiteral("\r\n");
    file.write(cp1251::encode(line));
}

void Terminal::cutLink()
{
    m_linkUp = false;
    say(QStringLiteral("link down"));
    disconnect(&m_linkTimer, nullptr, this, nullptr);
    connect(&m_linkTimer, &QTimer::timeout, this, &Terminal::restoreLink);
    m_linkTimer.start(static_cast<int>(m_config.cutForSec * 1000));
}

void Terminal::restoreLink()
{
    m_linkUp = true;
    if (!m_config.infoLog.isEmpty())
        writeInfoLog(QStringLiteral("Соединение с сервером восстановлено"));
    say(QStringLiteral("link up"));
    disconnect(&m_linkTimer, nullptr, this, nullptr);
    connect(&m_linkTimer, &QTimer::timeout, this, &Terminal::cutLink);
    m_linkTimer.start(static_cast<int>(m_config.cutEverySec * 1000));
}

void Terminal::post(const Result &r)
{
    const QByteArray line = resultLine(r);
    m_outbox += line;
    ++m_answered;
    say(QStringLiteral(">> ") + cp1251::decode(line).trimmed());
}

void Terminal::flushResults()
{
    if (m_outbox.isEmpty())
        return;
    // Unbuffered: what the disk refuses is known here, not lost at close.
    QFile file(resultPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        warn(QStringLiteral("cannot append to ") + resultPath() + QStringLiteral(": ") + file.errorString()
             + QStringLiteral(" (kept for the next try)"));
        return;
    }
    const qint64 before = file.size();
    qint64 pos = 0;
    while (pos < m_outbox.size()) {
        const qint64 n = file.write(m_outbox.constData() + pos, m_outbox.size() - pos);
        if (n <= 0)
            break;
        pos += n;
    }
    // What reached the file stays there; the rest waits for the next try.
    const qint64 reached = std::clamp<qint64>(file.size() - before, 0, m_outbox.size());
    m_outbox.remove(0, reached);
    if (!m_outbox.isEmpty())
        warn(QStringLiteral("cannot append to ") + resultPath() + QStringLiteral(": ") + file.errorString()
             + QStringLiteral(" (the rest is kept for the next try)"));
}

void Terminal::say(const QString &text)
{
    if (m_config.quiet)
        return;
    m_out << text << '\n';
    m_out.flush();
}

void Terminal::warn(const QString &text)
{
    m_err << "korvina-terminal-sim: " << text << '\n';
    m_err.flush();
}

} // namespace termsim
