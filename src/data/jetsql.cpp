#include "jetsql.h"

#include "config/korvinaerror.h"

#include <QDateTime>
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

// The closing '#' of a Jet date literal starting at `from` ("#2026-03-01#",
// "#03/01/2026 10:30#"), or -1 when no date stands there.
int dateLiteralEnd(const QString &jet, int from)
{
    const int end = jet.indexOf(QLatin1Char('#'), from + 1);
    if (end < 0 || end - from > 32 || end == from + 1)
        return -1;
    for (int i = from + 1; i < end; ++i) {
        const QChar c = jet[i];
        if (!c.isDigit() && c != QLatin1Char('-') && c != QLatin1Char('/') && c != QLatin1Char(':') && c != QLatin1Char(' ')
            && c != QLatin1Char('.') && c != QLatin1Char('T'))
            return -1;
    }
    return end;
}

// The date of a Jet date literal as ISO text, as the robot stores times:
// "yyyy-MM-ddTHH:mm:ss.zzz".
QString isoDate(const QString &text)
{
    const QString t = text.trimmed();
    for (const char *format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "MM/dd/yyyy HH:mm:ss",
                               "MM/dd/yyyy HH:mm", "M/d/yyyy H:mm:ss", "M/d/yyyy H:mm"}) {
        const QDateTime dt = QDateTime::fromString(t, QLatin1String(format));
        if (dt.isValid())
            return dt.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    }
    for (const char *format : {"yyyy-MM-dd", "MM/dd/yyyy", "M/d/yyyy"}) {
        const QDate d = QDate::fromString(t, QLatin1String(format));
        if (d.isValid())
            return d.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("T00:00:00.000");
    }
    throw KorvinaError(QStringLiteral("Неверная дата в запросе: #") + text + QLatin1Char('#'));
}

// Skips a quoted literal or bracketed name starting at i; the index after it.
int skipQuoted(const QString &jet, int i)
{
    const QChar open = jet[i];
    const QChar close = open == QLatin1Char('[') ? QLatin1Char(']') : open;
    int j = i + 1;
    while (j < jet.size()) {
        if (jet[j] == close) {
            if (close != QLatin1Char(']') && j + 1 < jet.size() && jet[j + 1] == close) {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    throw KorvinaError(QStringLiteral("Незакрытая строка в запросе: ") + jet.mid(i));
}

// The index of the ')' that closes the '(' at `open`.
int closingParen(const QString &jet, int open)
{
    int depth = 0;
    for (int i = open; i < jet.size();) {
        const QChar c = jet[i];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('[')) {
            i = skipQuoted(jet, i);
            continue;
        }
        if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')') && --depth == 0)
            return i;
        ++i;
    }
    throw KorvinaError(QStringLiteral("Незакрытая скобка в запросе: ") + jet.mid(open));
}

// The arguments of a call, split at its own commas.
QStringList splitArguments(const QString &inner)
{
    QStringList out;
    int depth = 0, start = 0;
    for (int i = 0; i < inner.size();) {
        const QChar c = inner[i];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('[')) {
            i = skipQuoted(inner, i);
            continue;
        }
        if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')'))
            --depth;
        else if (c == QLatin1Char(',') && depth == 0) {
            out << inner.mid(start, i - start);
            start = i + 1;
        }
        ++i;
    }
    out << inner.mid(start);
    return out;
}

