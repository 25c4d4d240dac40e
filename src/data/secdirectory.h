#pragma once

#include <QLocale>
#include <QString>

#include <optional>

class DataSet;
class TDatMod;

// The securities directory tSecCode: what it refuses to store, and the
// totals shown under its grid.

// The footer texts under the directory grid's columns Traded, FixVol and
// Part: how many securities are traded, and the sums of their FixVol and Part.
struct TSumList {
    QString traded;
    QString fixVol;
    QString part;
    bool operator==(const TSumList &o) const = default;
};

// The directory's check of a row about to be saved: a row without a SecCode
// (null or the empty text; blanks count as a code) is refused with the text
// the window shows, and stays in editing. Nothing else is checked.
bool tSecCodeBeforePost(DataSet &row);

// Closes and opens qSecCodeSum and gives the totals in the locale's number
// format: the count as a whole number, the FixVol sum with thousands
// separators and two decimals, the Part sum in its shortest form (no
// trailing zeros, no grouping). With no traded row: "0", "0.00", "0".
// Nothing when QuikData is not connected; throws KorvinaError when the query
// cannot be read.
std::optional<TSumList> ReadSumList(TDatMod &dm, const QLocale &locale = QLocale());
