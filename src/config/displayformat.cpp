#include "displayformat.h"

#include <QList>

#include <cmath>

namespace {

bool isPlaceholder(QChar c) { return c == QLatin1Char('#') || c == QLatin1Char('0'); }

// A number as its decimal digits: the integer part without leading zeros
// (empty for zero), the fraction as far as it goes.
struct Digits {
    bool negative = false;
    QString integer;
    QString fraction;
};

Digits fromDouble(double value)
{
    Digits d;
    d.negative = value < 0;
    const double magnitude = std::abs(value);
    if (magnitude == 0)
        return d;
    // The shortest form that reads back as the same double: 12.345 is
    // rounded as the operator reads it, not as its binary neighbour
    // 12.3449999...
    const QString sci = QString::number(magnitude, 'e', QLocale::FloatingPointShortest);
    const int e = sci.indexOf(QLatin1Char('e'));
    QString mantissa = sci.left(e);
    mantissa.remove(QLatin1Char('.'));
    const int exponent = sci.mid(e + 1).toInt();
    if (exponent >= 0) {
        if (mantissa.size() <= exponent + 1) {
            d.integer = mantissa + QString(exponent + 1 - mantissa.size(), QLatin1Char('0'));
        } else {
            d.integer = mantissa.left(exponent + 1);
            d.fraction = mantissa.mid(exponent + 1);
        }
    } else {
        d.fraction = QString(-exponent - 1, QLatin1Char('0')) + mantissa;
    }
    return d;
}

Digits fromText(QString digits, bool negative)
{
    Digits d;
    d.negative = negative;
    int zeros = 0;
    while (zeros < digits.size() && digits[zeros] == QLatin1Char('0'))
        ++zeros;
    d.integer = digits.mid(zeros);
    return d;
}

// Rounds half away from zero to `decimals` digits after the point; the
// fraction then has exactly that many digits.
void roundTo(Digits &d, int decimals)
{
    if (d.fraction.size() <= decimals) {
        d.fraction += QString(decimals - d.fraction.size(), QLatin1Char('0'));
        return;
    }
    const bool up = d.fraction[decimals] >= QLatin1Char('5');
    d.fraction.truncate(decimals);
    if (!up)
        return;
    QString all = d.integer + d.fraction;
    int i = all.size() - 1;
    while (i >= 0 && all[i] == QLatin1Char('9'))
        all[i--] = QLatin1Char('0');
    if (i < 0)
        all.prepend(QLatin1Char('1'));
    else
        all[i] = QChar(all[i].unicode() + 1);
    d.fraction = all.right(decimals);
    d.integer = all.left(all.size() - decimals);
    int zeros = 0;
    while (zeros < d.integer.size() && d.integer[zeros] == QLatin1Char('0'))
        ++zeros;
    d.integer.remove(0, zeros);
}

struct Token {
    bool digit = false;
    QChar kind;      // '#' or '0' for a digit position
    QString literal; // otherwise
};

QList<Token> tokens(QStringView text)
{
    QList<Token> out;
    for (const QChar c : text) {
        if (isPlaceholder(c)) {
            out.append(Token{true, c, {}});
        } else if (!out.isEmpty() && !out.last().digit) {
            out.last().literal += c;
        } else {
            out.append(Token{false, {}, QString(c)});
        }
    }
    return out;
}

QString plain(double value, const QLocale &locale)
{
    QLocale loc = locale;
    loc.setNumberOptions(QLocale::OmitGroupSeparator);
    return loc.toString(value, 'g', QLocale::FloatingPointShortest);
}

QString format(Digits d, const QString &pattern, const QLocale &locale)
{
    int first = -1, last = -1;
    for (int i = 0; i < pattern.size(); ++i)
        if (isPlaceholder(pattern[i])) {
            if (first < 0)
                first = i;
            last = i;
        }
    const int point = pattern.indexOf(QLatin1Char('.'));
    auto withoutPoint = [](QString s) { return s.remove(QLatin1Char('.')); };
    const QString prefix = point >= 0 && point < first ? withoutPoint(pattern.left(first)) : pattern.left(first);
    const QString suffix = point > last ? withoutPoint(pattern.mid(last + 1)) : pattern.mid(last + 1);
    const QStringView body = QStringView(pattern).mid(first, last - first + 1);
    const int bodyPoint = point > first && point < last ? point - first : -1;
    QList<Token> integer = point >= 0 && point < first ? QList<Token>() : tokens(bodyPoint >= 0 ? body.left(bodyPoint) : body);
    const QList<Token> fraction = point >= 0 && point < first ? tokens(body)
                                  : bodyPoint >= 0           ? tokens(body.mid(bodyPoint + 1))
                                                             : QList<Token>();

    // Decimals: every position after the point; those after the last `0` are optional.
    int decimals = 0, requiredDecimals = 0;
    for (const Token &t : fraction)
        if (t.digit) {
            ++decimals;
            if (t.kind == QLatin1Char('0'))
                requiredDecimals = decimals;
        }
    roundTo(d, decimals);
    int shownDecimals = decimals;
    while (shownDecimals > requiredDecimals && d.fraction[shownDecimals - 1] == QLatin1Char('0'))
        --shownDecimals;

    // Integer digits: at least the positions from the leftmost `0` on.
    int places = 0, requiredInteger = 0;
    for (const Token &t : integer)
        if (t.digit)
            ++places;
    for (int i = 0, position = places; i < integer.size(); ++i)
        if (integer[i].digit) {
            if (integer[i].kind == QLatin1Char('0') && requiredInteger == 0)
                requiredInteger = position;
            --position;
        }
    QString intDigits = d.integer;
    if (intDigits.size() < requiredInteger)
        intDigits.prepend(QString(requiredInteger - intDigits.size(), QLatin1Char('0')));
    const int n = intDigits.size();

    if (n == 0 && shownDecimals == 0)
        return {};

    // More digits than positions: the leftmost group is filled up, then the
    // pattern's grouping repeats to the left.
    if (n > places) {
        int leftRun = 0, groupSize = 0;
        QString separator;
        int i = 0;
        while (i < integer.size() && integer[i].digit)
            ++i, ++leftRun;
        if (i < integer.size() && i > 0) {
            separator = integer[i].literal;
            for (int j = i + 1; j < integer.size() && integer[j].digit; ++j)
                ++groupSize;
        }
        int need = n - places;
        const Token digit{true, QLatin1Char('#'), {}};
        if (groupSize == 0 || separator.isEmpty()) {
            for (; need > 0; --need)
                integer.prepend(digit);
        } else {
            for (int fill = std::min(need, std::max(0, groupSize - leftRun)); fill > 0; --fill, --need)
                integer.prepend(digit);
            while (need > 0) {
                integer.prepend(Token{false, {}, separator});
                for (int k = std::min(need, groupSize); k > 0; --k, --need)
                    integer.prepend(digit);
            }
        }
        places = n;
    }

    QString text;
    bool anyDigit = false;
    for (int i = 0, position = places; i < integer.size(); ++i) {
        const Token &t = integer[i];
        if (t.digit) {
            --position;
            if (position < n) {
                text += intDigits[n - 1 - position];
                anyDigit = true;
            }
        } else if (anyDigit) {
            text += t.literal;
        }
    }
    if (shownDecimals > 0) {
        text += locale.decimalPoint();
        for (int i = 0, position = 0; i < fraction.size(); ++i) {
            const Token &t = fraction[i];
            if (t.digit) {
                if (position < shownDecimals)
                    text += d.fraction[position];
                ++position;
            } else if (position < shownDecimals) {
                // a literal between decimals: shown when a decimal follows it
                text += t.literal;
            }
        }
    }

    bool zero = true;
    for (const QChar c : d.integer + d.fraction)
        zero = zero && c == QLatin1Char('0');
    const QString sign = d.negative && !zero ? locale.negativeSign() : QString();
    return prefix + sign + text + suffix;
}

} // namespace

