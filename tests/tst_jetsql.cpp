// The Jet dialect layer: statement texts as the program builds them, turned
// into what SQLite runs, and their meaning checked on a real database.

#include "config/korvinaerror.h"
#include "data/database.h"
#include "data/jetsql.h"

#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

class TestJetSql : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void translation_data();
    void translation();
    void unterminatedLiteralIsRefused_data();
    void unterminatedLiteralIsRefused();
    void parameterNames();
    void comparedValuesTakenOut_data();
    void comparedValuesTakenOut();
    void writeTargets_data();
    void writeTargets();
    void selectIntoParsing_data();
    void selectIntoParsing();

    void literalIsNeverAColumn();
    void quotedValueCannotChangeStatement_data();
    void quotedValueCannotChangeStatement();
    void textComparisonIgnoresCase();
    void failureAfterTheFirstRowsIsAnError_data();
    void failureAfterTheFirstRowsIsAnError();
    void parametersBoundByName();
    void unionAndRightJoinRun();
    void selectIntoCopiesColumnsAndRows();
    void selectIntoRefusesExistingTable();
    void reusedStatementsFollowValuesAndChanges();
    void writeBatchCommitsWhenOutermostEnds();

private:
    QTemporaryDir *m_dir = nullptr;
    Database *m_db = nullptr;
    QStringList rows(const QString &jet, const QVariantMap &params = {});
};

