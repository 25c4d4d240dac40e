#pragma once

#include <QLocale>
#include <QString>
#include <QVariant>

// Numbers in the grids and footers, shown through a display pattern such as
// "### ### ##0.00", "#0.00" or "### ### ###":
//
// - `#` is an optional digit, `0` a required one; `.` (the first one) is the
//   decimal point, shown with the locale's decimal separator.
// - Every other character is a literal. A literal between digit positions
//   is shown only where a digit stands to its left, so the blanks of
//   "### ### ##0" group the digits and no leading blank is ever shown.
//   Literals before the first and after the last digit position (a prefix
//   or a suffix) are always shown with the number.
// - Integer part: at least as many digits as there are positions from the
//   leftmost `0` to the point (leading zeros fill them); with no `0` before
//   the point an integer part of zero shows no digit at all (0.5 in
//   "### ###.00" is ",50"). Digits beyond the pattern's positions are all
//   shown, grouped as the pattern groups: the literal between its leftmost
//   two groups and the size of the group right of it repeat to the left
//   (1234567890 in "### ##0" is "1 234 567 890").
// - Decimals: as many as positions after the point, rounded half away from
//   zero on the number's shortest decimal form (12.345 in "#0.00" is 12.35).
//   `#` positions after the point are optional: trailing zeros in them are
//   dropped, and the decimal separator goes too when no decimal is left.
// - The minus sign stands right before the number's first character (digit
//   or decimal separator); a value that rounds to zero has no sign.
// - A value that shows no digit at all gives an empty text: 0 in "### ###"
//   (and -0.3 in "###") shows an empty cell, as the operator's grids always
//   have. NaN and infinities give an empty text too.
// - An empty pattern gives the shortest plain form of the number.
QString FormatDisplay(double value, const QString &pattern, const QLocale &locale = QLocale());

// A cell's value: empty for a null value, numbers (integers exactly, doubles,
// and texts that read as a number in the C locale or in `locale`) through the
// pattern; any other value is shown as its text, unchanged.
QString FormatDisplay(const QVariant &value, const QString &pattern, const QLocale &locale = QLocale());
