#include "untrade.h"


#include "positionbook.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/jetsql.h"

#include <QLocale>

#include <cmath>
#include <limits>
#include <optional>

namespace {

const QString SPBFUT = QStringLiteral("SPBFUT");

// An empty column reads as "" and 0.
QString textOf(const QVariant &v) { return v.isNull() ? QString() : v.toString(); }
double numberOf(const QVariant &v) { return v.isNull() ? 0.0 : v.toDouble(); }
qint32 integerOf(const QVariant &v) { return v.isNull() ? 0 : v.toInt(); }
bool flagOf(const QVariant &v) { return !v.isNull() && v.toBool(); }

// A directory column that must hold a value.
QVariant required(const DataSet &q, const QString &field)
{
    const QVariant v = q.FieldByName(field);
    if (v.isNull())
        throw KorvinaError(QStringLiteral("Field '") + field + QStringLiteral("' must have a value"));
    return v;
}

qint32 requiredInteger(const DataSet &q, const QString &field)
{
    bool ok = false;
    const qint32 n = required(q, field).toInt(&ok);
    if (!ok)
        throw KorvinaError(QStringLiteral("Field '") + field + QStringLiteral("' is not an integer"));
    return n;
}

double requiredNumber(const DataSet &q, const QString &field)
{
    bool ok = false;
    const double n = required(q, field).toDouble(&ok);
    if (!ok)
        throw KorvinaError(QStringLiteral("Field '") + field + QStringLiteral("' is not a number"));
    return n;
}

// Moves the table to the first row whose field equals the text as a whole,
// letter case ignored. False, and no move, when there is none.
bool LocateText(DataSet &table, const QString &field, const QString &text)
{
    if (!table.Active())
        table.Open();
    const int column = table.fieldIndex(field);
    if (column < 0)
        throw KorvinaError(table.name() + QStringLiteral(": Field '") + field + QStringLiteral("' not found"));
    for (int r = 0; r < table.RecordCount(); ++r) {
        if (textOf(table.value(r, column)).compare(text, Qt::CaseInsensitive) == 0) {
            table.setCurrentRow(r);
            return true;
        }
    }
    return false;
}

// A quotient of lots as a 32-bit quantity (a value beyond the range stops at its end).
qint32 Lots(double quotient)
{
    const qint64 n = TruncSteps(quotient);
    constexpr qint64 most = std::numeric_limits<qint32>::max();
    return static_cast<qint32>(std::clamp<qint64>(n, -most, most));
}

void FillClientAccount(TClientAccount &A, const DataSet &D)
{
    A.Code = textOf(D.FieldByName(QStringLiteral("code")));
    A.AccountMicex = textOf(D.FieldByName(QStringLiteral("AccountMicex")));
    A.AccountForts = textOf(D.FieldByName(QStringLiteral("AccountForts")));
    A.LongEnb = flagOf(D.FieldByName(QStringLiteral("LongEnb")));
    A.ShortEnb = flagOf(D.FieldByName(QStringLiteral("ShortEnb")));
    A.Leverage = numberOf(D.FieldByName(QStringLiteral("Leverage")));
    A.MicexEnb = flagOf(D.FieldByName(QStringLiteral("MicexEnb")));
    A.FortsEnb = flagOf(D.FieldByName(QStringLiteral("FortsEnb")));
    A.Ebs = flagOf(D.FieldByName(QStringLiteral("Ebs")));
}

} // namespace

// --- Orders, securities, filters -------------------------------------------

