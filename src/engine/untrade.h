#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QtGlobal>

class DataSet;
class Settings;
class TDatMod;

// The trading records and the routines that fill, check, price and size them.
// An order passes through three records: the incoming order (TPreOrder), the
// data of its security (TSecData) and one client's order (TOrder). Records are
// plain values; the routines keep no state between calls.

// A text of at most 255 characters: a longer value is cut to its first 255.
class ShortText {
public:
    static constexpr qsizetype MaxLength = 255;

    ShortText() = default;
    ShortText(const QString &text) : m_text(text.left(MaxLength)) {}
    ShortText(const char *text) : ShortText(QString::fromUtf8(text)) {}
    ShortText &operator=(const QString &text)
    {
        m_text = text.left(MaxLength);
        return *this;
    }
    ShortText &operator=(const char *text) { return *this = QString::fromUtf8(text); }

    const QString &str() const { return m_text; }
    operator const QString &() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }
    qsizetype size() const { return m_text.size(); }

    friend bool operator==(const ShortText &a, const ShortText &b) { return a.m_text == b.m_text; }
    friend bool operator==(const ShortText &a, const QString &b) { return a.m_text == b; }
    friend bool operator==(const ShortText &a, const char *b) { return a.m_text == QString::fromUtf8(b); }

private:
    QString m_text;
};

// The data of one security, from the securities directory or the quotes table.
struct TSecData {
    QString SecCode;      // code in the trading terminal
    QString Stock;        // short name (quotes table only)
    QString ClassCode;    // "SPBFUT" marks a FORTS futures contract
    QString BaseContract; // base contract of a futures contract
    QString Ticker;       // the strategy platform's symbol
    qint32 Digits = 0;    // decimals of the price
    qint32 LotSize = 0;   // units per lot
    double PointValue = 0; // money value of one price step
    double MinMov = 0;    // price step
    bool Traded = false;  // the robot trades this security
    double Slippage = 0;  // percent applied to strategy orders
    double Part = 0;      // share of the account in percent for this security
    double FixVol = 0;    // money sum per trade for this security
};

// An incoming order: a strategy order (Kind 0) read from an alert row, or an
// operator order (Kind 1) from the order forms. Only the fields of the
// record's kind are meaningful.
struct TPreOrder {
    // Common part
    TSecData SecData;     // operator orders: the quotes row of the security
    double Last = 0;      // last price, operator orders
    double SlipRate = 0;  // slippage as a fraction, used by the operator forms
    ShortText OrderType;  // "LE", "LX", "SE", "SX"
    bool KillOrders = false; // cancel all orders (or stop orders) in the security
    quint8 Kind = 0;      // 0 strategy order, 1 operator order

    // Strategy order (Kind 0), from the alert row
    qint64 Id = 0;
    ShortText Symbol;     // the strategy's ticker; kept empty for operator orders
    ShortText Description;
    ShortText OrderText;  // column "Order"
    ShortText System;     // strategy name followed by its inputs in parentheses
    ShortText Workspace;  // path of the workspace file
    ShortText Signal;
    ShortText Interval;
    double FillPrice = 0;
    QDateTime TimeFilled;
    bool Filled = false;  // the row comes from the filled-orders table
    ShortText OrderNumber;

    // Operator order (Kind 1)
    qint32 GroupId = -1;  // client group; -1 none chosen
    ShortText Operation;  // "B" buy, "S" sell
    double Share = 0;     // quantity as a percentage, read by QtyMode
    ShortText QtyMode;    // "СЧЕТА", "ПОЗИЦИИ" or "УСТАН.ПОЗИЦИЮ"
    double Price = 0;     // limit price
    double StopPrice = 0; // stop (trigger) price
    bool StopOrder = false;
    double Bid = 0;
    double Offer = 0;
};

// One client's order as it will be sent.
struct TOrder {
    QString Action;       // "NEW_ORDER", "NEW_STOP_ORDER", "KILL_ALL_ORDERS", ...
    QString Operation;    // "B" buy, "S" sell
    qint32 Quantity = 0;  // lots
    double Price = 0;     // limit price
    double StopPrice = 0; // stop (trigger) price
    bool StopOrder = false;
    bool MarketOrder = false; // to execute at once: a filled order, or "MARKET" in its text
    QString ClientCode;
    QString Account;
    QString OrderKey;
    QString StopOrderKey;
    QString OrderType;
    qint64 OrderId = 0;   // Id of the strategy order; 0 for operator orders
    TSecData SecData;     // the security's directory data
};

