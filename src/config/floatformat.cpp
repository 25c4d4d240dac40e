#include "floatformat.h"

#include <algorithm>
#include <cmath>

QString FormatFixed(double value, int precision, int digits, bool thousands, const QLocale &locale)
{
    QLocale loc = locale;
    loc.setNumberOptions(thousands ? QLocale::DefaultNumberOptions : QLocale::OmitGroupSeparator);
    if (!std::isfinite(value))
        return loc.toString(value);

    digits = std::clamp(digits, 0, 18);
    precision = std::clamp(precision, 1, 18);
    const double magnitude = std::abs(value);

    // The decimal exponent of the leading digit once rounded to the precision.
    int exponent = 0;
    if (magnitude != 0) {
        const QString sci = QString::number(magnitude, 'e', precision - 1);
        exponent = sci.mid(sci.indexOf(QLatin1Char('e')) + 1).toInt();
    }
    // Decimals that still hold significant digits.
    int decimals = std::min(digits, precision - 1 - exponent);
    double rounded = value;
    if (decimals < 0) {
        // More whole digits than the precision: the lower ones become zeros.
        const double scale = std::pow(10.0, -decimals);
        rounded = std::round(value / scale) * scale;
        decimals = 0;
    }
    // A value that rounds to zero shows no sign.
    const QString plain = QString::number(std::abs(rounded), 'f', decimals);
    if (std::all_of(plain.cbegin(), plain.cend(), [](QChar c) { return c == QLatin1Char('0') || c == QLatin1Char('.'); }))
        rounded = 0;

    QString text = loc.toString(rounded, 'f', decimals);
    if (decimals < digits) {
        if (decimals == 0)
            text += loc.decimalPoint();
        text += QString(digits - decimals, QLatin1Char('0'));
    }
    return text;
}