QString UnusableOrder(const TPreOrder &P, const QVariant &fillPrice)
{
    if (P.Filled) {
        if (fillPrice.isNull())
            return QStringLiteral("нет цены исполнения (поле \"Fill Price\" пусто).");
        bool ok = false;
        const double price = fillPrice.toDouble(&ok);
        if (!ok || !std::isfinite(price))
            return QStringLiteral("цена исполнения \"") + fillPrice.toString() + QStringLiteral("\" не является числом.");
        if (price <= 0)
            return QStringLiteral("цена исполнения ") + QString::number(price, 'g', 16) + QStringLiteral(" не больше нуля.");
        if (price > MaxOrderPrice)
            return QStringLiteral("цена исполнения ") + QString::number(price, 'g', 16) + QStringLiteral(" слишком велика.");
    }
    // The direction is the text's first word; the text is read as the
    // client orders will read it.
    TOrder probe;
    try {
        ParseOrderText(probe, P);
    } catch (const std::exception &) {
        // The quantity is read for each client, and refused there.
    }
    if (probe.Operation.isEmpty())
        return QStringLiteral("в тексте ордера \"") + P.OrderText.str() + QStringLiteral("\" нет направления (Buy или Sell).");
    return QString();
}

void ClearPreOrder(TPreOrder &P, OrderKind kind)
{
    P.Kind = kind;
    P.OrderType = QString();
    P.Last = 0;
    P.SlipRate = 0;
    P.KillOrders = false;
    if (kind == OrderKind::Strategy) {
        P.Id = 0;
        P.Symbol = P.Description = P.OrderText = P.System = P.Workspace = P.Signal = P.Interval = P.OrderNumber = QString();
        P.FillPrice = 0;
        P.Filled = false;
    } else {
        P.GroupId = -1;
        P.Symbol = P.Operation = QString();
        P.QtyMode = QuantityMode::None;
        P.Share = P.Price = P.StopPrice = P.Bid = P.Offer = 0;
        P.StopOrder = false;
        P.SecData.SecCode.clear();
        P.SecData.Stock.clear();
        P.SecData.ClassCode.clear();
        P.SecData.Digits = 0;
        P.SecData.MinMov = 0;
    }
}

void ReadStrategyOrder(TPreOrder &P, const DataSet &D)
{
    ClearPreOrder(P, OrderKind::Strategy);
    if (D.name() == QLatin1String("tFilledOrders") || D.name() == QLatin1String("qFilledOrders")) {
        P.FillPrice = numberOf(D.FieldByName(QStringLiteral("Fill Price")));
        P.TimeFilled = D.FieldByName(QStringLiteral("Time Filled")).toDateTime();
        P.Filled = true;
    }
    const QVariant id = D.FieldByName(QStringLiteral("ID"));
    P.Id = id.isNull() ? 0 : id.toLongLong();
    P.Symbol = textOf(D.FieldByName(QStringLiteral("Symbol")));
    P.Description = textOf(D.FieldByName(QStringLiteral("Description")));
    P.OrderType = textOf(D.FieldByName(QStringLiteral("OrderType")));
    P.OrderText = textOf(D.FieldByName(QStringLiteral("Order")));
    P.System = textOf(D.FieldByName(QStringLiteral("System")));
    P.Workspace = textOf(D.FieldByName(QStringLiteral("Workspace")));
    P.Signal = textOf(D.FieldByName(QStringLiteral("Signal")));
    P.Interval = textOf(D.FieldByName(QStringLiteral("Interval")));
    P.OrderNumber = textOf(D.FieldByName(QStringLiteral("Order Number")));
}

void ReadQuote(TPreOrder &P, const DataSet &Q)
{
    ClearPreOrder(P, OrderKind::Operator);
    P.SecData.Stock = textOf(Q.FieldByName(QStringLiteral("stock")));
    P.SecData.SecCode = textOf(Q.FieldByName(QStringLiteral("seccode")));
    P.SecData.ClassCode = textOf(Q.FieldByName(QStringLiteral("class_code")));
    P.SecData.Digits = integerOf(Q.FieldByName(QStringLiteral("Digits")));
    P.SecData.MinMov = numberOf(Q.FieldByName(QStringLiteral("MinMov")));
    P.SecData.LotSize = integerOf(Q.FieldByName(QStringLiteral("lotsize")));
    P.Offer = numberOf(Q.FieldByName(QStringLiteral("offer")));
    P.Bid = numberOf(Q.FieldByName(QStringLiteral("bid")));
    P.Last = numberOf(Q.FieldByName(QStringLiteral("last")));
}