// One client account.
struct TClientAccount {
    QString Code;         // client code in the terminal
    QString AccountMicex; // MICEX trading account
    QString AccountForts; // FORTS account, key of the futures limits
    bool LongEnb = false;
    bool ShortEnb = false;
    double Leverage = 0;  // the assets count (1 + Leverage) times in sizing
    bool MicexEnb = false;
    bool FortsEnb = false;
    bool Ebs = false;     // unified account: futures sized on the total assets
    qint32 IdQuik = 0;    // the client's terminal
};

// --- Orders, securities, filters -------------------------------------------

// The highest price an order may carry: beyond it a price is a fault of the
// row, not a market's.
constexpr double MaxOrderPrice = 1e12;

// Why a strategy order cannot be sized and priced for any client, or an
// empty text when it can: a filled order needs a "Fill Price" that is a
// positive number (as stored in the row: `fillPrice`), and every order a
// direction ("Buy" or "Sell" in its text).
QString UnusableOrder(const TPreOrder &P, const QVariant &fillPrice);

// Resets P for the kind (0 strategy order, 1 operator order).
void ClearPreOrder(TPreOrder &P, quint8 kind);
// P as a strategy order from the current row of an alert table or query.
void ReadStrategyOrder(TPreOrder &P, const DataSet &D);
// P as an operator order from the current row of the quotes table.
void ReadQuote(TPreOrder &P, const DataSet &Q);
// True when the strategy order passes the traded, workspace and strategy
// filters; otherwise Reasons gets the text of every filter that failed.
bool CheckFilters(TDatMod &dm, const TPreOrder &P, QString &Reasons);

void ClearOrder(TOrder &O);
// Fills S from the securities directory: by Ticker for kind 0, by SecCode
// otherwise. False (and one log line) when the security is unknown or the
// directory cannot be read; a transient failure (the database busy or
// locked) is thrown instead, so that the order is tried again.
bool LookupSecurity(TDatMod &dm, TSecData &S, quint8 kind);
// Direction, quantity, price and the stop and market flags from the text of
// a strategy order. Throws KorvinaError when the quantity is no integer.
void ParseOrderText(TOrder &O, const TPreOrder &P);
// The limit and stop prices of a strategy order with the security's slippage.
void PriceOrder(TOrder &O);
// The price text of a transaction: cut down to whole price steps, written
// with the security's decimals and the locale's decimal separator.
QString FormatOrderPrice(const TSecData &S, double V);

// The file-name part of a workspace path: the text after its last "\" or ":".
QString WorkspaceFileName(const QString &path);

// Truncation toward zero of a quotient that floating point may have put a
// hair below a whole number: a quotient within a tolerance far below any real
// fraction of the whole number of larger magnitude counts as that number.
qint64 TruncSteps(double quotient);

// --- Client accounts and sizing ----------------------------------------------

// A fills from the current row of qActiveClients (IdQuik keeps its value).
void ReadClientAccount(TDatMod &dm, TClientAccount &A);
// A fills from the row of tClients with the code; unchanged when there is none.
void LoadClientAccount(TDatMod &dm, TClientAccount &A, const QString &code);
// The client's total assets and FORTS open limit from the merged portfolios.
// The caller starts both at 0. True when their sum is above 0.
bool ReadAccountAssets(TDatMod &dm, const TClientAccount &A, double &totalAssets, double &openLimit);
// The client's current holding of P's security in units; 0 when none.
qint32 ReadCurrentBalance(TDatMod &dm, const Settings &settings, const TClientAccount &A, const TPreOrder &P);
// Throws KorvinaError when the sizing rule of strategy orders needs a
// setting (FixVol, Part) whose stored text is no number: such orders are
// refused, never sized on a default.
void RequireSizingSettings(const Settings &settings);
// O.Quantity (and for the set-position rule O.Operation) for client A.
void SizeOrder(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A);