void TestJetSql::init()
{
    m_dir = new QTemporaryDir;
    const QString path = m_dir->filePath(QStringLiteral("t.sqlite"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    m_db = new Database(QStringLiteral("test"));
    QString error;
    QVERIFY2(m_db->open(path, &error), qPrintable(error));
    m_db->native(QStringLiteral("CREATE TABLE t (id INTEGER, code VARCHAR(12) COLLATE NOCASE, SecCode VARCHAR(50) COLLATE NOCASE, "
                                "\"Fill Price\" DOUBLE, Active BOOLEAN)"));
    m_db->native(QStringLiteral("INSERT INTO t VALUES (1, 'SecCode', 'x', 10.5, 1), (2, 'abc', 'y', 11, 0), (3, 'SBER', 'SBER', 12, 1)"));
    m_db->native(QStringLiteral("CREATE TABLE u (code VARCHAR(12) COLLATE NOCASE, name VARCHAR(50))"));
    m_db->native(QStringLiteral("INSERT INTO u VALUES ('abc', 'first'), ('zzz', 'other')"));
}

void TestJetSql::cleanup()
{
    delete m_db;
    delete m_dir;
    m_db = nullptr;
    m_dir = nullptr;
}

QStringList TestJetSql::rows(const QString &jet, const QVariantMap &params)
{
    QStringList out;
    QSqlQuery q = m_db->exec(jet, params);
    while (q.next()) {
        QStringList cols;
        for (int i = 0; i < q.record().count(); ++i)
            cols << q.value(i).toString();
        out << cols.join(QLatin1Char('|'));
    }
    return out;
}

void TestJetSql::translation_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("sqlite");

    QTest::newRow("watch cycle poll") << "SELECT *\r\nFROM FilledOrders\r\nWHERE id >41 and id <=45"
                                      << "SELECT *\r\nFROM FilledOrders\r\nWHERE id >41 and id <=45";
    QTest::newRow("directory lookup") << "SELECT Traded\r\nFROM tSecCode\r\nWHERE Ticker= \"SBER\""
                                      << "SELECT Traded\r\nFROM tSecCode\r\nWHERE Ticker= 'SBER'";
    QTest::newRow("brackets, True, parameter")
        << "SELECT *\r\nFROM tClients\r\nWHERE [tClients].[Active] = True AND [tClients].[id_quik]= :id_quik"
        << "SELECT *\r\nFROM tClients\r\nWHERE \"tClients\".\"Active\" = 1 AND \"tClients\".\"id_quik\"= :id_quik";
    QTest::newRow("False and double blanks") << "Where Traded =  False" << "Where Traded =  0";
    QTest::newRow("true in any case") << "WHERE a=TRUE or b=true" << "WHERE a=1 or b=1";
    QTest::newRow("empty literals") << "FROM tLimitStock WHERE [firm]=\"\" and [code]=\"\" "
                                    << "FROM tLimitStock WHERE \"firm\"='' and \"code\"='' ";
    QTest::newRow("doubled quote inside literal") << "WHERE code=\"A\"\"B\"" << "WHERE code='A\"B'";
    QTest::newRow("apostrophe inside literal") << "WHERE client=\"O'Neil\"" << "WHERE client='O''Neil'";
    QTest::newRow("single-quoted literal passes") << "WHERE code='ab''c'" << "WHERE code='ab''c'";
    QTest::newRow("colon and True inside literal") << "WHERE t=\"10:30\" and s=\"True\"" << "WHERE t='10:30' and s='True'";
    QTest::newRow("name with blank") << "SELECT [Fill Price], [Order Number] FROM FilledOrders"
                                     << "SELECT \"Fill Price\", \"Order Number\" FROM FilledOrders";
    QTest::newRow("terminal column") << "SELECT *, \"Quik\" as QuikName FROM  tPortfolio\r\n"
                                     << "SELECT *, 'Quik' as QuikName FROM  tPortfolio\r\n";
    QTest::newRow("union of terminals")
        << "SELECT *, \"QUIK1\" As Quikname\r\nFROM tTrades1\r\nUNION\r\nSELECT *, \"QUIK2\" as QuikName\r\nFROM tTrades2\r\n"
        << "SELECT *, 'QUIK1' As Quikname\r\nFROM tTrades1\r\nUNION\r\nSELECT *, 'QUIK2' as QuikName\r\nFROM tTrades2\r\n";
    QTest::newRow("right join and arithmetic")
        << "SELECT \"Quik\" as Quikname, TAG AS Account , 1/2*0 as Est\r\n FROM (tLimitMoney RIGHT JOIN tclients ON tLimitMoney.code = tclients.code)\r\nAND TAG<>\"EQTS\""
        << "SELECT 'Quik' as Quikname, TAG AS Account , 1/2*0 as Est\r\n FROM (tLimitMoney RIGHT JOIN tclients ON tLimitMoney.code = tclients.code)\r\nAND TAG<>'EQTS'";
    QTest::newRow("exit quantity") << "SELECT Quantity\r\nFROM tClientOpenPositions\r\nWHERE code=:code and [tClientOpenPositions].[interval] = :interval"
                                   << "SELECT Quantity\r\nFROM tClientOpenPositions\r\nWHERE code=:code and \"tClientOpenPositions\".\"interval\" = :interval";
    QTest::newRow("update write-back") << "UPDATE FilledOrders SET [Order Number] = \"123\"\r\nWHERE id = 7"
                                       << "UPDATE FilledOrders SET \"Order Number\" = '123'\r\nWHERE id = 7";
    QTest::newRow("delete journal") << "DELETE\r\nFROM tOrderNumber" << "DELETE\r\nFROM tOrderNumber";
    QTest::newRow("qualified True is a name") << "SELECT t.True FROM t" << "SELECT t.True FROM t";
    QTest::newRow("Cyrillic literal") << "WHERE client=\"Иванов\"" << "WHERE client='Иванов'";
}

void TestJetSql::translation()
{
    QFETCH(QString, jet);
    QFETCH(QString, sqlite);
    QCOMPARE(jetsql::toSqlite(jet), sqlite);
}

void TestJetSql::unterminatedLiteralIsRefused_data()
{
    QTest::addColumn<QString>("jet");
    QTest::newRow("double quote") << "WHERE code=\"abc";
    QTest::newRow("single quote") << "WHERE code='abc";
    QTest::newRow("bracket") << "WHERE [code=1";
}

void TestJetSql::unterminatedLiteralIsRefused()
{
    QFETCH(QString, jet);
    QVERIFY_THROWS_EXCEPTION(KorvinaError, jetsql::toSqlite(jet));
}

void TestJetSql::comparedValuesTakenOut_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("sqlite"); // :1, :2 ... stand for the values taken out
    QTest::addColumn<QVariantList>("values");
    QTest::newRow("range") << QStringLiteral("SELECT * FROM t WHERE id >41 and id <=45") << QStringLiteral("SELECT * FROM t WHERE id >:1 and id <=:2")
                           << QVariantList{41, 45};
    QTest::newRow("text then word") << QStringLiteral("SELECT code FROM u WHERE name<>\"EQTV\"UNION SELECT code FROM t")
                                    << QStringLiteral("SELECT code FROM u WHERE name<>:1UNION SELECT code FROM t") << QVariantList{QStringLiteral("EQTV")};
    QTest::newRow("update") << QStringLiteral("UPDATE t SET [Fill Price] = 5 WHERE code= \"a\"\"b\" AND id = :id")
                            << QStringLiteral("UPDATE t SET \"Fill Price\" = :1 WHERE code= :2 AND id = :id")
                            << QVariantList{5, QStringLiteral("a\"b")};
    QTest::newRow("kept") << QStringLiteral("SELECT \"T\" AS q, 1 AS one FROM t WHERE [Fill Price] = 10.5 AND id IN (1, 2) AND Active = True AND id = t.id AND id > -3")
                          << QStringLiteral("SELECT 'T' AS q, 1 AS one FROM t WHERE \"Fill Price\" = 10.5 AND id IN (1, 2) AND Active = 1 AND id = t.id AND id > -3")
                          << QVariantList{};
    QTest::newRow("too big") << QStringLiteral("DELETE FROM t WHERE id = 99999999999999999999")
                             << QStringLiteral("DELETE FROM t WHERE id = 99999999999999999999") << QVariantList{};
    QTest::newRow("not a query") << QStringLiteral("CREATE TABLE z (a INTEGER CHECK (a >= 0))")
                                 << QStringLiteral("CREATE TABLE z (a INTEGER CHECK (a >= 0))") << QVariantList{};
}