bool CheckFilters(TDatMod &dm, const TPreOrder &P, QString &Reasons)
{
    bool result = true;
    if (!dm.IsTraded(P.Symbol)) {
        Reasons = QStringLiteral("Инструмент ") + P.Symbol.str() + QStringLiteral("  не торгуется. ");
        result = false;
    }
    if (!LocateText(dm.tWorkSpaces, QStringLiteral("workspace"), WorkspaceFileName(P.Workspace))) {
        Reasons += QStringLiteral("Фильтр рабочей области не пройден. ");
        result = false;
    }
    QString strategy = P.System.str().left(P.System.str().indexOf(QLatin1Char('(')));
    if (strategy.isEmpty())
        strategy = P.System;
    if (!LocateText(dm.tStrategy, QStringLiteral("strategy"), strategy)) {
        Reasons += QStringLiteral("Фильтр стратегии не пройден. ");
        result = false;
    }
    return result;
}

void ClearOrder(TOrder &O) { O = TOrder(); }

bool LookupSecurity(TDatMod &dm, TSecData &S, OrderKind kind)
{
    bool found = false;
    bool failed = false;
    try {
        if (!dm.tSecCode.Active())
            dm.tSecCode.Open();
        const QStringList statement{QStringLiteral("SELECT *"), QStringLiteral("FROM tSecCode"),
                                    kind == OrderKind::Strategy ? QStringLiteral("WHERE Ticker= \"") + jetsql::quoted(S.Ticker) + QStringLiteral("\"")
                                              : QStringLiteral("WHERE SecCode= \"") + jetsql::quoted(S.SecCode) + QStringLiteral("\"")};
        const QString memoKey = statement.join(QLatin1Char('\n'));
        if (dm.securityMemoDepth > 0) {
            const auto hit = dm.securityMemo.constFind(memoKey);
            if (hit != dm.securityMemo.cend()) {
                const QVariantMap &m = *hit;
                S.SecCode = m.value(QStringLiteral("SecCode")).toString();
                S.ClassCode = m.value(QStringLiteral("ClassCode")).toString();
                S.Digits = m.value(QStringLiteral("Digits")).toInt();
                S.Traded = m.value(QStringLiteral("Traded")).toBool();
                S.PointValue = m.value(QStringLiteral("PointValue")).toDouble();
                S.Slippage = m.value(QStringLiteral("Slippage")).toDouble();
                S.LotSize = m.value(QStringLiteral("LotSize")).toInt();
                S.MinMov = m.value(QStringLiteral("MinMov")).toDouble();
                S.BaseContract = m.value(QStringLiteral("BaseContract")).toString();
                S.Part = m.value(QStringLiteral("Part")).toDouble();
                S.FixVol = m.value(QStringLiteral("FixVol")).toDouble();
                return true;
            }
        }
        DataSet &q = dm.qSecCode;
        q.Close();
        q.setSQL(statement);
        q.Open();
        if (!q.IsEmpty()) {
            q.First();
            TSecData d = S; // Ticker and Stock keep their values
            d.SecCode = textOf(q.FieldByName(QStringLiteral("SecCode")));
            d.ClassCode = textOf(q.FieldByName(QStringLiteral("Class_Code")));
            d.Digits = requiredInteger(q, QStringLiteral("Digits"));
            d.Traded = required(q, QStringLiteral("Traded")).toBool();
            d.PointValue = requiredNumber(q, QStringLiteral("PointValue"));
            d.Slippage = requiredNumber(q, QStringLiteral("Slippage"));
            d.LotSize = integerOf(q.FieldByName(QStringLiteral("LotSize")));
            d.MinMov = numberOf(q.FieldByName(QStringLiteral("MinMov")));
            d.BaseContract = textOf(q.FieldByName(QStringLiteral("Base_Contract")));
            d.Part = numberOf(q.FieldByName(QStringLiteral("Part")));
            d.FixVol = numberOf(q.FieldByName(QStringLiteral("FixVol")));
            S = d;
            found = true;
            if (dm.securityMemoDepth > 0)
                dm.securityMemo.insert(memoKey, QVariantMap{{QStringLiteral("SecCode"), d.SecCode},
                                                            {QStringLiteral("ClassCode"), d.ClassCode},
                                                            {QStringLiteral("Digits"), d.Digits},
                                                            {QStringLiteral("Traded"), d.Traded},
                                                            {QStringLiteral("PointValue"), d.PointValue},
                                                            {QStringLiteral("Slippage"), d.Slippage},
                                                            {QStringLiteral("LotSize"), d.LotSize},
                                                            {QStringLiteral("MinMov"), d.MinMov},
                                                            {QStringLiteral("BaseContract"), d.BaseContract},
                                                            {QStringLiteral("Part"), d.Part},
                                                            {QStringLiteral("FixVol"), d.FixVol}});
        }
    } catch (const std::exception &e) {
        if (isTransient(e))
            throw;
        failed = true;
    }
    if (failed) {
        AddLog(QStringLiteral("Произошла ошибка при обращении к таблице \"Инструменты\" для тикера ") + S.Ticker + QStringLiteral("!"));
        FlushLog();
        return false;
    }
    if (!found) {
        AddLog(QStringLiteral("Ошибка! Не найден код акции \"") + S.Ticker + QStringLiteral("\" в таблице \"Инструменты\"!"));
        FlushLog();
        return false;
    }
    return true;
}