QString FormatDisplay(double value, const QString &pattern, const QLocale &locale)
{
    if (!std::isfinite(value))
        return {};
    if (!pattern.contains(QLatin1Char('#')) && !pattern.contains(QLatin1Char('0')))
        return plain(value, locale);
    return format(fromDouble(value), pattern, locale);
}

QString FormatDisplay(const QVariant &value, const QString &pattern, const QLocale &locale)
{
    if (!value.isValid() || value.isNull())
        return {};
    const bool noDigits = !pattern.contains(QLatin1Char('#')) && !pattern.contains(QLatin1Char('0'));
    auto integer = [&](qlonglong v) {
        if (noDigits)
            return locale.toString(v).remove(locale.groupSeparator());
        QString digits = QString::number(v);
        const bool negative = digits.startsWith(QLatin1Char('-'));
        if (negative)
            digits.remove(0, 1);
        return format(fromText(digits, negative), pattern, locale);
    };
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::SChar:
        return integer(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::UChar:
        if (noDigits)
            return QString::number(value.toULongLong());
        return format(fromText(QString::number(value.toULongLong()), false), pattern, locale);
    case QMetaType::Bool:
        return integer(value.toBool() ? 1 : 0);
    case QMetaType::Double:
    case QMetaType::Float:
        return FormatDisplay(value.toDouble(), pattern, locale);
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return {};
        bool ok = false;
        const qlonglong whole = text.toLongLong(&ok);
        if (ok)
            return integer(whole);
        const QLocale c(QLocale::C);
        double number = c.toDouble(text, &ok);
        if (!ok)
            number = locale.toDouble(text, &ok);
        return ok ? FormatDisplay(number, pattern, locale) : value.toString();
    }
    default: {
        bool ok = false;
        const double number = value.toDouble(&ok);
        return ok ? FormatDisplay(number, pattern, locale) : value.toString();
    }
    }
}
