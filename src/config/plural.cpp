#include "plural.h"

QString RussianPlural(qint64 count, const QString &one, const QString &few, const QString &many)
{
    // The last two digits decide; 11 to 14 take the form of "many" whatever
    // their last digit.
    const qint64 lastTwo = (count < 0 ? -(count % 100) : count % 100);
    const qint64 last = lastTwo % 10;
    if (lastTwo >= 11 && lastTwo <= 14)
        return many;
    if (last == 1)
        return one;
    if (last >= 2 && last <= 4)
        return few;
    return many;
}
