#include "jetsql.h"

#include "config/korvinaerror.h"

#include <QRegularExpression>
#include <QStringList>

namespace jetsql {

QString quoted(const QString &value)
{
    if (!value.contains(QLatin1Char('"')))
        return value;
    QString out = value;
    out.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return out;
}

namespace {

bool isWordChar(QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('_'); }

// Walks a Jet statement; calls `emit` with the SQLite text of each piece.
template <typename Sink>
void scan(const QString &jet, Sink &&sink)
{
    const int n = jet.size();
    int i = 0;
    while (i < n) {
        const QChar c = jet[i];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            // A text literal; the quote character doubled stands for itself.
            QString value;
            int j = i + 1;
            bool closed = false;
            while (j < n) {
                if (jet[j] == c) {
                    if (j + 1 < n && jet[j + 1] == c) {
                        value += c;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                value += jet[j++];
            }
            if (!closed)
                throw KorvinaError(QStringLiteral("Незакрытая строка в запросе: ") + jet.mid(i));
            sink.literal(value);
            i = j + 1;
        } else if (c == QLatin1Char('[')) {
            int j = jet.indexOf(QLatin1Char(']'), i + 1);
            if (j < 0)
                throw KorvinaError(QStringLiteral("Незакрытая скобка в запросе: ") + jet.mid(i));
            sink.name(jet.mid(i + 1, j - i - 1));
            i = j + 1;
        } else if (c == QLatin1Char(':') && i + 1 < n && isWordChar(jet[i + 1])
                   && (i == 0 || !isWordChar(jet[i - 1]))) {
            int j = i + 1;
            while (j < n && isWordChar(jet[j]))
                ++j;
            sink.parameter(jet.mid(i + 1, j - i - 1));
            i = j;
        } else if (isWordChar(c)) {
            int j = i;
            while (j < n && isWordChar(jet[j]))
                ++j;
            const QString word = jet.mid(i, j - i);
            const bool qualified = i > 0 && jet[i - 1] == QLatin1Char('.');
            const bool dotAfter = j < n && jet[j] == QLatin1Char('.');
            sink.word(word, qualified, dotAfter);
            i = j;
        } else {
            sink.other(c);
            ++i;
        }
    }
}

struct SqliteSink {
    QString out;
    void literal(const QString &v)
    {
        out += QLatin1Char('\'');
        out += QString(v).replace(QLatin1Char('\''), QLatin1String("''"));
        out += QLatin1Char('\'');
    }
    void name(const QString &v)
    {
        out += QLatin1Char('"');
        out += QString(v).replace(QLatin1Char('"'), QLatin1String("\"\""));
        out += QLatin1Char('"');
    }
    void parameter(const QString &v) { out += QLatin1Char(':') + v; }
    void word(const QString &w, bool qualified, bool)
    {
        if (!qualified && w.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
            out += QLatin1Char('1');
        else if (!qualified && w.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
            out += QLatin1Char('0');
        else
            out += w;
    }
    void other(QChar c) { out += c; }
};

struct ParamSink {
    QStringList names;
    void literal(const QString &) {}
    void name(const QString &) {}
    void parameter(const QString &v)
    {
        for (const QString &n : names)
            if (n.compare(v, Qt::CaseInsensitive) == 0)
                return;
        names << v;
    }
    void word(const QString &, bool, bool) {}
    void other(QChar) {}
};

// The SQLite text with each text literal and whole number that directly
// follows a comparison (=, <, >) taken out as a parameter of its own.
struct ShapeSink : SqliteSink {
    bool fold = false;
    bool afterCompare = false;
    ParamSink params;
    QVariantList values;

    void take(const QVariant &v)
    {
        values << v;
        // The blank keeps a word that follows the value ("x"UNION) apart.
        out += QStringLiteral(":") + QLatin1String(FoldedPrefix) + QString::number(values.size()) + QLatin1Char(' ');
    }
    void literal(const QString &v)
    {
        if (fold && afterCompare)
            take(v);
        else
            SqliteSink::literal(v);
        afterCompare = false;
    }
    void name(const QString &v)
    {
        SqliteSink::name(v);
        afterCompare = false;
    }
    void parameter(const QString &v)
    {
        SqliteSink::parameter(v);
        params.parameter(v);
        afterCompare = false;
    }
    void word(const QString &w, bool qualified, bool dotAfter)
    {
        bool number = fold && afterCompare && !qualified && !dotAfter && !w.isEmpty();
        for (const QChar c : w)
            number = number && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        bool ok = false;
        const qlonglong value = number ? w.toLongLong(&ok) : 0;
        if (ok)
            take(value);
        else
            SqliteSink::word(w, qualified, dotAfter);
        afterCompare = false;
    }
    void other(QChar c)
    {
        SqliteSink::other(c);
        if (c == QLatin1Char('=') || c == QLatin1Char('<') || c == QLatin1Char('>'))
            afterCompare = true;
        else if (!c.isSpace())
            afterCompare = false;
    }
};

} // namespace

Shape shape(const QString &jet)
{
    static const QRegularExpression dml(QStringLiteral("^\\s*(SELECT|INSERT|UPDATE|DELETE)\\b"), QRegularExpression::CaseInsensitiveOption);
    ShapeSink sink;
    sink.out.reserve(jet.size() + 16);
    sink.fold = dml.match(jet).hasMatch();
    scan(jet, sink);
    return Shape{writeTarget(jet), std::move(sink.out), std::move(sink.params.names), std::move(sink.values)};
}

QString writeTarget(const QString &statement)
{
    static const QRegularExpression write(QStringLiteral("^\\s*(?:INSERT\\s+INTO|UPDATE|DELETE\\s+FROM)\\s+(\\[[^\\]]+\\]|\"[^\"]+\"|\\w+)"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression select(QStringLiteral("^\\s*SELECT\\b"), QRegularExpression::CaseInsensitiveOption);
    const auto m = write.match(statement);
    if (m.hasMatch()) {
        QString table = m.captured(1);
        if (table.startsWith(QLatin1Char('[')) || table.startsWith(QLatin1Char('"')))
            table = table.mid(1, table.size() - 2);
        return table.toLower();
    }
    if (select.match(statement).hasMatch() && !parseSelectInto(statement))
        return QString();
    return QStringLiteral("*");
}

QString toSqlite(const QString &jet)
{
    SqliteSink sink;
    sink.out.reserve(jet.size() + 16);
    scan(jet, sink);
    return sink.out;
}

QStringList parameterNames(const QString &jet)
{
    ParamSink sink;
    scan(jet, sink);
    return sink.names;
}

std::optional<SelectInto> parseSelectInto(const QString &jet)
{
    static const QRegularExpression re(
        QStringLiteral("^\\s*SELECT\\s+\\*\\s+INTO\\s+(\\[[^\\]]+\\]|\\w+)\\s+FROM\\s+(\\[[^\\]]+\\]|\\w+)(.*)$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const auto m = re.match(jet);
    if (!m.hasMatch())
        return std::nullopt;
    auto bare = [](QString s) {
        if (s.startsWith(QLatin1Char('[')))
            s = s.mid(1, s.size() - 2);
        return s;
    };
    return SelectInto{bare(m.captured(1)), bare(m.captured(2)), m.captured(3)};
}

} // namespace jetsql
