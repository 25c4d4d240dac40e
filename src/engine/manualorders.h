#pragma once

#include "gateway/orderrecords.h"

#include <QString>

class DataSet;

// The orders the operator prepares in the windows (the order dialog, the
// positions grid, the quick orders form); the windows only pass what the
// operator chose.

// The buttons of the quick orders form that prepare an order.
enum class QuickButton { Open, Close, OfferDoubleClick, BidDoubleClick, Volume, Part, Set };

// The quick form's order from the current quotes row: the direction button
// down (long or short), the group, the slippage in percent and, for the
// volume, part and set buttons, the number in the button's own box.
TPreOrder PrepareQuickOrder(const DataSet &quotes, QuickButton button, bool isLong, qint32 groupId, double slippagePercent,
                            double boxValue);

// The closing order of the positions grid's current row: its security's
// quotes row becomes current in `quotes`. False when the security is not
// among the quotes (nothing is to happen). The group: the positions
// filter's, else the default group (-1 each when none).
bool PreparePositionOrder(TPreOrder &P, DataSet &quotes, const DataSet &limits, qint32 filterGroup, qint32 defaultGroup);

// Whether an order of the quick form asks for the operator's confirmation
// in the order dialog before it goes out.
bool QuickOrderNeedsDialog(const TPreOrder &P);

// What a dispatch of an operator order did.
struct TManualDispatch {
    int formed = 0;   // transactions formed (the counter's step)
    QString failure;  // why some clients got nothing; empty when all did
};