void TestJetSql::comparedValuesTakenOut()
{
    QFETCH(QString, jet);
    QFETCH(QString, sqlite);
    QFETCH(QVariantList, values);
    const jetsql::Shape shape = jetsql::shape(jet);
    QString expected = sqlite;
    for (int i = values.size(); i >= 1; --i)
        expected.replace(QLatin1Char(':') + QString::number(i), QStringLiteral(":") + QLatin1String(jetsql::FoldedPrefix) + QString::number(i) + QLatin1Char(' '));
    QCOMPARE(shape.sqlite, expected);
    QCOMPARE(shape.values.size(), values.size());
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(shape.values[i].toString(), values[i].toString());
    // The statement means on the database what the Jet text means: the
    // same rows come back, or it changes the same rows.
    if (jet.startsWith(QLatin1String("SELECT"))) {
        const QStringList direct = rows(jet);
        QCOMPARE(m_db->fetch(jet).rows.size(), direct.size());
    } else if (!jet.startsWith(QLatin1String("CREATE"))) {
        QVariantMap params{{QStringLiteral("id"), 1}};
        m_db->native(QStringLiteral("INSERT INTO t (id, code) VALUES (1, 'a\"b')")).finish();
        QCOMPARE(m_db->execute(jet, jet.contains(QLatin1String(":id")) ? params : QVariantMap()), jet.startsWith(QLatin1String("UPDATE")) ? 1 : 0);
    }
}

void TestJetSql::writeTargets_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("target");
    QTest::newRow("insert") << QStringLiteral("INSERT INTO tOrderNumber (trans_id) VALUES (1)") << QStringLiteral("tordernumber");
    QTest::newRow("update") << QStringLiteral("update [FilledOrders] SET x = 1") << QStringLiteral("filledorders");
    QTest::newRow("delete on lines") << QStringLiteral("DELETE\r\nFROM tClientOpenPositions\r\nWHERE id = 1") << QStringLiteral("tclientopenpositions");
    QTest::newRow("quoted name") << QStringLiteral("INSERT INTO \"Open Positions\" VALUES (1)") << QStringLiteral("open positions");
    QTest::newRow("select") << QStringLiteral("  SELECT * FROM t") << QString();
    QTest::newRow("make-table") << QStringLiteral("SELECT * INTO t7 FROM t") << QStringLiteral("*");
    QTest::newRow("schema") << QStringLiteral("DROP TABLE tPortfolio") << QStringLiteral("*");
}

