// The securities directory: the row it refuses to save, the totals under its
// grid and when they follow the table, and a security loaded from the quotes.

#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "data/datmod.h"
#include "data/secdirectory.h"
#include "engine/robot.h"
#include "tradefixture.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString kNoCode = QStringLiteral("Введите данные в поле \"Код в Quik`е\"");

// The stored directory rows, by code, with the columns that matter here.
QMap<QString, QVariantMap> storedDirectory(Database &db)
{
    QMap<QString, QVariantMap> out;
    const Database::Rows rows = db.fetch(QStringLiteral("SELECT * FROM tSecCode"));
    for (const QVector<QVariant> &row : rows.rows) {
        QVariantMap m;
        for (int i = 0; i < rows.fields.size(); ++i)
            m.insert(rows.fields[i], row[i]);
        out.insert(m.value(QStringLiteral("SecCode")).toString(), m);
    }
    return out;
}

// One quotes row as the terminal exports it.
void addQuoteRow(TradeFixture &f, const QString &secCode, const QString &classCode, int lotSize, double minMov, int digits,
                 double pointValue, const QString &baseContract)
{
    f.sql(QStringLiteral("INSERT INTO tParam (seccode, class_code, lotsize, MinMov, Digits, PointValue, Base_Contract, last) "
                         "VALUES (:s, :c, :l, :m, :d, :p, :b, 100)"),
          {{QStringLiteral("s"), secCode}, {QStringLiteral("c"), classCode}, {QStringLiteral("l"), lotSize},
           {QStringLiteral("m"), minMov}, {QStringLiteral("d"), digits}, {QStringLiteral("p"), pointValue},
           {QStringLiteral("b"), baseContract}});
}

// Three traded rows and one that is not, whose sums must not count.
void addTotalsExample(TradeFixture &f)
{
    auto add = [&f](const char *code, bool traded, double fixVol, double part) {
        TradeFixture::Security s;
        s.ticker = s.secCode = QLatin1String(code);
        s.traded = traded;
        s.fixVol = fixVol;
        s.part = part;
        f.addSecurity(s);
    };
    add("SBER", true, 100000, 10);
    add("GAZP", true, 250000.5, 12.5);
    add("LKOH", true, 0, 0);
    add("VTBR", false, 999999, 50);
}

} // namespace

class TestDirectory : public QObject {
    Q_OBJECT

private slots:
    void savingWithoutCode_data();
    void savingWithoutCode();
    void totalsTexts_data();
    void totalsTexts();
    void totalsFollowSavesAndDeletes();
    void totalsWithoutConnection();
    void loadFromQuotes_data();
    void loadFromQuotes();
    void loadFailure_data();
    void loadFailure();
    void loadAgainAfterAFailedLoad_data();
    void loadAgainAfterAFailedLoad();
};

// A row without its code stays in editing with the one text the window
// shows; blanks are a code.
void TestDirectory::savingWithoutCode_data()
{
    QTest::addColumn<bool>("existing"); // edit a stored row rather than append one
    QTest::addColumn<QVariant>("code"); // an invalid QVariant: the field is never set
    QTest::addColumn<bool>("saved");

    QTest::newRow("new row, code never typed") << false << QVariant() << false;
    QTest::newRow("new row, empty code") << false << QVariant(QString()) << false;
    QTest::newRow("new row, blanks") << false << QVariant(QStringLiteral("  ")) << true;
    QTest::newRow("new row, a code") << false << QVariant(QStringLiteral("EESR")) << true;
    QTest::newRow("stored row, code cleared") << true << QVariant(QString()) << false;
    QTest::newRow("stored row, code set to null") << true << QVariant(QMetaType(QMetaType::QString)) << false;
    QTest::newRow("stored row, other code") << true << QVariant(QStringLiteral("SBERP")) << true;
}

