#include "pricedigits.h"

#include "dataset.h"
#include "views.h"

namespace {

QString keyOf(const QVariant &text) { return text.toString().trimmed().toCaseFolded(); }

// The first row's value of every key; rows without a key or a number of
// decimals are left out.
void collect(const DataSet &set, const QString &keyField, const QString &digitsField, QHash<QString, int> &into)
{
    const int key = set.fieldIndex(keyField);
    const int digits = set.fieldIndex(digitsField);
    if (!set.Active() || key < 0 || digits < 0)
        return;
    for (int r = 0; r < set.RecordCount(); ++r) {
        const QString k = keyOf(set.value(r, key));
        const QVariant d = set.value(r, digits);
        bool number = false;
        const int n = d.toInt(&number);
        if (!k.isEmpty() && !d.isNull() && number && !into.contains(k))
            into.insert(k, n);
    }
}

} // namespace

PriceDigits::PriceDigits(DataSet &quotes, DataSet &directory, QObject *parent)
    : QObject(parent), m_quotes(quotes), m_directory(directory)
{
    for (DataSet *set : {&quotes, &directory}) {
        connect(set, &QAbstractItemModel::modelReset, this, &PriceDigits::forget);
        connect(set, &QAbstractItemModel::rowsInserted, this, &PriceDigits::forget);
        connect(set, &QAbstractItemModel::rowsRemoved, this, &PriceDigits::forget);
        connect(set, &QAbstractItemModel::rowsMoved, this, &PriceDigits::forget);
        connect(set, &QAbstractItemModel::dataChanged, this, &PriceDigits::forget);
        connect(set, &DataSet::opened, this, &PriceDigits::forget);
        connect(set, &DataSet::closed, this, &PriceDigits::forget);
        connect(set, &DataSet::reread, this, &PriceDigits::forget);
    }
}

void PriceDigits::read() const
{
    if (m_read)
        return;
    m_byName.clear();
    m_byCode.clear();
    m_byTicker.clear();
    collect(m_quotes, QStringLiteral("stock"), QStringLiteral("Digits"), m_byName);
    collect(m_quotes, QStringLiteral("seccode"), QStringLiteral("Digits"), m_byCode);
    // A ticker takes the decimals of its code's quotes, else the directory's.
    const int ticker = m_directory.fieldIndex(QStringLiteral("Ticker"));
    const int code = m_directory.fieldIndex(QStringLiteral("SecCode"));
    if (m_directory.Active() && ticker >= 0 && code >= 0)
        for (int r = 0; r < m_directory.RecordCount(); ++r) {
            const QString t = keyOf(m_directory.value(r, ticker));
            const auto quoted = m_byCode.constFind(keyOf(m_directory.value(r, code)));
            if (!t.isEmpty() && quoted != m_byCode.cend() && !m_byTicker.contains(t))
                m_byTicker.insert(t, *quoted);
        }
    collect(m_directory, QStringLiteral("Ticker"), QStringLiteral("Digits"), m_byTicker);
    m_read = true;
}

std::optional<int> PriceDigits::byName(const QString &stock) const
{
    read();
    const QString k = keyOf(stock);
    if (const auto it = m_byName.constFind(k); it != m_byName.cend())
        return *it;
    if (const auto it = m_byCode.constFind(k); it != m_byCode.cend())
        return *it;
    return std::nullopt;
}

std::optional<int> PriceDigits::byTicker(const QString &ticker) const
{
    read();
    if (const auto it = m_byTicker.constFind(keyOf(ticker)); it != m_byTicker.cend())
        return *it;
    return std::nullopt;
}

QString PriceDigits::text(const QVariant &price, std::optional<int> digits, const QLocale &locale)
{
    if (!price.isValid() || price.isNull())
        return QString();
    if (digits)
        return FormatPrice(price, *digits, locale);
    bool number = false;
    const double v = price.toDouble(&number);
    if (!number)
        return price.toString();
    QLocale grouped = locale;
    grouped.setNumberOptions(QLocale::DefaultNumberOptions);
    return grouped.toString(v, 'f', QLocale::FloatingPointShortest);
}
