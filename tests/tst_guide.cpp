// The guide to going live, in the user's guide and in the README, against
// the tables the program creates: every table and column it tells the
// operator to fill exists, no column the robot reads is left out, and every
// table the terminals export that the robot reads is there.

#include "data/schema.h"
#include "engine/connectioncheck.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct Listed {
    QString table;
    QStringList columns;
};

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Rows of the HTML tables of class "schema": the first <code> of a row is
// the table, the others its columns.
QList<Listed> fromHtml(const QString &text)
{
    static const QRegularExpression table(QStringLiteral("<table class=\"[^\"]*\\bschema\\b[^\"]*\"[^>]*>(.*?)</table>"),
                                          QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression row(QStringLiteral("<tr>(.*?)</tr>"), QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression code(QStringLiteral("<code>([^<]+)</code>"));
    QList<Listed> out;
    for (auto t = table.globalMatch(text); t.hasNext();) {
        const QString body = t.next().captured(1);
        for (auto r = row.globalMatch(body); r.hasNext();) {
            QStringList codes;
            for (auto c = code.globalMatch(r.next().captured(1)); c.hasNext();)
                codes << c.next().captured(1);
            if (!codes.isEmpty())
                out.append({codes.takeFirst(), codes});
        }
    }
    return out;
}

// Rows of the Markdown tables in the README's section: the first `name` of
// a row is the table, the others its columns.
QList<Listed> fromMarkdown(const QString &text, const QString &heading)
{
    const int from = text.indexOf(heading);
    if (from < 0)
        return {};
    int to = text.indexOf(QStringLiteral("\n## "), from + heading.size());
    const QString section = text.mid(from, to < 0 ? -1 : to - from);
    static const QRegularExpression code(QStringLiteral("`([^`]+)`"));
    QList<Listed> out;
    for (const QString &line : section.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1Char('|')))
            continue;
        QStringList codes;
        for (auto c = code.globalMatch(line); c.hasNext();)
            codes << c.next().captured(1);
        if (!codes.isEmpty())
            out.append({codes.takeFirst(), codes});
    }
    return out;
}

const schema::Table *definition(const QString &name)
{
    for (schema::Kind kind : {schema::Kind::QuikData, schema::Kind::Alerts})
        if (const schema::Table *t = schema::findTable(kind, name))
            return t;
    return nullptr;
}

} // namespace

class TestGuide : public QObject {
    Q_OBJECT

private slots:
    void listsTheSchema_data()
    {
        QTest::addColumn<QString>("source");
        const QString root = QStringLiteral(KORVINA_TESTS_DIR "/..");
        QTest::newRow("the user's guide") << root + QStringLiteral("/src/ui/resources/help/connect.html");
        QTest::newRow("the README") << root + QStringLiteral("/README.md");
    }

    void listsTheSchema()
    {
        QFETCH(QString, source);
        const QString text = readText(source);
        QVERIFY2(!text.isEmpty(), qPrintable(source));
        const QList<Listed> listed = source.endsWith(QLatin1String(".html"))
            ? fromHtml(text)
            : fromMarkdown(text, QStringLiteral("## Connecting to the terminal and the strategy platform"));

        QStringList tables;
        for (const Listed &l : listed) {
            QVERIFY2(!tables.contains(l.table), qPrintable(l.table + QStringLiteral(" listed twice")));
            tables << l.table;
            const schema::Table *def = definition(l.table);
            QVERIFY2(def, qPrintable(QStringLiteral("no table ") + l.table + QStringLiteral(" in the schema")));
            QCOMPARE(l.table, def->name);
            QStringList known;
            for (const schema::Column &c : def->columns) {
                known << c.name;
                // Every column but the database's own counter is to be filled.
                if (!c.type.contains(QLatin1String("AUTOINCREMENT")))
                    QVERIFY2(l.columns.contains(c.name), qPrintable(l.table + QStringLiteral(" lacks ") + c.name));
            }
            for (const QString &c : l.columns)
                QVERIFY2(known.contains(c), qPrintable(l.table + QStringLiteral(" has no column ") + c));
            QCOMPARE(l.columns.size(), QSet<QString>(l.columns.cbegin(), l.columns.cend()).size());
        }
        // Every table the terminals export that the robot reads, and every
        // table of the strategy platform's database.
        QStringList expected = ConnectionCheck::exportTablesRead();
        for (const schema::Table &t : schema::alertTables())
            expected << t.name;
        for (const QString &t : expected)
            QVERIFY2(tables.contains(t), qPrintable(t + QStringLiteral(" is not listed")));
    }
};

QTEST_GUILESS_MAIN(TestGuide)
#include "tst_guide.moc"