void TestDirectory::savingWithoutCode()
{
    QFETCH(bool, existing);
    QFETCH(QVariant, code);
    QFETCH(bool, saved);

    TradeFixture f;
    f.addSecurity({QStringLiteral("SBER"), QStringLiteral("SBER")});
    DataSet &t = f.dm.tSecCode;
    t.Open();
    QSignalSpy errors(&t, &DataSet::error);

    if (existing) {
        QVERIFY(t.Locate(QStringLiteral("SecCode"), QStringLiteral("SBER")));
        t.Edit();
        t.setFieldValue(QStringLiteral("Slippage"), 0.5);
    } else {
        t.Append();
        t.setFieldValue(QStringLiteral("Ticker"), QStringLiteral("NEW"));
    }
    if (code.isValid())
        t.setFieldValue(QStringLiteral("SecCode"), code);

    QCOMPARE(t.Post(), saved);
    const QMap<QString, QVariantMap> stored = storedDirectory(f.dm.conQuikData);
    if (saved) {
        QCOMPARE(t.state(), DataSet::State::Browse);
        QCOMPARE(errors.count(), 0);
        QVERIFY2(stored.contains(code.toString()), qPrintable(stored.keys().join(QLatin1Char('|'))));
        QCOMPARE(stored.size(), existing ? 1 : 2);
        return;
    }
    QCOMPARE(t.state(), existing ? DataSet::State::Edit : DataSet::State::Insert);
    QCOMPARE(t.lastError(), kNoCode);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), kNoCode);
    // Nothing reached the table; the row keeps what was typed.
    QCOMPARE(stored.keys(), QStringList{QStringLiteral("SBER")});
    QCOMPARE(stored[QStringLiteral("SBER")].value(QStringLiteral("Slippage")).toDouble(), 0.0);
    if (existing)
        QCOMPARE(t.FieldByName(QStringLiteral("Slippage")).toDouble(), 0.5);
}

void TestDirectory::totalsTexts_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("example"); // the example rows, or no traded row
    QTest::addColumn<QString>("traded");
    QTest::addColumn<QString>("fixVol");
    QTest::addColumn<QString>("part");

    const QLocale ru(QLocale::Russian, QLocale::Russia);
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("Russian") << ru << true << "3" << QStringLiteral("350\u00A0000,50") << "22,5";
    QTest::newRow("English") << en << true << "3" << "350,000.50" << "22.5";
    QTest::newRow("Russian, nothing traded") << ru << false << "0" << "0,00" << "0";
    QTest::newRow("English, nothing traded") << en << false << "0" << "0.00" << "0";
}

void TestDirectory::totalsTexts()
{
    QFETCH(QLocale, locale);
    QFETCH(bool, example);
    TradeFixture f;
    addTotalsExample(f);
    if (!example)
        f.sql(QStringLiteral("UPDATE tSecCode SET Traded = 0"));
    const std::optional<TSumList> sums = ReadSumList(f.dm, locale);
    QVERIFY(sums);
    QTEST(sums->traded, "traded");
    QTEST(sums->fixVol, "fixVol");
    QTEST(sums->part, "part");
}

