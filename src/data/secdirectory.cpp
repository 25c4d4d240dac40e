#include "secdirectory.h"

#include "config/floatformat.h"
#include "datmod.h"

bool tSecCodeBeforePost(DataSet &row)
{
    if (!row.FieldByName(QStringLiteral("SecCode")).toString().isEmpty())
        return true;
    row.setLastError(QStringLiteral("Введите данные в поле \"Код в Quik`е\""));
    return false;
}

std::optional<TSumList> ReadSumList(TDatMod &dm, const QLocale &locale)
{
    if (!dm.conQuikData.isOpen())
        return std::nullopt;
    DataSet &q = dm.qSecCodeSum;
    q.Close();
    q.Open();
    // An aggregate gives one row; its sums are null when no row is traded.
    auto number = [&q](const char *field) {
        const QVariant v = q.IsEmpty() ? QVariant() : q.value(0, QLatin1String(field));
        return v.isNull() ? 0.0 : v.toDouble();
    };
    // The shortest form: up to 15 significant digits, no trailing zeros and,
    // unlike the money sums, no thousands separators.
    QLocale plain = locale;
    plain.setNumberOptions(plain.numberOptions() | QLocale::OmitGroupSeparator);

    TSumList sums;
    sums.traded = QString::number(qint64(number("SumTraded")));
    sums.fixVol = FormatFixed(number("SumFixVol"), 10, 2, true, locale);
    sums.part = plain.toString(number("SumPart"), 'g', 15);
    return sums;
}
