#include "views.h"

#include "config/floatformat.h"
#include "datmod.h"
#include "dataset.h"
#include "jetsql.h"

#include <QHash>

namespace {
const QString CRLF = QStringLiteral("\r\n");

// The terminals a MULTI statement walks: the list read from its first row;
// an empty list still gives one part, with number 0 and an empty name.
QVector<TQuikTerminal> walked(const QVector<TQuikTerminal> &terminals)
{
    return terminals.isEmpty() ? QVector<TQuikTerminal>{TQuikTerminal()} : terminals;
}
} // namespace

QVector<TQuikTerminal> ReadTerminals(DataSet &tQuik)
{
    QVector<TQuikTerminal> out;
    if (!tQuik.Active())
        tQuik.Open();
    for (int r = 0; r < tQuik.RecordCount(); ++r) {
        TQuikTerminal t;
        t.id_quik = tQuik.value(r, QStringLiteral("id_quik")).toInt();
        t.active = tQuik.value(r, QStringLiteral("active")).toBool();
        t.quik = tQuik.value(r, QStringLiteral("quik")).toString();
        t.path = tQuik.value(r, QStringLiteral("path")).toString();
        out.append(t);
    }
    return out;
}

QString BuildUnionQuery(const QString &table, AccountMode mode, const QVector<TQuikTerminal> &terminals)
{
    QString s;
    if (mode == AccountMode::Single) {
        s = QStringLiteral("SELECT *, \"Quik\" as QuikName FROM  ") + table + CRLF;
    } else {
        bool first = true;
        for (const TQuikTerminal &t : walked(terminals)) {
            const QString q = jetsql::quoted(t.quik);
            const QString n = QString::number(t.id_quik);
            if (first)
                s = QStringLiteral("SELECT *, \"") + q + QStringLiteral("\" As Quikname") + CRLF + QStringLiteral("FROM ") + table + n + CRLF;
            else
                s += QStringLiteral("UNION") + CRLF + QStringLiteral("SELECT *, \"") + q + QStringLiteral("\" as QuikName") + CRLF
                    + QStringLiteral("FROM ") + table + n + CRLF;
            first = false;
        }
    }
    const QString upper = table.toUpper();
    if (upper == QLatin1String("TQUIKORDERS"))
        s = QStringLiteral("SELECT * FROM (") + s + QStringLiteral(") ORDER BY  orderdate DESC, ordertime DESC");
    else if (upper == QLatin1String("TTRADES"))
        s = QStringLiteral("SELECT * FROM (") + s + QStringLiteral(")  ORDER BY tradetime DESC");
    return s;
}