// The robot's totals are read at connection and again after every row the
// directory saves or deletes, whoever saves it.
void TestDirectory::totalsFollowSavesAndDeletes()
{
    TestWorkspace ws;
    TDatMod dm;
    Robot robot(ws.settings, dm);
    QVERIFY(robot.ConnectDatabases());
    QCOMPARE(dm.SumList, (TSumList{QStringLiteral("0"), QStringLiteral("0,00"), QStringLiteral("0")}));

    ws.exec(ws.quikDataPath(), QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker, Traded, FixVol, Part) VALUES "
                                              "('SBER', 'SBER', 1, 100000, 10), ('GAZP', 'GAZP', 1, 250000.5, 12.5), "
                                              "('LKOH', 'LKOH', 0, 0, 0)"));
    DataSet &t = dm.tSecCode;
    t.Reread();
    QSignalSpy changed(&dm, &TDatMod::sumListChanged);

    QVERIFY(t.Locate(QStringLiteral("SecCode"), QStringLiteral("LKOH")));
    t.setFieldValue(QStringLiteral("Traded"), true);
    QVERIFY(t.Post());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(dm.SumList, (TSumList{QStringLiteral("3"), QStringLiteral("350\u00A0000,50"), QStringLiteral("22,5")}));

    QVERIFY(t.Locate(QStringLiteral("SecCode"), QStringLiteral("GAZP")));
    QVERIFY(t.Delete());
    QCOMPARE(changed.count(), 2);
    QCOMPARE(dm.SumList, (TSumList{QStringLiteral("2"), QStringLiteral("100\u00A0000,00"), QStringLiteral("10")}));

    // The last traded rows go: the footers read zero again.
    QVERIFY(t.DeleteRows({0, 1}));
    QCOMPARE(t.RecordCount(), 0);
    QCOMPARE(changed.count(), 3);
    QCOMPARE(dm.SumList, (TSumList{QStringLiteral("0"), QStringLiteral("0,00"), QStringLiteral("0")}));

    // A refused save changes nothing and reads nothing.
    t.Append();
    QVERIFY(!t.Post());
    QCOMPARE(changed.count(), 3);
}

void TestDirectory::totalsWithoutConnection()
{
    TestWorkspace ws;
    TDatMod dm;
    Robot robot(ws.settings, dm);
    const TSumList before{QStringLiteral("7"), QStringLiteral("1,00"), QStringLiteral("2")};
    dm.SumList = before;
    QSignalSpy changed(&dm, &TDatMod::sumListChanged);
    robot.UpdateSumList();
    QCOMPARE(changed.count(), 0);
    QCOMPARE(dm.SumList, before);
    QVERIFY(!dm.qSecCodeSum.Active());
}

void TestDirectory::loadFromQuotes_data()
{
    QTest::addColumn<QString>("quote");    // the quotes row under the cursor
    QTest::addColumn<QString>("stored");   // the directory row's code afterwards
    QTest::addColumn<QVariantMap>("expected");

    const QVariant null(QMetaType(QMetaType::QString));
    // The operator's columns of the row already there stay as they were.
    QTest::newRow("code already there in another letter case")
        << "SBER" << "sber"
        << QVariantMap{{"Ticker", "SBRF"}, {"Traded", 1}, {"FixVol", 5000.0}, {"Part", 3.0}, {"Slippage", 0.2},
                       {"Class_Code", "TQBR"}, {"LotSize", 10}, {"MinMov", 0.01}, {"Digits", 2}, {"PointValue", 1.0},
                       {"Base_Contract", "OLD"}};
    QTest::newRow("futures contract, lot size 5")
        << "RIZ6" << "RIZ6"
        << QVariantMap{{"Ticker", "$RIZ6"}, {"Traded", 0}, {"FixVol", null}, {"Part", null}, {"Slippage", null},
                       {"Class_Code", "SPBFUT"}, {"LotSize", 1}, {"MinMov", 10.0}, {"Digits", 0},
                       {"PointValue", 13.6217}, {"Base_Contract", "RTS"}};
    QTest::newRow("new stock")
        << "EESR" << "EESR"
        << QVariantMap{{"Ticker", "$EESR"}, {"Traded", 0}, {"Class_Code", "TQBR"}, {"LotSize", 100},
                       {"MinMov", 0.001}, {"Digits", 3}, {"PointValue", 1.0}, {"Base_Contract", null}};
}