void TestJetSql::writeTargets()
{
    QFETCH(QString, statement);
    QFETCH(QString, target);
    QCOMPARE(jetsql::writeTarget(statement), target);
}

void TestJetSql::parameterNames()
{
    const QString jet = QStringLiteral("WHERE code=:code and symbol=:symbol and t=\":notparam\" and c2=:CODE and x = 'a:b'");
    QCOMPARE(jetsql::parameterNames(jet), (QStringList{QStringLiteral("code"), QStringLiteral("symbol")}));
}

void TestJetSql::selectIntoParsing_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("source");
    QTest::newRow("per-terminal copy") << "SELECT *  INTO tLimitStock3  FROM tLimitStock WHERE [firm]=\"\" and [code]=\"\" " << true
                                       << "tLimitStock3" << "tLimitStock";
    QTest::newRow("lower case") << "select * into a from b" << true << "a" << "b";
    QTest::newRow("plain select") << "SELECT * FROM tLimitStock" << false << "" << "";
    QTest::newRow("column list") << "SELECT code INTO x FROM y" << false << "" << "";
}

void TestJetSql::selectIntoParsing()
{
    QFETCH(QString, jet);
    QFETCH(bool, matches);
    const auto into = jetsql::parseSelectInto(jet);
    QCOMPARE(into.has_value(), matches);
    if (matches) {
        QFETCH(QString, target);
        QFETCH(QString, source);
        QCOMPARE(into->target, target);
        QCOMPARE(into->source, source);
    }
}

void TestJetSql::literalIsNeverAColumn()
{
    // "SecCode" names a column of t; as a Jet literal it is the text itself.
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE code = \"SecCode\"")), QStringList{QStringLiteral("1")});
    // Row 3 has code = SecCode as columns; only a column comparison would find it.
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE code = [SecCode]")), QStringList{QStringLiteral("3")});
}

void TestJetSql::quotedValueCannotChangeStatement_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("ordinary") << "abc" << 1;
    QTest::newRow("or-true attack") << "x\" OR \"1\"=\"1" << 0;
    QTest::newRow("statement end") << "x\"; DELETE FROM t; --" << 0;
    QTest::newRow("apostrophe") << "a'bc" << 0;
}

void TestJetSql::quotedValueCannotChangeStatement()
{
    QFETCH(QString, value);
    QFETCH(int, expected);
    QCOMPARE(jetsql::quoted(QStringLiteral("abc")), QStringLiteral("abc"));
    const QStringList found = rows(QStringLiteral("SELECT id FROM t WHERE code= \"") + jetsql::quoted(value) + QStringLiteral("\""));
    QCOMPARE(found.size(), expected);
    QCOMPARE(rows(QStringLiteral("SELECT COUNT(*) FROM t")), QStringList{QStringLiteral("3")});
    // The value itself round-trips through the literal.
    QCOMPARE(rows(QStringLiteral("SELECT \"") + jetsql::quoted(value) + QStringLiteral("\"")), QStringList{value});
}

void TestJetSql::textComparisonIgnoresCase()
{
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE code = \"ABC\"")), QStringList{QStringLiteral("2")});
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE [t].[SecCode] = \"sber\"")), QStringList{QStringLiteral("3")});
}

// A statement that fails on its third row (abs() of the smallest integer
// overflows; no ORDER BY, so rows come out as they are read) must fail as a
// whole: two rows given as the whole answer would read as "the table has two
// rows".
void TestJetSql::failureAfterTheFirstRowsIsAnError_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QVariantMap>("params");
    QTest::newRow("plain") << QStringLiteral("SELECT Abs(v) FROM w") << QVariantMap();
    QTest::newRow("with a parameter") << QStringLiteral("SELECT Abs(v) FROM w WHERE k > :k")
                                      << QVariantMap{{QStringLiteral("k"), 0}};
}

