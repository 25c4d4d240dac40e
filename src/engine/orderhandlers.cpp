// The per-client handlers of an order: a new order (or stop order) priced
// and sized for the client, or the cancellation of the client's orders.

#include "orderhandlers.h"

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"

namespace {

void setAccount(TOrder &O, const TClientAccount &A)
{
    O.Account = A.AccountMicex;
    if (O.SecData.ClassCode == QLatin1String("SPBFUT"))
        O.Account = A.AccountForts;
    else if (O.SecData.ClassCode == QLatin1String("GTS"))
        O.Account = A.Code;
}

} // namespace

bool MakeNewOrder(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A)
{
    ClearOrder(O);
    O.ClientCode = A.Code;
    O.OrderType = P.OrderType;
    O.SecData.Ticker = P.Symbol;
    O.SecData.SecCode = P.SecData.SecCode;
    if (!LookupSecurity(dm, O.SecData, P.Kind))
        return false;
    if (P.Kind == OrderKind::Strategy) {
        // A strategy order's text is read and its slippage applied.
        O.OrderId = P.Id;
        ParseOrderText(O, P);
        PriceOrder(O);
    } else {
        // An operator order carries its prices, direction and stop flag.
        O.Price = P.Price;
        O.StopPrice = P.StopPrice;
        O.Operation = P.Operation;
        O.StopOrder = P.StopOrder;
    }
    SizeOrder(dm, settings, O, P, A);
    // A target position turns the order around for a client who holds more
    // (or less) than the target: the price the operator set was for the other
    // side, so this client's order is priced from its own side of the quotes,
    // a sale from the bid, a buy from the offer, with the order's slippage.
    // The quantity stays as sized.
    if (P.Kind == OrderKind::Operator && !O.StopOrder && O.Operation != P.Operation.str()) {
        if (O.Operation == QLatin1String("S"))
            O.Price = P.Bid * (1 - P.SlipRate);
        else
            O.Price = P.Offer * (1 + P.SlipRate);
    }
    O.Action = O.StopOrder ? QStringLiteral("NEW_STOP_ORDER") : QStringLiteral("NEW_ORDER");
    setAccount(O, A);
    return true;
}

bool MakeKillOrders(TDatMod &dm, const Settings &, TOrder &O, const TPreOrder &P, const TClientAccount &A)
{
    ClearOrder(O);
    O.ClientCode = A.Code;
    O.SecData = P.SecData;
    LookupSecurity(dm, O.SecData, P.Kind);
    O.StopOrder = P.StopOrder;
    O.Action = QStringLiteral("KILL_ALL_ORDERS");
    if (O.SecData.ClassCode == QLatin1String("SPBFUT"))
        O.Action = QStringLiteral("KILL_ALL_FUTURES_ORDERS");
    if (O.StopOrder)
        O.Action = QStringLiteral("KILL_ALL_STOP_ORDERS");
    setAccount(O, A);
    FlushLog();
    return true;
}

QString ActiveClientsCondition(const QString &classCode, const QString &orderType, int idQuik)
{
    QString w = QStringLiteral("WHERE [tClients].[Active] = True  ");
    w += classCode == QLatin1String("SPBFUT") ? QStringLiteral("AND [tClients].[FortsEnb]=True ") : QStringLiteral("AND [tClients].[MicexEnb]=True ");
    if (orderType == QLatin1String("LE") || orderType == QLatin1String("LX"))
        w += QStringLiteral("AND [tClients].[LongEnb]=True ");
    if (orderType == QLatin1String("SE") || orderType == QLatin1String("SX"))
        w += QStringLiteral("AND [tClients].[ShortEnb]=True ");
    w += QStringLiteral(" AND [tClients].[id_quik] = ") + QString::number(idQuik);
    return w;
}
