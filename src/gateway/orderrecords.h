#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The trading records an order passes through on its way from its source to
// a terminal transaction: the incoming order (TPreOrder), the data of its
// security (TSecData) and one client's order (TOrder). The order engine fills
// them; the gateway turns a client's order into a transaction. Records are
// plain values.

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

// Where an incoming order comes from: a strategy's order read from an alert
// row, or the operator's order from the order forms.
enum class OrderKind : quint8 { Strategy = 0, Operator = 1 };

// How an operator order's share becomes each client's quantity: a share of
// the account, a share of the position held, or the position to set as a
// share of the account.
enum class QuantityMode { None, Accounts, Positions, SetPosition };
// The mode as the order dialog lists it: "СЧЕТА", "ПОЗИЦИИ",
// "УСТАН.ПОЗИЦИЮ"; empty for None.
QString QuantityModeText(QuantityMode mode);
// The mode a text names (compared exactly); None for any other text.
QuantityMode QuantityModeOf(const QString &text);

// An incoming order: a strategy order read from an alert row, or an operator
// order from the order forms. Only the fields of the record's kind are
// meaningful.
struct TPreOrder {
    // Common part
    TSecData SecData;     // operator orders: the quotes row of the security
    double Last = 0;      // last price, operator orders
    double SlipRate = 0;  // slippage as a fraction, used by the operator forms
    ShortText OrderType;  // "LE", "LX", "SE", "SX"
    bool KillOrders = false; // cancel all orders (or stop orders) in the security
    OrderKind Kind = OrderKind::Strategy;

    // Strategy order, from the alert row
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

    // Operator order
    qint32 GroupId = -1;  // client group; -1 none chosen
    ShortText Operation;  // "B" buy, "S" sell
    double Share = 0;     // quantity as a percentage, read by QtyMode
    QuantityMode QtyMode = QuantityMode::None;
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

// The file-name part of a workspace path: the text after its last "\" or ":".
QString WorkspaceFileName(const QString &path);

// The price text of a transaction: cut down to whole price steps, written
// with the security's decimals and the locale's decimal separator.
QString FormatOrderPrice(const TSecData &S, double V);

// Truncation toward zero of a quotient that floating point may have put a
// hair below a whole number: a quotient within a tolerance far below any real
// fraction of the whole number of larger magnitude counts as that number.
qint64 TruncSteps(double quotient);

