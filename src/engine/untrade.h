#pragma once

#include "gateway/orderrecords.h"

#include <QString>
#include <QVariant>
#include <QtGlobal>

class DataSet;
class Settings;
class TDatMod;

// The routines that fill, check, price and size the trading records (the
// records themselves, which the gateway turns into transactions, are in
// gateway/orderrecords.h), and the client account. Records are plain values;
// the routines keep no state between calls.

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
void ClearPreOrder(TPreOrder &P, OrderKind kind);
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
bool LookupSecurity(TDatMod &dm, TSecData &S, OrderKind kind);
// Direction, quantity, price and the stop and market flags from the text of
// a strategy order. Throws KorvinaError when the quantity is no integer.
void ParseOrderText(TOrder &O, const TPreOrder &P);
// The limit and stop prices of a strategy order with the security's slippage.
void PriceOrder(TOrder &O);

// --- Client accounts and sizing ----------------------------------------------

// A fills from the current row of qActiveClients (IdQuik keeps its value).
void ReadClientAccount(TDatMod &dm, TClientAccount &A);
// A fills from the current row of a query with tClients' columns (IdQuik
// keeps its value).
void ReadClientAccount(const DataSet &clients, TClientAccount &A);
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