QString BuildLimitsQuery(bool allLimits, std::optional<int> group, const QString &client, const QString &security,
                         AccountMode mode, const QVector<TQuikTerminal> &terminals)
{
    const QString S = allLimits
        ? QStringLiteral(" tclients.code, tclients.accountMICEX as Account , seccode, openbal, currentbal, 0 as Est\r\n")
        : QStringLiteral(" tclients.code, tclients.accountMICEX as Account , tparam.seccode, openbal, currentbal, currentbal*[tParam].[last] as Est\r\n");
    const QString F = allLimits
        ? QStringLiteral(" tclients.code, tclients.accountFORTS as Account , seccode, openbal, currentbal,  0 as Est\r\n")
        : QStringLiteral(" tclients.code, tclients.accountFORTS as Account , tparam.seccode, openbal, currentbal, "
                         "currentbal*[tParam].[last]*[tParam].[PointValue]/[tParam].[MinMov] as Est\r\n");
    const QString M = allLimits
        ? QStringLiteral(" tclients.code, TAG AS Account , CURRCODE AS seccode, openbal, currentbal, 1/2*0 as Est\r\n")
        : QStringLiteral(" tclients.code, TAG AS ACCOUNT , CURRCODE AS SECCODE, openbal, currentbal, currentbal AS EST\r\n");

    QString W = QStringLiteral("WHERE (([openbal]<>0) OR ([currentbal]<>0))");
    if (!client.isEmpty())
        W += QStringLiteral(" AND ( tclients.code= \"") + jetsql::quoted(client) + QStringLiteral("\")");
    W += CRLF;
    if (group)
        W += QStringLiteral("AND tClients.id IN ( SELECT tGroupClients.id_client FROM tGroupClients WHERE id_group=")
            + QString::number(*group) + QStringLiteral(")");
    const QString X = QStringLiteral("AND TAG<>\"EQTS\"");

    QString stock, futures, money;
    if (mode == AccountMode::Single) {
        if (!allLimits) {
            stock = QStringLiteral("SELECT \"Quik\" as Quikname, ") + S
                + QStringLiteral("FROM (tLimitStock INNER JOIN tclients ON tLimitStock.code = tclients.code) INNER JOIN tParam ON tlimitstock.seccode=tparam.seccode\r\n");
            futures = QStringLiteral("SELECT \"Quik\" as Quikname, ") + F
                + QStringLiteral("FROM (tLimitFut INNER JOIN tclients ON tLimitFut.ACCOUNT = tclients.AccountFORTS) INNER JOIN tParam ON tlimitfut.seccode=tparam.seccode\r\n");
            money = QStringLiteral("SELECT \"Quik\" as Quikname, ") + M
                + QStringLiteral("FROM (tLimitMoney INNER JOIN tclients ON tLimitMoney.code = tclients.code)\r\n");
        } else {
            stock = QStringLiteral("SELECT \"Quik\" as Quikname,") + S
                + QStringLiteral(" FROM (tLimitStock RIGHT JOIN tclients ON tLimitStock.code = tclients.code)\r\n");
            futures = QStringLiteral("SELECT \"Quik\" as Quikname,") + F
                + QStringLiteral(" FROM (tLimitFut RIGHT JOIN tclients ON tLimitFut.ACCOUNT = tclients.AccountFORTS)\r\n");
            money = QStringLiteral("SELECT \"Quik\" as Quikname,") + M
                + QStringLiteral("FROM (tLimitMoney RIGHT JOIN tclients ON tLimitMoney.code = tclients.code)\r\n");
        }
        stock += W;
        futures += W;
        money += W + X;
    } else {
        bool first = true;
        for (const TQuikTerminal &t : walked(terminals)) {
            const QString Q = jetsql::quoted(t.quik);
            const QString N = QString::number(t.id_quik);
            const QString head = QStringLiteral("SELECT \"") + Q + QStringLiteral("\" as Quikname, ");
            QString s, f, m;
            if (!allLimits) {
                s = head + S + QStringLiteral("FROM (tLimitStock") + N + QStringLiteral(" INNER JOIN tclients ON tLimitStock") + N
                    + QStringLiteral(".code = tclients.code) INNER JOIN tParam ON tlimitstock") + N + QStringLiteral(".seccode=tparam.seccode\r\n");
                f = head + F + QStringLiteral("FROM (tLimitFut") + N + QStringLiteral("  INNER JOIN tclients ON tLimitFut") + N
                    + QStringLiteral(".ACCOUNT = tclients.AccountFORTS) INNER JOIN tParam ON tlimitfut") + N + QStringLiteral(".seccode=tparam.seccode\r\n");
                if (first)
                    m = head + M + QStringLiteral("FROM tLimitMoney") + N + QStringLiteral("  INNER JOIN tclients ON tLimitMoney") + N
                        + QStringLiteral(".code = tclients.code\r\n");
                else
                    m = head + M + QStringLiteral("FROM (tLimitMoney") + N + QStringLiteral("  INNER JOIN tclients ON tLimitMoney") + N
                        + QStringLiteral(".code = tclients.code)\r\n");
            } else {
                s = head + S + QStringLiteral("FROM tLimitStock") + N + QStringLiteral(" RIGHT JOIN tclients ON tLimitStock") + N
                    + QStringLiteral(".code = tclients.code\r\n");
                f = head + F + QStringLiteral("FROM tLimitFut") + N + QStringLiteral("  RIGHT JOIN tclients ON tLimitFut") + N
                    + QStringLiteral(".ACCOUNT = tclients.AccountFORTS\r\n");
                m = head + M + QStringLiteral("FROM tLimitMoney") + N + QStringLiteral("  RIGHT JOIN tclients ON tLimitMoney") + N
                    + (first ? QStringLiteral(".Code = tclients.Code\r\n") : QStringLiteral(".Code = tclients.code\r\n"));
            }
            s += W;
            f += W;
            m += W + X;
            if (first) {
                stock = s;
                futures = f;
                money = m;
            } else {
                stock += QStringLiteral("UNION\r\n") + s;
                futures += QStringLiteral("UNION\r\n") + f;
                money += QStringLiteral("UNION\r\n") + m;
            }
            first = false;
        }
    }

    QString statement = stock + CRLF + QStringLiteral("UNION\r\n") + futures + CRLF + QStringLiteral("UNION\r\n") + money;
    if (!security.isEmpty())
        statement = QStringLiteral("SELECT * FROM (") + statement + QStringLiteral(" ) WHERE SecCode = \"") + jetsql::quoted(security) + QStringLiteral("\"");
    return statement;
}

QString BuildSecCodeListQuery(const QString &limitsStatement)
{
    return QStringLiteral("SELECT DISTINCT seccode FROM (") + limitsStatement + QStringLiteral(")");
}

QString BuildPortfolioSumQuery(const QString &portfolioAllText)
{
    return QStringLiteral("Select Count(code) as SumCode,  Sum(openassets) as SumOpenAssets,Sum(shorts) as SumShorts, "
                          "Sum(longs) as Sumlongs, Sum(CurAssets) as SumCurAssets,Sum(OpenAllAssets) as SumOpenAllAssets, "
                          "Sum(CurAllAssets) as SumCurAllAssets,Avg(margin) as AvgMargin, Avg(curLeverage) as AvgCurLeverage,"
                          "Sum(profitloss) as SumProfitLoss, Avg(change) as AvgChange, Avg(Leverage) as AvgLeverage From  (")
        + portfolioAllText + QStringLiteral(")");
}