void TestDirectory::loadFromQuotes()
{
    QFETCH(QString, quote);
    QFETCH(QString, stored);
    QFETCH(QVariantMap, expected);

    TradeFixture f;
    f.sql(QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker, Traded, FixVol, Part, Slippage, Class_Code, LotSize, "
                         "Digits, PointValue, MinMov, Base_Contract) "
                         "VALUES ('sber', 'SBRF', 1, 5000, 3, 0.2, 'OLD', 1, 4, 9, 0.5, 'OLD')"));
    addQuoteRow(f, QStringLiteral("GAZP"), QStringLiteral("TQBR"), 10, 0.01, 2, 1, QString());
    addQuoteRow(f, QStringLiteral("SBER"), QStringLiteral("TQBR"), 10, 0.01, 2, 7, QStringLiteral("XX"));
    addQuoteRow(f, QStringLiteral("RIZ6"), QStringLiteral("SPBFUT"), 5, 10, 0, 13.6217, QStringLiteral("RTS"));
    addQuoteRow(f, QStringLiteral("EESR"), QStringLiteral("TQBR"), 100, 0.001, 3, 5, QString());
    Robot robot(f.settings(), f.dm);
    f.dm.tParam.Open();
    QVERIFY(f.dm.tParam.Locate(QStringLiteral("seccode"), quote));
    QSignalSpy messages(&robot, &Robot::message);

    QVERIFY(robot.LoadSecurityFromQuotes());

    const QString text = QStringLiteral("Данные по инструменту ") + quote + QStringLiteral(" успешно загружены в справочник!");
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), text);
    QCOMPARE(f.ws.messages(), QStringList{text});
    QFile log(f.ws.path(QStringLiteral("Korvina.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().endsWith(cp1251::encode(text + QStringLiteral("\r\n"))));

    QCOMPARE(f.dm.tSecCode.state(), DataSet::State::Browse);
    const QMap<QString, QVariantMap> rows = storedDirectory(f.dm.conQuikData);
    QCOMPARE(rows.size(), quote == QLatin1String("SBER") ? 1 : 2);
    QVERIFY2(rows.contains(stored), qPrintable(rows.keys().join(QLatin1Char('|'))));
    const QVariantMap row = rows[stored];
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant got = row.value(it.key());
        const bool same = it->isNull() ? got.isNull()
                                       : !got.isNull() && (it->typeId() == QMetaType::QString ? got.toString() == it->toString()
                                                                                              : qFuzzyCompare(got.toDouble(), it->toDouble()));
        QVERIFY2(same, qPrintable(it.key() + QStringLiteral(": ") + got.toString() + QStringLiteral(" instead of ")
                                  + (it->isNull() ? QStringLiteral("null") : it->toString())));
    }
    // The dataset shows what was stored, on the loaded row.
    QCOMPARE(f.dm.tSecCode.FieldByName(QStringLiteral("SecCode")).toString(), stored);
    QCOMPARE(f.dm.tSecCode.FieldByName(QStringLiteral("Class_Code")), row.value(QStringLiteral("Class_Code")));
}

void TestDirectory::loadFailure_data()
{
    QTest::addColumn<QString>("quote");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("state"); // of tSecCode afterwards

    // The quotes row's class is EQBR: the stored row's class is not.
    QTest::newRow("quotes row without a code") << "" << kNoCode << int(DataSet::State::Insert);
    QTest::newRow("database refuses the row") << "SBER" << "справочник закрыт" << int(DataSet::State::Edit);
}

// The failure's line, the row left as it was being edited, no success told.
void TestDirectory::loadFailure()
{
    QFETCH(QString, quote);
    QFETCH(QString, reason);
    QFETCH(int, state);

    TradeFixture f;
    f.addSecurity({QStringLiteral("SBER"), QStringLiteral("SBER")});
    f.sql(QStringLiteral("CREATE TRIGGER closed BEFORE UPDATE ON tSecCode BEGIN SELECT RAISE(ABORT, 'справочник закрыт'); END"));
    addQuoteRow(f, quote, QStringLiteral("EQBR"), 10, 0.01, 2, 1, QString());
    Robot robot(f.settings(), f.dm);
    f.dm.tParam.Open();
    QVERIFY(f.dm.tParam.Locate(QStringLiteral("seccode"), quote));
    QSignalSpy messages(&robot, &Robot::message);

    QVERIFY(!robot.LoadSecurityFromQuotes());

    QCOMPARE(messages.count(), 0);
    // The database's message may say more around the reason.
    const QStringList lines = f.ws.messages();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QStringLiteral("Произошла ошибка при загрузке данных в таблицу \"Инструменты\": "))
                 && lines[0].endsWith(reason + QStringLiteral(" .")),
             qPrintable(lines[0]));
    if (reason == kNoCode)
        QCOMPARE(lines[0], QStringLiteral("Произошла ошибка при загрузке данных в таблицу \"Инструменты\": ") + kNoCode + QStringLiteral(" ."));
    DataSet &t = f.dm.tSecCode;
    QCOMPARE(int(t.state()), state);
    QCOMPARE(t.FieldByName(QStringLiteral("SecCode")).toString(), quote);
    QCOMPARE(t.FieldByName(QStringLiteral("Class_Code")).toString(), QStringLiteral("EQBR"));
    const QMap<QString, QVariantMap> rows = storedDirectory(f.dm.conQuikData);
    QCOMPARE(rows.keys(), QStringList{QStringLiteral("SBER")});
    QCOMPARE(rows[QStringLiteral("SBER")].value(QStringLiteral("Class_Code")).toString(), QStringLiteral("TQBR"));
}

