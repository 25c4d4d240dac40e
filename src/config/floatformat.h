#pragma once

#include <QLocale>
#include <QString>

// Numbers shown to the operator and written into transactions: fixed-point
// text with a given number of decimals, rounded once to at most `precision`
// significant digits (half away from zero), with the locale's decimal
// separator and, when asked, its thousands separator. Digits beyond the
// precision are written as zeros.
QString FormatFixed(double value, int precision, int digits, bool thousands, const QLocale &locale = QLocale());