namespace {

// What an order's text says, as ParseOrderText sets it: each field only
// where the text gives it.
struct ParsedOrderText {
    std::optional<QString> operation;
    std::optional<qint32> quantity;
    std::optional<double> price;
    bool stopOrder = false;
    bool marketOrder = false;
    QString error; // a quantity that is no number
};

ParsedOrderText parseOrderText(const QString &text)
{
    ParsedOrderText parsed;
    QLocale numbers;
    numbers.setNumberOptions(QLocale::RejectGroupSeparator);

    QString token;
    int position = 0;
    for (const QChar c : text) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('(')) {
            token += c;
            continue;
        }
        ++position;
        switch (position) {
        case 1:
            if (token == QLatin1String("Buy"))
                parsed.operation = QStringLiteral("B");
            else if (token == QLatin1String("Sell"))
                parsed.operation = QStringLiteral("S");
            break;
        case 2: {
            bool ok = false;
            const qint32 quantity = token.toInt(&ok, 10);
            if (!ok) {
                parsed.error = QStringLiteral("'") + token + QStringLiteral("' is not a valid integer value");
                return parsed;
            }
            parsed.quantity = quantity;
            break;
        }
        case 4: {
            bool ok = false;
            const double price = numbers.toDouble(token, &ok);
            if (ok)
                parsed.price = price;
            break;
        }
        default:
            break;
        }
        token.clear();
    }

    parsed.stopOrder = text.contains(QLatin1String("STOP"), Qt::CaseInsensitive);
    parsed.marketOrder = text.contains(QLatin1String("MARKET"), Qt::CaseInsensitive);
    return parsed;
}

} // namespace

void ParseOrderText(TOrder &O, const TPreOrder &P)
{
    // Every client of an order reads the same text: read once.
    thread_local QString lastText;
    thread_local ParsedOrderText last;
    thread_local bool known = false;
    if (!known || lastText != P.OrderText.str()) {
        last = parseOrderText(P.OrderText);
        lastText = P.OrderText.str();
        known = true;
    }
    if (last.operation)
        O.Operation = *last.operation;
    if (!last.error.isEmpty())
        throw KorvinaError(last.error);
    if (last.quantity)
        O.Quantity = *last.quantity;
    if (last.price)
        O.Price = *last.price;
    O.StopOrder = last.stopOrder;
    if (last.marketOrder)
        O.MarketOrder = true;
    if (P.Filled) {
        O.Price = P.FillPrice;
        O.StopOrder = false;
        O.MarketOrder = true;
    }
}

