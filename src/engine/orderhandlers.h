#pragma once

#include "untrade.h"

class Settings;
class TDatMod;

// A per-client handler: fills the client's order from the prepared order and
// the account; true when a transaction is to be made.
using TOrderHandler = bool (*)(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A);

// A new order or stop order, priced and sized for the client.
bool MakeNewOrder(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A);
// A cancellation of all the client's orders (or stop orders) in the security.
bool MakeKillOrders(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A);

// The condition line of the active clients of a terminal for a strategy order.
QString ActiveClientsCondition(const QString &classCode, const QString &orderType, int idQuik);