// A load that failed leaves its row being edited (or inserted); the next load
// (the fault gone) stores the security once, not twice.
void TestDirectory::loadAgainAfterAFailedLoad_data()
{
    QTest::addColumn<QString>("quote");
    QTest::addColumn<QString>("refused"); // the statement the database refuses the first time
    QTest::newRow("a security already in the directory") << "SBER" << "UPDATE";
    QTest::newRow("a new security") << "LKOH" << "INSERT";
}

void TestDirectory::loadAgainAfterAFailedLoad()
{
    QFETCH(QString, quote);
    QFETCH(QString, refused);
    TradeFixture f;
    f.addSecurity({QStringLiteral("SBER"), QStringLiteral("SBER")});
    f.sql(QStringLiteral("CREATE TRIGGER closed BEFORE ") + refused
          + QStringLiteral(" ON tSecCode BEGIN SELECT RAISE(ABORT, 'справочник закрыт'); END"));
    addQuoteRow(f, QStringLiteral("SBER"), QStringLiteral("EQBR"), 10, 0.01, 2, 1, QString());
    addQuoteRow(f, QStringLiteral("LKOH"), QStringLiteral("TQBR"), 1, 0.5, 1, 1, QString());
    Robot robot(f.settings(), f.dm);
    f.dm.tParam.Open();
    QVERIFY(f.dm.tParam.Locate(QStringLiteral("seccode"), quote));
    QVERIFY(!robot.LoadSecurityFromQuotes());
    QVERIFY(f.dm.tSecCode.state() != DataSet::State::Browse);
    QVERIFY(!robot.LoadSecurityFromQuotes()); // tried again while the fault lasts

    f.sql(QStringLiteral("DROP TRIGGER closed"));
    QVERIFY(robot.LoadSecurityFromQuotes());
    QCOMPARE(f.dm.tSecCode.state(), DataSet::State::Browse);
    for (const QString &code : {QStringLiteral("SBER"), QStringLiteral("LKOH")}) {
        const QString counted = QStringLiteral("SELECT COUNT(*) AS n FROM tSecCode WHERE SecCode = '") + code + QStringLiteral("'");
        QCOMPARE(queryDatabase(f.ws.quikDataPath(), counted).value(0).value(QStringLiteral("n")).toInt(),
                 code == QLatin1String("SBER") || code == quote ? 1 : 0);
    }
    // The row loaded again holds the quotes' values.
    QCOMPARE(storedDirectory(f.dm.conQuikData)[quote].value(QStringLiteral("Class_Code")).toString(),
             quote == QLatin1String("SBER") ? QStringLiteral("EQBR") : QStringLiteral("TQBR"));
}

QTEST_GUILESS_MAIN(TestDirectory)
#include "tst_directory.moc"
