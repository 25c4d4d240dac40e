#pragma once

#include "config/settings.h"
#include "database.h"

#include <QLocale>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVector>
#include <optional>

class DataSet;
class TDatMod;

// The merged views of the terminals' exports. In SINGLE mode (0) one terminal
// exports into the base tables; in MULTI mode (1) terminal N exports into the
// base name followed by N, and the views unite every terminal's copy with the
// terminal's name in the column QuikName. Values pasted between double quotes
// are quoted with jetsql::quoted().

// One row of the terminal list tQuik.
struct TQuikTerminal {
    int id_quik = 0;
    bool active = false;
    QString quik;
    QString path;
};

// The terminal list from its first row to its last, in the table's order.
QVector<TQuikTerminal> ReadTerminals(DataSet &tQuik);

// The merged view of one terminal export table. In MULTI mode an empty
// terminal list gives a statement over suffix 0 with an empty terminal name,
// which fails to open.
QString BuildUnionQuery(const QString &table, AccountMode mode, const QVector<TQuikTerminal> &terminals);

// The positions view: stock holdings, futures positions and money limits of
// the clients, optionally only one group, one client or one security (an
// empty client or security means none).
QString BuildLimitsQuery(bool allLimits, std::optional<int> group, const QString &client, const QString &security,
                         AccountMode mode, const QVector<TQuikTerminal> &terminals);

// The views derived from the others at connection; each takes the full text
// of its source statement.
QString BuildSecCodeListQuery(const QString &limitsStatement);
QString BuildPortfolioSumQuery(const QString &portfolioAllText);
QString BuildPortfolioFutSumQuery(const QString &portfolioFutAllText);

// The share of the client's assets of every row of the positions view: the
// row's valuation `est` × 100 ÷ the sum of the client's non-zero `curallassets`
// over the merged portfolio (every terminal of the client), 0 without such a
// sum. One grouped statement, read with the view's rows, gives every client's
// sum (code, sumasset); LimitParts then fills the column from both.
QString BuildLimitPartsSumQuery(const QString &portfolioAllText);
QVector<QVariant> LimitParts(const QStringList &fields, const QVector<QVector<QVariant>> &rows, const Database::Rows &sums);

// The currency a row of the positions view is valued in (its `est`): a
// security at its quote's price, in roubles; a money limit, whose code is
// its currency's and which the quotes do not know, in that currency. The
// rouble's codes (SUR, RUR, RUB) are one currency, "RUB".
QString LimitValuationCurrency(const QString &seccode, const QSet<QString> &quotedSecurities);

// The shown text of a quote price: thousands separators, at most 16
// significant digits, exactly `digits` decimals (0 when empty); an empty
// price shows as 0.
QString FormatPrice(const QVariant &price, const QVariant &digits, const QLocale &locale = QLocale());

// The footer row of the portfolio grids: the text under each column.
struct TFooterValue {
    QString column;
    QString text;
    bool operator==(const TFooterValue &o) const { return column == o.column && text == o.text; }
};
struct TPortfolioTotals {
    QVector<TFooterValue> portfolio; // under qPortfolioAll
    QVector<TFooterValue> futures;   // under qPortfolioFutAll
};

// Re-reads qPortfolioSum and qPortfolioFutSum and gives the footer texts:
// the two counts as whole numbers, every other value with thousands
// separators, two decimals and at most 10 significant digits. Nothing when
// QuikData is not connected.
std::optional<TPortfolioTotals> ReadPortfolioTotals(TDatMod &dm, const QLocale &locale = QLocale());