void TestJetSql::failureAfterTheFirstRowsIsAnError()
{
    QFETCH(QString, statement);
    QFETCH(QVariantMap, params);
    m_db->native(QStringLiteral("CREATE TABLE w (k INTEGER, v INTEGER)"));
    m_db->native(QStringLiteral("INSERT INTO w VALUES (1, -1), (2, -2), (3, -9223372036854775808), (4, -4)"));
    QVERIFY_THROWS_EXCEPTION(KorvinaError, m_db->fetch(statement, params));
    // The connection stays usable.
    QCOMPARE(m_db->fetch(QStringLiteral("SELECT Abs(v) FROM w WHERE k < 3 ORDER BY k")).rows.size(), 2);
}

void TestJetSql::parametersBoundByName()
{
    const QVariantMap params{{QStringLiteral("active"), 1}, {QStringLiteral("code"), QStringLiteral("SBER")}};
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE code=:code and Active = :active and [Fill Price] > 11"), params),
             QStringList{QStringLiteral("3")});
    QVERIFY_THROWS_EXCEPTION(KorvinaError, m_db->exec(QStringLiteral("SELECT id FROM t WHERE code=:missing"),
                                                      {{QStringLiteral("code"), QStringLiteral("x")}}));
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t WHERE Active = True ORDER BY id")), (QStringList{QStringLiteral("1"), QStringLiteral("3")}));
}

void TestJetSql::unionAndRightJoinRun()
{
    QCOMPARE(rows(QStringLiteral("SELECT code, \"T\" as QuikName FROM t WHERE id=2\r\nUNION\r\nSELECT code, \"U\" as QuikName FROM u")).size(), 3);
    const QStringList joined = rows(QStringLiteral("SELECT u.name, t.id FROM (t RIGHT JOIN u ON t.code = u.code) ORDER BY u.name"));
    QCOMPARE(joined, (QStringList{QStringLiteral("first|2"), QStringLiteral("other|")}));
}

void TestJetSql::selectIntoCopiesColumnsAndRows()
{
    m_db->exec(QStringLiteral("SELECT *  INTO t7  FROM t WHERE [code]=\"abc\" "));
    QCOMPARE(rows(QStringLiteral("SELECT id, code, [Fill Price] FROM t7")), QStringList{QStringLiteral("2|abc|11")});
    // Same declared columns, letter-case rule included.
    QSqlQuery q = m_db->native(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='t7'"));
    QVERIFY(q.next());
    const QString ddl = q.value(0).toString();
    QVERIFY2(ddl.contains(QLatin1String("code VARCHAR(12) COLLATE NOCASE")), qPrintable(ddl));
    QVERIFY(ddl.contains(QLatin1String("\"Fill Price\" DOUBLE")));
    q.finish();
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t7 WHERE code = \"ABC\"")), QStringList{QStringLiteral("2")});
    // The empty-key copy leaves the new table empty.
    m_db->exec(QStringLiteral("SELECT *  INTO t8  FROM t WHERE [code]=\"\""));
    QCOMPARE(rows(QStringLiteral("SELECT COUNT(*) FROM t8")), QStringList{QStringLiteral("0")});
}

void TestJetSql::selectIntoRefusesExistingTable()
{
    m_db->exec(QStringLiteral("SELECT *  INTO t7  FROM t WHERE [code]=\"abc\""));
    try {
        m_db->exec(QStringLiteral("SELECT *  INTO t7  FROM t WHERE [code]=\"SBER\""));
        QFAIL("copying into an existing table must fail");
    } catch (const KorvinaError &e) {
        QVERIFY2(e.message().contains(QLatin1String("already exists")), qPrintable(e.message()));
    }
    // Nothing of the failed copy arrived.
    QCOMPARE(rows(QStringLiteral("SELECT id FROM t7")), QStringList{QStringLiteral("2")});
}