// Jet's "SELECT [DISTINCT] TOP n ..." as "SELECT [DISTINCT] ... LIMIT n".
QString topAsLimit(const QString &jet)
{
    static const QRegularExpression top(QStringLiteral("^(\\s*SELECT\\s+(?:DISTINCT\\s+)?)TOP\\s+(\\d+)\\s+"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = top.match(jet);
    if (!m.hasMatch())
        return jet;
    QString body = jet.mid(m.capturedEnd());
    while (!body.isEmpty() && (body.back().isSpace() || body.back() == QLatin1Char(';')))
        body.chop(1);
    return m.captured(1) + body + QStringLiteral(" LIMIT ") + m.captured(2);
}

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
        } else if (c == QLatin1Char('#') && dateLiteralEnd(jet, i) > i) {
            const int j = dateLiteralEnd(jet, i);
            sink.date(jet.mid(i + 1, j - i - 1));
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
            int k = j;
            while (k < n && jet[k].isSpace())
                ++k;
            const bool call = !qualified && k < n && jet[k] == QLatin1Char('(');
            if (call && word.compare(QLatin1String("Now"), Qt::CaseInsensitive) == 0) {
                int m = k + 1;
                while (m < n && jet[m].isSpace())
                    ++m;
                if (m < n && jet[m] == QLatin1Char(')')) {
                    sink.now();
                    i = m + 1;
                    continue;
                }
            }
            if (call && word.compare(QLatin1String("IIF"), Qt::CaseInsensitive) == 0) {
                const int close = closingParen(jet, k);
                const QStringList args = splitArguments(jet.mid(k + 1, close - k - 1));
                if (args.size() != 3)
                    throw KorvinaError(QStringLiteral("IIF требует трех аргументов: ") + jet.mid(i, close - i + 1));
                sink.iif(args);
                i = close + 1;
                continue;
            }
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
    Dialect dialect = Dialect::SQLite;
    bool pg() const { return dialect == Dialect::PostgreSQL; }
    void date(const QString &text)
    {
        const QString iso = isoDate(text);
        if (pg())
            out += QStringLiteral("CAST('") + QString(iso).replace(QLatin1Char('T'), QLatin1Char(' ')) + QStringLiteral("' AS timestamp)");
        else
            out += QLatin1Char('\'') + iso + QLatin1Char('\'');
    }
    void now()
    {
        // As the robot writes its own times: local, ISO with milliseconds.
        out += pg() ? QStringLiteral("LOCALTIMESTAMP") : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%f', 'now', 'localtime')");
    }
    void iif(const QStringList &args)
    {
        out += QStringLiteral("(CASE WHEN ") + translate(args[0], dialect) + QStringLiteral(" THEN ") + translate(args[1], dialect)
            + QStringLiteral(" ELSE ") + translate(args[2], dialect) + QStringLiteral(" END)");
    }
    void literal(const QString &v)
    {
        lastWord.clear();
        out += QLatin1Char('\'');
        out += QString(v).replace(QLatin1Char('\''), QLatin1String("''"));
        out += QLatin1Char('\'');
    }
    void name(const QString &v)
    {
        // PostgreSQL keeps every name in lower case (unquoted names fold to
        // it), so that names compare without regard to case as in Jet.
        out += QLatin1Char('"');
        out += QString(pg() ? v.toLower() : v).replace(QLatin1Char('"'), QLatin1String("\"\""));
        out += QLatin1Char('"');
    }
    void parameter(const QString &v) { out += QLatin1Char(':') + v; }
    // The last word written, when nothing but blanks followed it: a yes/no
    // literal right after WHERE, AND, OR, NOT, ON, HAVING or WHEN stands as
    // a condition of its own.
    QString lastWord;
    bool conditionContext() const
    {
        static const QStringList words{QStringLiteral("where"), QStringLiteral("and"), QStringLiteral("or"), QStringLiteral("not"),
                                       QStringLiteral("on"), QStringLiteral("having"), QStringLiteral("when")};
        return words.contains(lastWord.toLower());
    }
    void word(const QString &w, bool qualified, bool)
    {
        const bool isTrue = !qualified && w.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0;
        const bool isFalse = !qualified && w.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0;
        // Yes/no columns hold 1/0 on both engines; PostgreSQL wants a
        // condition to be one.
        if ((isTrue || isFalse) && pg() && conditionContext())
            out += isTrue ? QStringLiteral("(1=1)") : QStringLiteral("(1=0)");
        else if (isTrue)
            out += QLatin1Char('1');
        else if (isFalse)
            out += QLatin1Char('0');
        else
            out += w;
        lastWord = w;
    }
    void other(QChar c)
    {
        out += c;
        if (!c.isSpace())
            lastWord.clear();
    }
};

struct ParamSink {
    QStringList names;
    void date(const QString &) {}
    void now() {}
    void iif(const QStringList &args)
    {
        for (const QString &a : args)
            for (const QString &n : parameterNames(a))
                parameter(n);
    }
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
    void date(const QString &text)
    {
        SqliteSink::date(text);
        afterCompare = false;
    }
    void now()
    {
        SqliteSink::now();
        afterCompare = false;
    }
    void iif(const QStringList &args)
    {
        SqliteSink::iif(args);
        for (const QString &a : args)
            for (const QString &n : parameterNames(a))
                params.parameter(n);
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

// PostgreSQL wants a name for every subquery in FROM ("FROM (SELECT ...)"
// is enough for Jet and SQLite): one is added where none follows.
QString namedSubqueries(const QString &jet)
{
    static const QRegularExpression from(QStringLiteral("\\b(FROM|JOIN)\\s*\\($"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression alias(QStringLiteral("^\\s*(AS\\b|(?!(WHERE|ORDER|GROUP|UNION|HAVING|LIMIT|INNER|LEFT|RIGHT|JOIN|ON)\\b)[A-Za-z_\\[])"),
                                          QRegularExpression::CaseInsensitiveOption);
    if (!jet.contains(QLatin1Char('(')))
        return jet;
    QString out = jet;
    int named = 0;
    for (int i = 0; i < out.size();) {
        const QChar c = out[i];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('[')) {
            i = skipQuoted(out, i);
            continue;
        }
        if (c == QLatin1Char('(') && from.match(QStringView(out).left(i + 1)).hasMatch()) {
            const int close = closingParen(out, i);
            // (Jet's parenthesised joins, "FROM (a INNER JOIN b ON ...)", take no name.)
            static const QRegularExpression select(QStringLiteral("^\\s*SELECT\\b"), QRegularExpression::CaseInsensitiveOption);
            if (select.match(QStringView(out).mid(i + 1)).hasMatch() && !alias.match(QStringView(out).mid(close + 1)).hasMatch()) {
                out.insert(close + 1, QStringLiteral(" AS jet_subquery_") + QString::number(++named));
            }
        }
        ++i;
    }
    return out;
}

QString prepared(const QString &jet, Dialect dialect)
{
    const QString limited = topAsLimit(jet);
    return dialect == Dialect::PostgreSQL ? namedSubqueries(limited) : limited;
}

} // namespace

Shape shape(const QString &jetText, Dialect dialect)
{
    static const QRegularExpression dml(QStringLiteral("^\\s*(SELECT|INSERT|UPDATE|DELETE)\\b"), QRegularExpression::CaseInsensitiveOption);
    const QString jet = prepared(jetText, dialect);
    ShapeSink sink;
    sink.dialect = dialect;
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

QString translate(const QString &jetText, Dialect dialect)
{
    const QString jet = prepared(jetText, dialect);
    SqliteSink sink;
    sink.dialect = dialect;
    sink.out.reserve(jet.size() + 16);
    scan(jet, sink);
    return sink.out;
}

QString toSqlite(const QString &jet) { return translate(jet, Dialect::SQLite); }

QString toPostgres(const QString &jet) { return translate(jet, Dialect::PostgreSQL); }

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