void PriceOrder(TOrder &O)
{
    const double slippage = O.SecData.Slippage;
    const double x = O.Operation == QLatin1String("B") ? O.Price * (1 + slippage / 100) : O.Price * (1 - slippage / 100);
    O.StopPrice = x;
    if (O.StopOrder)
        std::swap(O.Price, O.StopPrice);
    if (O.MarketOrder)
        O.Price = O.StopPrice;
}

// --- Client accounts and sizing ----------------------------------------------

void ReadClientAccount(TDatMod &dm, TClientAccount &A) { FillClientAccount(A, dm.qActiveClients); }

void ReadClientAccount(const DataSet &clients, TClientAccount &A) { FillClientAccount(A, clients); }

void LoadClientAccount(TDatMod &dm, TClientAccount &A, const QString &code)
{
    DataSet &q = dm.qQuikData;
    q.Close();
    q.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM tClients"),
                         QStringLiteral("WHERE [tClients].[code] = \"") + jetsql::quoted(code) + QStringLiteral("\"")});
    q.Open();
    if (q.IsEmpty())
        return;
    q.First();
    FillClientAccount(A, q);
    A.IdQuik = integerOf(q.FieldByName(QStringLiteral("id_quik")));
}

bool ReadAccountAssets(TDatMod &dm, const TClientAccount &A, double &totalAssets, double &openLimit)
{
    // SELECT CurAllAssets FROM (merged portfolio) WHERE code= "A.Code", and
    // SELECT openlimit FROM (merged futures portfolio) WHERE account= "A.AccountForts":
    // the first row of each counts.
    try {
        const auto values = dm.portfolioLookups.firstValues(
            dm.qQuikData, {{dm.qPortfolioAll.SQLText(), QStringLiteral("code"), QStringLiteral("CurAllAssets"), A.Code},
                           {dm.qPortfolioFutAll.SQLText(), QStringLiteral("account"), QStringLiteral("openlimit"), A.AccountForts}});
        if (values[0])
            totalAssets = numberOf(*values[0]);
        if (values[1])
            openLimit = numberOf(*values[1]);
    } catch (const std::exception &e) {
        if (isTransient(e))
            throw; // sizing waits for the portfolio rather than going without it
        AddLog(QStringLiteral("Произошла ошибка при обращении к таблице \"Клиентский портфель\"!"));
        FlushLog();
        return false;
    }
    return totalAssets + openLimit > 0;
}

qint32 ReadCurrentBalance(TDatMod &dm, const Settings &settings, const TClientAccount &A, const TPreOrder &P)
{
    QString table, condition;
    if (P.SecData.ClassCode != SPBFUT) {
        table = QStringLiteral("tLimitStock");
        condition = QStringLiteral("[code] = \"") + jetsql::quoted(A.Code) + QStringLiteral("\"");
    } else {
        table = QStringLiteral("tLimitFut");
        condition = QStringLiteral("[account] = \"") + jetsql::quoted(A.AccountForts) + QStringLiteral("\"");
    }
    if (settings.accountMode() == AccountMode::Multi)
        table += QString::number(A.IdQuik);
    try {
        DataSet &q = dm.qQuikData;
        q.Close();
        q.setSQL(QStringList{QStringLiteral("SELECT [currentbal]"), QStringLiteral("FROM ") + table,
                             QStringLiteral("WHERE ") + condition + QStringLiteral(" AND [seccode]= \"")
                                 + jetsql::quoted(P.SecData.SecCode) + QStringLiteral("\"")});
        q.Open();
        if (q.IsEmpty())
            return 0;
        q.First();
        // A whole number of units, as the field gives it.
        return static_cast<qint32>(std::nearbyint(numberOf(q.FieldByName(QStringLiteral("currentbal")))));
    } catch (const std::exception &e) {
        if (isTransient(e))
            throw; // sizing waits for the balance rather than taking 0
        AddLog(QStringLiteral("Произошла ошибка: ") + failureText(e) + QStringLiteral("."));
        return 0;
    }
}