QString BuildPortfolioFutSumQuery(const QString &portfolioFutAllText)
{
    return QStringLiteral("Select Count(account) as SumAccount,  Sum(openlimit) as SumOpenLimit,Sum(planlimit) as SumPlanLimit, "
                          "Sum(usedlimit) as SumUsedLimit, Sum(varmargin) as SumVarMargin From  (")
        + portfolioFutAllText + QStringLiteral(")");
}

QString BuildLimitPartsSumQuery(const QString &portfolioAllText)
{
    return QStringLiteral("Select code, SUM([curallassets]) as sumasset FROM (") + portfolioAllText
        + QStringLiteral(") WHERE curallassets<>0 GROUP BY code");
}

QVector<QVariant> LimitParts(const QStringList &fields, const QVector<QVector<QVariant>> &rows, const Database::Rows &sums)
{
    // Codes compare without regard to letter case, as the database compares text.
    QHash<QString, double> byCode;
    for (const QVector<QVariant> &s : sums.rows) {
        if (s.size() < 2 || s[0].isNull())
            continue;
        byCode[s[0].toString().toCaseFolded()] += s[1].toDouble();
    }
    auto column = [&fields](const char *name) {
        for (int i = 0; i < fields.size(); ++i)
            if (fields[i].compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return i;
        return -1;
    };
    const int codeColumn = column("code");
    const int estColumn = column("est");
    QVector<QVariant> parts(rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        const double sum = codeColumn < 0 ? 0.0 : byCode.value(rows[r].value(codeColumn).toString().toCaseFolded(), 0.0);
        const QVariant est = estColumn < 0 ? QVariant() : rows[r].value(estColumn);
        parts[r] = sum != 0 ? (est.isNull() ? 0.0 : est.toDouble()) * 100 / sum : 0.0;
    }
    return parts;
}

QString LimitValuationCurrency(const QString &seccode, const QSet<QString> &quotedSecurities)
{
    const QString code = seccode.trimmed().toUpper();
    if (code.isEmpty() || quotedSecurities.contains(code) || code == QLatin1String("SUR") || code == QLatin1String("RUR")
        || code == QLatin1String("RUB"))
        return QStringLiteral("RUB");
    return code;
}

QString FormatPrice(const QVariant &price, const QVariant &digits, const QLocale &locale)
{
    return FormatFixed(price.isNull() ? 0.0 : price.toDouble(), 16, digits.isNull() ? 0 : digits.toInt(), true, locale);
}

std::optional<TPortfolioTotals> ReadPortfolioTotals(TDatMod &dm, const QLocale &locale)
{
    if (!dm.conQuikData.isOpen())
        return std::nullopt;
    dm.qPortfolioSum.Close();
    dm.qPortfolioSum.Open();
    dm.qPortfolioFutSum.Close();
    dm.qPortfolioFutSum.Open();

    auto value = [](const DataSet &q, const char *field) {
        return q.IsEmpty() ? QVariant() : q.value(0, QLatin1String(field));
    };
    auto count = [&](const DataSet &q, const char *field) { return QString::number(value(q, field).toLongLong()); };
    auto money = [&](const DataSet &q, const char *field) {
        const QVariant v = value(q, field);
        return FormatFixed(v.isNull() ? 0.0 : v.toDouble(), 10, 2, true, locale);
    };

    const DataSet &p = dm.qPortfolioSum;
    const DataSet &f = dm.qPortfolioFutSum;
    TPortfolioTotals t;
    t.portfolio = {{QStringLiteral("code"), count(p, "SumCode")},
                   {QStringLiteral("shorts"), money(p, "SumShorts")},
                   {QStringLiteral("longs"), money(p, "Sumlongs")},
                   {QStringLiteral("openallassets"), money(p, "SumOpenAllAssets")},
                   {QStringLiteral("curallassets"), money(p, "SumCurAllAssets")},
                   {QStringLiteral("margin"), money(p, "AvgMargin")},
                   {QStringLiteral("leverage"), money(p, "AvgLeverage")},
                   {QStringLiteral("curleverage"), money(p, "AvgCurLeverage")},
                   {QStringLiteral("change"), money(p, "AvgChange")},
                   {QStringLiteral("profitloss"), money(p, "SumProfitLoss")}};
    t.futures = {{QStringLiteral("account"), count(f, "SumAccount")},
                 {QStringLiteral("openlimit"), money(f, "SumOpenLimit")},
                 {QStringLiteral("planlimit"), money(f, "SumPlanLimit")},
                 {QStringLiteral("usedlimit"), money(f, "SumUsedLimit")},
                 {QStringLiteral("varmargin"), money(f, "SumVarMargin")}};
    return t;
}
