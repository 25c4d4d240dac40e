#include "orderrecords.h"

#include "config/floatformat.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

qint64 TruncSteps(double quotient)
{
    if (!std::isfinite(quotient))
        return 0;
    const double magnitude = std::abs(quotient);
    double whole = std::trunc(magnitude);
    // Binary floating point can leave a quotient that is whole in decimal
    // arithmetic a few units of the last place below it (150750 / 10 as
    // 15074.999999999998). Such a hair is not a fraction of a step or a lot.
    const double tolerance = std::max(1e-9, magnitude * 1e-12);
    if (whole + 1 - magnitude <= tolerance)
        whole += 1;
    const double limit = 9.2e18;
    const qint64 n = whole >= limit ? static_cast<qint64>(limit) : static_cast<qint64>(whole);
    return quotient < 0 ? -n : n;
}

QString QuantityModeText(QuantityMode mode)
{
    switch (mode) {
    case QuantityMode::Accounts:
        return QStringLiteral("СЧЕТА");
    case QuantityMode::Positions:
        return QStringLiteral("ПОЗИЦИИ");
    case QuantityMode::SetPosition:
        return QStringLiteral("УСТАН.ПОЗИЦИЮ");
    case QuantityMode::None:
        break;
    }
    return QString();
}

QuantityMode QuantityModeOf(const QString &text)
{
    for (QuantityMode m : {QuantityMode::Accounts, QuantityMode::Positions, QuantityMode::SetPosition})
        if (text == QuantityModeText(m))
            return m;
    return QuantityMode::None;
}

QString WorkspaceFileName(const QString &path)
{
    const qsizetype at = std::max(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char(':')));
    return at < 0 ? path : path.mid(at + 1);
}

QString FormatOrderPrice(const TSecData &S, double V)
{
    // Every client of an order is priced alike: the last price written is
    // kept with what it was written from.
    struct Last {
        double minMov = 0;
        double value = 0;
        int digits = 0;
        QLocale locale;
        QString text;
        bool valid = false;
    };
    thread_local Last last;
    const QLocale locale;
    if (last.valid && last.minMov == S.MinMov && last.value == V && last.digits == S.Digits && last.locale == locale)
        return last.text;
    last.minMov = S.MinMov;
    last.value = V;
    last.digits = S.Digits;
    last.locale = locale;
    if (S.MinMov > 0)
        V = static_cast<double>(TruncSteps(V / S.MinMov)) * S.MinMov;
    last.text = FormatFixed(V, 16, S.Digits, false, locale);
    last.valid = true;
    return last.text;
}