void RequireSizingSettings(const Settings &settings)
{
    auto require = [&settings](double value, const char *key) {
        if (!std::isnan(value))
            return;
        throw KorvinaError(QStringLiteral("Значение \"") + settings.unreadableValue(QLatin1String(key))
                           + QStringLiteral("\" ключа [Position] ") + QLatin1String(key)
                           + QStringLiteral(" в файле настроек не является числом: размер позиции не рассчитан."));
    };
    if (settings.rgpPositionSize == 1)
        require(settings.edtFixVol, "FixVol");
    else if (settings.rgpPositionSize == 2)
        require(settings.edtPart, "Part");
}

void SizeOrder(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A)
{
    if (P.Kind == OrderKind::Strategy)
        RequireSizingSettings(settings);
    const TSecData &sec = O.SecData;
    if (O.Price == 0 || sec.LotSize == 0 || sec.PointValue == 0)
        return;

    const bool futures = sec.ClassCode == SPBFUT;
    const double priceFactor = futures && sec.MinMov != 0 ? sec.PointValue / sec.MinMov : 1.0;
    const double lotSize = sec.LotSize;
    const int rule = settings.rgpPositionSize;

    double assets = 0;
    if (P.Kind == OrderKind::Operator || (P.Kind == OrderKind::Strategy && (rule == 2 || rule == 4))) {
        double total = 0, openLimit = 0;
        if (!ReadAccountAssets(dm, A, total, openLimit))
            return;
        assets = !A.Ebs && futures ? openLimit : total;
        assets = (1 + A.Leverage) * assets;
    }

    if (P.Kind == OrderKind::Strategy) {
        switch (rule) {
        case 0:
            O.Quantity = Lots(O.Quantity / lotSize);
            break;
        case 1:
            O.Quantity = Lots(settings.edtFixVol / O.Price / priceFactor / lotSize);
            break;
        case 2:
            O.Quantity = Lots(settings.edtPart / 100 * assets / O.Price / priceFactor / lotSize);
            break;
        case 3:
            O.Quantity = Lots(sec.FixVol / O.Price / priceFactor / lotSize);
            break;
        case 4:
            O.Quantity = Lots(sec.Part / 100 * assets / O.Price / priceFactor / lotSize);
            break;
        default:
            break;
        }
        // An exit closes what the robot's book holds for this client.
        if ((O.OrderType == QLatin1String("LX") || O.OrderType == QLatin1String("SX")) && settings.chExitQty) {
            if (const std::optional<qint32> held = ReadExitQty(dm, O, P)) {
                O.Quantity = *held;
                if (*held == 0)
                    AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" по счету ") + O.ClientCode
                           + QStringLiteral(": вход в позицию по ") + O.SecData.Ticker
                           + QStringLiteral(" не был исполнен (отвергнут терминалом), закрывать нечего."));
            }
        }
    } else if (P.Kind == OrderKind::Operator) {
        const QuantityMode mode = P.QtyMode;
        if (mode == QuantityMode::Accounts) {
            O.Quantity = Lots(P.Share / 100 * assets / O.Price / priceFactor / lotSize);
        } else if (mode == QuantityMode::Positions) {
            const qint32 balance = ReadCurrentBalance(dm, settings, A, P);
            O.Quantity = Lots(balance * P.Share / 100 / lotSize);
        } else if (mode == QuantityMode::SetPosition) {
            const qint32 balance = ReadCurrentBalance(dm, settings, A, P);
            const qint32 x = Lots((P.Share / 100 * assets - balance * O.Price) / O.Price / lotSize);
            O.Operation = x > 0 ? QStringLiteral("B") : QStringLiteral("S");
            O.Quantity = x < 0 ? -x : x;
        }
    }
}