void TestJetSql::reusedStatementsFollowValuesAndChanges()
{
    const QString insert = QStringLiteral("INSERT INTO u (code, name) VALUES (:code, :name)");
    const QString select = QStringLiteral("SELECT * FROM u WHERE code = :code");
    for (int i = 0; i < 3; ++i)
        QCOMPARE(m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("k%1").arg(i)}, {QStringLiteral("name"), i}}), 1);
    for (int i = 0; i < 3; ++i) {
        const Database::Rows r = m_db->fetch(select, {{QStringLiteral("code"), QStringLiteral("K%1").arg(i)}});
        QCOMPARE(r.rows.size(), 1);
        QCOMPARE(r.rows[0][1].toString(), QString::number(i));
    }
    // A failed run (a value missing) leaves the statement usable.
    QVERIFY_THROWS_EXCEPTION(KorvinaError, m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("x")}}));
    QCOMPARE(m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("k9")}, {QStringLiteral("name"), QStringLiteral("nine")}}), 1);
    // The table changes its columns: the same text reads the new shape.
    m_db->native(QStringLiteral("ALTER TABLE u ADD COLUMN extra INTEGER DEFAULT 7")).finish();
    Database::Rows r = m_db->fetch(select, {{QStringLiteral("code"), QStringLiteral("k9")}});
    QCOMPARE(r.fields, (QStringList{QStringLiteral("code"), QStringLiteral("name"), QStringLiteral("extra")}));
    QCOMPARE(r.rows.value(0).value(2).toInt(), 7);
    // Many different texts, then the first again.
    for (int i = 0; i < 300; ++i)
        QCOMPARE(m_db->fetch(QStringLiteral("SELECT %1 AS n").arg(i)).rows.value(0).value(0).toInt(), i);
    QCOMPARE(m_db->fetch(select, {{QStringLiteral("code"), QStringLiteral("k1")}}).rows.size(), 1);
    // The table goes and comes back with other columns.
    m_db->native(QStringLiteral("DROP TABLE u")).finish();
    QVERIFY_THROWS_EXCEPTION(KorvinaError, m_db->fetch(select, {{QStringLiteral("code"), QStringLiteral("k1")}}));
    m_db->native(QStringLiteral("CREATE TABLE u (code TEXT, other TEXT)")).finish();
    m_db->execute(QStringLiteral("INSERT INTO u (code, other) VALUES ('k1', 'new')"));
    r = m_db->fetch(select, {{QStringLiteral("code"), QStringLiteral("k1")}});
    QCOMPARE(r.fields, (QStringList{QStringLiteral("code"), QStringLiteral("other")}));
    QCOMPARE(r.rows.value(0).value(1).toString(), QStringLiteral("new"));
}

void TestJetSql::writeBatchCommitsWhenOutermostEnds()
{
    // Another process's view of the table, which must not wait for us.
    const QString name = QStringLiteral("other-reader");
    auto countOutside = [&] {
        QSqlDatabase db = QSqlDatabase::database(name);
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM u")) || !q.next())
            return -1;
        return q.value(0).toInt();
    };
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_db->path());
        QVERIFY(db.open());
    }
    const QString insert = QStringLiteral("INSERT INTO u (code, name) VALUES (:code, 'b')");
    {
        Database::WriteBatch outer(*m_db);
        m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("a")}});
        {
            Database::WriteBatch inner(*m_db);
            m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("b")}});
        }
        // Our own connection sees its rows; nobody else does yet.
        QCOMPARE(m_db->fetch(QStringLiteral("SELECT COUNT(*) FROM u")).rows.value(0).value(0).toInt(), 4);
        QCOMPARE(countOutside(), 2);
        // A failed statement in the batch costs only itself.
        QVERIFY_THROWS_EXCEPTION(KorvinaError, m_db->execute(QStringLiteral("INSERT INTO nowhere VALUES (1)")));
    }
    QCOMPARE(countOutside(), 4);
    // Without a batch every statement commits at once.
    m_db->execute(insert, {{QStringLiteral("code"), QStringLiteral("c")}});
    QCOMPARE(countOutside(), 5);
    QSqlDatabase::removeDatabase(name);
}

QTEST_GUILESS_MAIN(TestJetSql)
#include "tst_jetsql.moc"
