#include "manualorders.h"

#include "config/operationlog.h"
#include "data/dataset.h"
#include "data/datmod.h"
#include "untrade.h"

TPreOrder PrepareQuickOrder(const DataSet &quotes, QuickButton button, bool isLong, qint32 groupId, double slippagePercent,
                            double boxValue)
{
    TPreOrder P;
    ReadQuote(P, quotes);
    const QString side = isLong ? QStringLiteral("L") : QStringLiteral("S");
    P.OrderType = side;
    P.GroupId = groupId;
    P.SlipRate = slippagePercent / 100;
    switch (button) {
    case QuickButton::Open:
        P.OrderType = side + QStringLiteral("E");
        break;
    case QuickButton::Close:
        P.OrderType = side + QStringLiteral("X");
        break;
    case QuickButton::OfferDoubleClick:
        P.OrderType = QStringLiteral("LE");
        P.SlipRate = 0;
        break;
    case QuickButton::BidDoubleClick:
        P.OrderType = QStringLiteral("SE");
        P.SlipRate = 0;
        break;
    case QuickButton::Volume:
        // Both directions priced from the offer.
        P.OrderType = side + QStringLiteral("E");
        P.QtyMode = QuantityMode::Accounts;
        P.Share = boxValue;
        P.Operation = isLong ? QStringLiteral("B") : QStringLiteral("S");
        P.Price = isLong ? P.Offer * (1 + P.SlipRate) : P.Offer * (1 - P.SlipRate);
        break;
    case QuickButton::Part:
        P.OrderType = side + QStringLiteral("X");
        P.QtyMode = QuantityMode::Positions;
        P.Share = boxValue;
        P.Operation = isLong ? QStringLiteral("S") : QStringLiteral("B");
        P.Price = isLong ? P.Offer * (1 - P.SlipRate) : P.Offer * (1 + P.SlipRate);
        break;
    case QuickButton::Set:
        P.OrderType = QStringLiteral("LE");
        P.QtyMode = QuantityMode::SetPosition;
        P.Share = boxValue;
        break;
    }
    return P;
}

bool PreparePositionOrder(TPreOrder &P, DataSet &quotes, const DataSet &limits, qint32 filterGroup, qint32 defaultGroup)
{
    if (!limits.Active() || limits.IsEmpty() || !quotes.Active())
        return false;
    const QString code = limits.FieldByName(QStringLiteral("seccode")).toString();
    if (!quotes.Locate(QStringLiteral("seccode"), code))
        return false;
    ReadQuote(P, quotes);
    P.Share = 100;
    const double balance = limits.FieldByName(QStringLiteral("currentbal")).toDouble();
    if (balance > 0)
        P.OrderType = QStringLiteral("LX");
    else if (balance < 0)
        P.OrderType = QStringLiteral("SX");
    P.GroupId = filterGroup >= 0 ? filterGroup : defaultGroup;
    return true;
}

bool QuickOrderNeedsDialog(const TPreOrder &P) { return P.Share == 0 || P.QtyMode == QuantityMode::SetPosition; }
