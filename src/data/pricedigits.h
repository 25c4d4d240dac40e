#pragma once

#include <QHash>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QVariant>

#include <optional>

class DataSet;

// How many decimals a security's prices are shown with, for the grids whose
// rows name a security without carrying its decimals: the `Digits` of the
// security's row in the quotes table tParam.
//
// - The terminals' orders and trades name it by its name in the quotes
//   (`stock`; a row whose `seccode` is the text serves as well).
// - The strategy platform's tables name it by its ticker (`Symbol`): the
//   directory tSecCode gives the code of that ticker and the quotes its
//   decimals; the directory's own `Digits` serve when the quotes have no row
//   for the code.
//
// Texts compare without regard to letter case or blanks around them. The two
// tables are read once and again only after they changed (a refresh, a
// row edited, opened or closed), not for every cell.
class PriceDigits : public QObject {
    Q_OBJECT
public:
    PriceDigits(DataSet &quotes, DataSet &directory, QObject *parent = nullptr);

    // Nothing when the security is not known (or has no decimals given).
    std::optional<int> byName(const QString &stock) const;
    std::optional<int> byTicker(const QString &ticker) const;

    // A price cell's text: with the security's decimals and thousands
    // separators, as the quotes grid shows prices (FormatPrice); without
    // known decimals, in its shortest form, with thousands separators. A
    // null price shows nothing.
    static QString text(const QVariant &price, std::optional<int> digits, const QLocale &locale = QLocale());

private:
    void read() const;
    void forget() { m_read = false; }

    DataSet &m_quotes;
    DataSet &m_directory;
    mutable bool m_read = false;
    mutable QHash<QString, int> m_byName;   // quotes: stock -> Digits
    mutable QHash<QString, int> m_byCode;   // quotes: seccode -> Digits
    mutable QHash<QString, int> m_byTicker; // directory: Ticker -> Digits (the quotes' first)
};
