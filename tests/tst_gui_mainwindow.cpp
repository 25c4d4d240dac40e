// The operator's main window, driven as an operator drives it: actions found
// by their names and triggered, grids read through their models and
// headers, boxes answered through the program's dialog wrapper.

#include "config/displayformat.h"
#include "config/korvinaerror.h"
#include "config/textcodec.h"
#include "data/datmod.h"
#include "data/sampleworkspace.h"
#include "data/views.h"
#include "datagrid.h"
#include "dialogs.h"
#include "engine/robot.h"
#include "helpwindow.h"
#include "tfmabout.h"
#include "tfmmain.h"
#include "tfmopt.h"
#include "tfmorder.h"
#include "guiwindow.h"
#include "workspace.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QToolBar>
#include <QToolButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {

QStringList captions(DataGrid *g)
{
    QStringList out;
    for (int c = 0; c < g->model()->columnCount(); ++c)
        if (!g->view()->isColumnHidden(c))
            out << g->model()->headerData(c, Qt::Horizontal).toString();
    return out;
}

// Typed as an operator types it, character by character (Cyrillic too,
// which QTest's key clicks do not know).
void typeText(QWidget *w, const QString &text)
{
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(w, &release);
    }
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void orderActionsFollowThePage_data();
    void orderActionsFollowThePage();
    void doubleClicks_data();
    void doubleClicks();
    void statusBarFollowsTheRobot();
    void gridsShowTheirColumns_data();
    void gridsShowTheirColumns();
    void footers_data();
    void footers();
    void numberCellsShowTheirFormat_data();
    void numberCellsShowTheirFormat();
    void priceDecimalsFollowTheQuotes();
    void positionsFilterBuildsTheView();
    void quikTickKeepsTheCurrentRows();
    void failingTickShowsOneBox();
    void watchAnimationAndAbout();
    void helpOpensAtItsTopics();
    void logMemoFollowsTheLog();
    void ordersReachTheWindowEndToEnd();
    void connectAsksFirst_data();
    void connectAsksFirst();
    void refusalsAndSilenceAreShown();
    void logFollowsTheEndUnlessScrolledUp();
    void logSearchMarksAndMoves();
    void positionsAreReadWithTheOtherViews();
    void orderCommandsInTheMenus_data();
    void orderCommandsInTheMenus();
    void aboutBoxVersionLinksAndCounters_data();
    void aboutBoxVersionLinksAndCounters();
    void helpIsUsableWhileOptionsAreOpen();
    void checkConnectionFromTheServiceMenu();
    void gridMenusHoldTheWindowsCommandsAndExport_data();
    void gridMenusHoldTheWindowsCommandsAndExport();
};

void TestMainWindow::orderActionsFollowThePage_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("newOrder");
    QTest::addColumn<bool>("others");
    const char *pages[] = {"tshTrading", "tshOpenPositionRobot", "tshOpenPositions", "tshActiveOrders",
                           "tshFilledOrders", "tshCanceledOrders", "tshTRO", "tshLog"};
    for (const bool connected : {true, false})
        for (const char *p : pages) {
            const QString page = QLatin1String(p);
            const bool newOrder = connected && (page == QLatin1String("tshTrading") || page == QLatin1String("tshActiveOrders")
                                                || page == QLatin1String("tshFilledOrders"));
            QTest::addRow("%s, %s", p, connected ? "connected" : "not connected")
                << page << connected << newOrder << (page == QLatin1String("tshTrading"));
        }
}

void TestMainWindow::orderActionsFollowThePage()
{
    QFETCH(QString, page);
    QFETCH(bool, connected);
    QFETCH(bool, newOrder);
    QFETCH(bool, others);
    Window w;
    // Until the first page change all four are enabled.
    for (const char *a : {"actNewOrderManual", "actKillOrderManual", "actNewStopOrderManual", "actKillStopOrderManual"})
        QVERIFY2(w.action(a)->isEnabled(), a);
    if (connected)
        w.connectNow();
    QTabWidget *pages = w.pages();
    QWidget *target = w.main->findChild<QWidget *>(page);
    // Away to another page and back, so that the page changes either way.
    pages->setCurrentIndex(pages->indexOf(target) == 0 ? 1 : 0);
    pages->setCurrentWidget(target);
    QCOMPARE(w.action("actNewOrderManual")->isEnabled(), newOrder);
    for (const char *a : {"actKillOrderManual", "actNewStopOrderManual", "actKillStopOrderManual"})
        QVERIFY2(w.action(a)->isEnabled() == others, a);
}

void TestMainWindow::doubleClicks_data()
{
    QTest::addColumn<bool>("newOrderEnabled");
    QTest::newRow("new orders allowed") << true;
    QTest::newRow("new orders not allowed") << false;
}

void TestMainWindow::doubleClicks()
{
    QFETCH(bool, newOrderEnabled);
    Window w;
    w.connectNow();
    w.action("actNewOrderManual")->setEnabled(newOrderEnabled);
    QSignalSpy newOrder(w.action("actNewOrderManual"), &QAction::triggered);
    QSignalSpy closing(w.main.get(), &TfmMain::closeOrderRequested);
    // The order dialog, when it opens, is closed with Отмена.
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (w.main->order()->isVisible()) {
            ++dialogs;
            w.main->order()->reject();
        }
    });
    closer.start(10);
    DataGrid *quotes = w.main->grid(QStringLiteral("grdQoutes"));
    QVERIFY(quotes->model()->rowCount() > 0);
    emit quotes->view()->doubleClicked(quotes->model()->index(0, 0));
    QCOMPARE(newOrder.count(), newOrderEnabled ? 1 : 0);
    QCOMPARE(dialogs, newOrderEnabled ? 1 : 0);
    // The positions grid starts a closing order whatever the action's state.
    emit w.main->grid(QStringLiteral("grdLimits"))->view()->doubleClicked(QModelIndex());
    QCOMPARE(closing.count(), 1);
}

void TestMainWindow::statusBarFollowsTheRobot()
{
    Window w;
    QCOMPARE(w.panel(0), QStringLiteral("Подключение к Omega: Нет"));
    QCOMPARE(w.panel(3), QStringLiteral("Отправлено транзакций: 0/0/0"));
    QCOMPARE(w.panel(4), QStringLiteral("SINGLE"));
    QCOMPARE(w.panel(5), QString());
    const int widths[] = {150, 140, 150, 300, 50, 50};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(w.main->findChild<QLabel *>(QStringLiteral("StatusBar1Panel%1").arg(i))->minimumWidth(), widths[i]);

    w.connectNow();
    QCOMPARE(w.panel(0), QStringLiteral("Подключение к Omega: OK"));
    QCOMPARE(w.panel(1), QStringLiteral("Подключение к Quik: OK"));
    // The message after connecting, once the command has returned.
    QTRY_VERIFY(!Dialogs::asked().isEmpty());
    QCOMPARE(Dialogs::asked().last().text, QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!"));
    QVERIFY(w.action("actStartWatch")->isEnabled());

    w.action("actStartWatch")->trigger();
    QVERIFY(!w.action("actStartWatch")->isEnabled());
    QVERIFY(w.action("actStopWatch")->isEnabled());
    w.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.robot().timTable();
    QCOMPARE(w.panel(3), QStringLiteral("Отправлено транзакций: 1/0/0"));
    QFile tro(w.paths.trans + QStringLiteral("/trans.tro"));
    QVERIFY(tro.open(QIODevice::Append));
    tro.write("TRANS_ID=0;STATUS=0;\r\nTRANS_ID=0;STATUS=3;ORDER_NUMBER=5;\r\n");
    tro.close();
    w.robot().timTable();
    QCOMPARE(w.panel(3), QStringLiteral("Отправлено транзакций: 1/1/1"));

    // The link: growing info.log is "ОК", a file that stops growing "Нет".
    w.settings.chQuikConnect = true;
    QFile info(w.paths.infoLog);
    QVERIFY(info.open(QIODevice::Append));
    info.write("connected\r\n");
    info.close();
    w.robot().timInfoLogTimer();
    QCOMPARE(w.panel(2), QStringLiteral("Связь Quik с сервером: ОК"));
    w.robot().timInfoLogTimer();
    QCOMPARE(w.panel(2), QStringLiteral("Связь Quik с сервером: Нет"));
}

void TestMainWindow::gridsShowTheirColumns_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("quotes") << "grdQoutes"
                            << QStringList{"Бумага", "Спрос", "Кол. спрос", "Предл.", "Кол. предл.", "Откр.", "Максим.",
                                           "Минимум", "Послед.", "% изм.", "Всего бумаг", "Оборот", "Срвзвес"};
    QTest::newRow("terminals' orders") << "grdQuikOrders"
                                       << QStringList{"Квик", "Время", "Код клиента", "Бумага", "Операция", "Цена", "Кол-во",
                                                      "Остаток", "Статус", "Объем"};
    QTest::newRow("positions") << "grdLimits"
                               << QStringList{"Квик", "Код клиента", "Счет", "Бумага", "Вход. остаток", "Тек. остаток", "Оценка", "Доля"};
    QTest::newRow("portfolio, two columns hidden")
        << "grdPortfolio"
        << QStringList{"Квик", "Код клиента", "Шорты", "Лонги", "Вход. средства", "Тек. средства", "Ур. мар.", "Плечо", "Тек. плечо",
                       "%", "Прибыль/убыток"};
    QTest::newRow("robot's book") << "grdClientOpenPositions"
                                  << QStringList{"Код клиента", "Символ", "Позиция", "Кол-во лот", "Стратегия", "Сигнал",
                                                 "Рабочая область", "Интервал"};
    QTest::newRow("transaction report") << "grdTRO"
                                        << QStringList{"Код клиента", "№ транзакции", "№ ордера", "Рыночный приказ", "Имя транзакции",
                                                       "Описание", "Номер заявки в квике", "Статус"};
}

void TestMainWindow::gridsShowTheirColumns()
{
    QFETCH(QString, grid);
    QFETCH(QStringList, captions);
    Window w;
    w.connectNow();
    DataGrid *g = w.showGrid(grid);
    QVERIFY(g);
    QCOMPARE(::captions(g), captions);
    QVERIFY(!g->accessibleName().isEmpty());
    // Every column finds its field in the dataset.
    for (int c = 0; c < g->model()->columnCount(); ++c)
        QVERIFY2(g->model()->fieldOf(c) >= 0 || g->model()->columns()[c].text, qPrintable(g->model()->columns()[c].field));
}

void TestMainWindow::footers_data()
{
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("sum");
    QTest::newRow("grouped, two decimals") << QVariantList{1234.5, 1000000} << "### ### ##0.00" << "1 001 234,50";
    QTest::newRow("negative") << QVariantList{-1234567, 0.0} << "### ### ##0.00" << "-1 234 567,00";
    QTest::newRow("zero with a required digit") << QVariantList{0.0} << "0.00" << "0,00";
    QTest::newRow("zero without one: empty") << QVariantList{0.0} << "### ### ### ###" << "";
    QTest::newRow("no rows: empty sum") << QVariantList{} << "### ### ##0.00" << "0,00";
    QTest::newRow("a share") << QVariantList{0.5, 0.25} << "##0.00" << "0,75";
}

void TestMainWindow::footers()
{
    QFETCH(QVariantList, values);
    QFETCH(QString, format);
    QFETCH(QString, sum);
    TestWorkspace ws;
    Database db(QStringLiteral("f"));
    QString error;
    QVERIFY2(db.open(ws.quikDataPath(), &error), qPrintable(error));
    db.native(QStringLiteral("CREATE TABLE scratch (v DOUBLE)")).finish();
    for (const QVariant &v : values)
        db.native(QStringLiteral("INSERT INTO scratch (v) VALUES (:v)"), {{QStringLiteral("v"), v}}).finish();
    DataSet q(QStringLiteral("qScratch"), &db, DataSet::Kind::Query);
    q.setSQL(QStringLiteral("SELECT v FROM scratch"));
    q.Open();
    GridColumn c;
    c.field = QStringLiteral("v");
    c.caption = QStringLiteral("V");
    c.format = format;
    DataGrid g(&q, {c});
    GridFooter f;
    f.kind = GridFooter::Sum;
    f.format = format;
    g.setFooter(QStringLiteral("v"), f);
    QCOMPARE(g.footerText(QStringLiteral("v")), sum);
    // The same formatter shows the cells.
    for (int r = 0; r < values.size(); ++r)
        QCOMPARE(g.model()->text(r, 0), FormatDisplay(values[r], format));
}

void TestMainWindow::numberCellsShowTheirFormat_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QString>("keyField"); // the row shown where this field ...
    QTest::addColumn<QString>("key");      // ... holds this text
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    // Prices: the decimals of the row's security (the quotes' Digits: LKOH 1,
    // SBER and GAZP 2, VTBR 3, RIZ6 0), thousands separated by the locale.
    const QString g = QLocale(QLocale::Russian, QLocale::Russia).groupSeparator();
    QTest::newRow("orders, 1 decimal") << "grdQuikOrders" << "stock" << "ЛУКОЙЛ" << "price" << "6" + g + "850,5";
    QTest::newRow("orders, no decimals") << "grdQuikOrders" << "stock" << "RTS-12.26" << "price" << "110" + g + "250";
    QTest::newRow("orders, 2 decimals") << "grdQuikOrders" << "stock" << "ГАЗПРОМ ао" << "price" << "160,35";
    QTest::newRow("trades, 1 decimal") << "grdTrades" << "stock" << "ЛУКОЙЛ" << "Price" << "6" + g + "850,5";
    QTest::newRow("filled, whole price of a 1-decimal security") << "grdFilledOrders" << "ID" << "7" << "Fill Price" << "6" + g + "853,0";
    QTest::newRow("filled, same column, a half") << "grdFilledOrders" << "ID" << "8" << "Fill Price" << "6" + g + "853,5";
    QTest::newRow("filled, 2 decimals") << "grdFilledOrders" << "ID" << "9" << "Fill Price" << "285,10";
    QTest::newRow("filled, ticker of another code") << "grdFilledOrders" << "ID" << "10" << "Fill Price" << "110" + g + "250";
    QTest::newRow("filled, only in the directory") << "grdFilledOrders" << "ID" << "11" << "Fill Price" << "301,50";
    QTest::newRow("filled, unknown security: as it is") << "grdFilledOrders" << "ID" << "12" << "Fill Price" << "1" + g + "234,5";
    QTest::newRow("active orders, 3 decimals") << "grdActiveOrders" << "ID" << "13" << "Last" << "91,100";
    QTest::newRow("open positions, entry") << "grdOpenPositions" << "ID" << "14" << "Entry Price" << "285,00";
    QTest::newRow("open positions, last") << "grdOpenPositions" << "ID" << "14" << "Last" << "285,12";
    // Money: grouped as the other money cells.
    QTest::newRow("positions' valuation") << "grdLimits" << "account" << "EQTV" << "est" << "250 000,00";
    // The securities directory: share and slippage with two decimals.
    QTest::newRow("directory, share") << "grdSecCode" << "SecCode" << "SBER" << "Part" << "20,00";
    QTest::newRow("directory, slippage") << "grdSecCode" << "SecCode" << "SBER" << "Slippage" << "0,10";
}

void TestMainWindow::numberCellsShowTheirFormat()
{
    QFETCH(QString, grid);
    QFETCH(QString, keyField);
    QFETCH(QString, key);
    QFETCH(QString, field);
    QFETCH(QString, text);
    Window w(1);
    // A security the directory knows and the quotes do not.
    execOnDatabase(w.paths.quikData, QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker, Digits, Traded) VALUES ('MTSS', 'MTSS', 2, 0)"));
    w.addFilled(7, QStringLiteral("LKOH"), QStringLiteral("LE"), QStringLiteral("Buy 1 LKOH 6853 "), 6853);
    w.addFilled(8, QStringLiteral("LKOH"), QStringLiteral("LX"), QStringLiteral("Sell 1 LKOH 6853.5 "), 6853.5);
    w.addFilled(9, QStringLiteral("sber"), QStringLiteral("LE"), QStringLiteral("Buy 10 SBER 285.1 "), 285.1);
    w.addFilled(10, QStringLiteral("RI"), QStringLiteral("SE"), QStringLiteral("Sell 1 RI 110250 "), 110250);
    w.addFilled(11, QStringLiteral("MTSS"), QStringLiteral("LE"), QStringLiteral("Buy 1 MTSS 301.5 "), 301.5);
    w.addFilled(12, QStringLiteral("XXXX"), QStringLiteral("LE"), QStringLiteral("Buy 1 XXXX 1234.5 "), 1234.5);
    execOnDatabase(w.paths.alerts, QStringLiteral("INSERT INTO ActiveOrders (ID, Symbol, OrderType, \"Order\", \"Last\") "
                                                  "VALUES (13, 'VTBR', 'LE', 'Buy 1 VTBR 91.1 Stop', 91.1)"));
    execOnDatabase(w.paths.alerts, QStringLiteral("INSERT INTO OpenPositions (ID, Symbol, \"Entry Price\", \"Last\") "
                                                  "VALUES (14, 'SBER', 285, 285.12)"));
    w.connectNow();
    w.robot().timTable();
    DataGrid *g = grid == QLatin1String("grdSecCode") ? w.main->findChild<TfmOpt *>()->grid(grid) : w.showGrid(grid);
    QVERIFY(g);
    DataSet &d = *g->dataset();
    const int keyColumn = d.fieldIndex(keyField);
    QVERIFY(keyColumn >= 0);
    int row = -1;
    for (int r = 0; r < d.RecordCount() && row < 0; ++r)
        if (d.value(r, keyColumn).toString() == key)
            row = r;
    QVERIFY2(row >= 0, qPrintable(key));
    QCOMPARE(g->model()->text(row, g->model()->columnOf(field)), text);
}

// The decimals are read again when the quotes or the directory change.
void TestMainWindow::priceDecimalsFollowTheQuotes()
{
    Window w;
    w.addFilled(7, QStringLiteral("LKOH"), QStringLiteral("LE"), QStringLiteral("Buy 1 LKOH 6853 "), 6853);
    w.connectNow();
    w.robot().timTable();
    DataGrid *filled = w.main->grid(QStringLiteral("grdFilledOrders"));
    const int price = filled->model()->columnOf(QStringLiteral("Fill Price"));
    const QString g = QLocale(QLocale::Russian, QLocale::Russia).groupSeparator();
    QCOMPARE(filled->model()->text(0, price), "6" + g + "853,0");
    execOnDatabase(w.paths.quikData, QStringLiteral("UPDATE tParam SET Digits = 2 WHERE seccode = 'LKOH'"));
    w.robot().timQuikTimer();
    QCOMPARE(filled->model()->text(0, price), "6" + g + "853,00");
    // Without quotes for its code, the directory's own decimals.
    execOnDatabase(w.paths.quikData, QStringLiteral("DELETE FROM tParam WHERE seccode = 'LKOH'"));
    w.robot().timQuikTimer();
    QCOMPARE(filled->model()->text(0, price), "6" + g + "853,0");
    w.data.tSecCode.setReadOnly(false);
    QVERIFY(w.data.tSecCode.Locate(QStringLiteral("SecCode"), QStringLiteral("LKOH")));
    w.data.tSecCode.setFieldValue(QStringLiteral("Digits"), 3);
    QVERIFY(w.data.tSecCode.Post());
    QCOMPARE(filled->model()->text(0, price), "6" + g + "853,000");
}

void TestMainWindow::positionsFilterBuildsTheView()
{
    Window w(1);
    w.connectNow();
    auto *group = w.main->findChild<QComboBox *>(QStringLiteral("cboGroup"));
    auto *code = w.main->findChild<QComboBox *>(QStringLiteral("cboCode"));
    auto *sec = w.main->findChild<QComboBox *>(QStringLiteral("cboSecCode"));
    auto *all = w.main->findChild<QCheckBox *>(QStringLiteral("chAllLimits"));
    QVERIFY(group->count() >= 3); // empty, and the two groups

    // The group box rebuilds the client list.
    group->setCurrentText(QStringLiteral("Основная"));
    const int key = group->itemData(group->findText(QStringLiteral("Основная"))).toInt();
    QCOMPARE(w.data.qClientsByGroup.SQL(),
             (QStringList{"SELECT DISTINCT tclients.code, tclients.client, tclients.id",
                          "FROM tClients INNER JOIN tGroupClients ON tClients.id=tGroupClients.id_client",
                          QStringLiteral("WHERE id_group = %1").arg(key)}));
    QCOMPARE(code->count(), 4); // empty, and the group's three clients
    group->setCurrentText(QString());
    QCOMPARE(w.data.qClientsByGroup.SQL().size(), 2);

    // " Выбрать": the positions view for what is chosen, typed text included.
    group->setCurrentText(QStringLiteral("Основная"));
    code->setCurrentText(QStringLiteral("10001"));
    sec->setCurrentText(QStringLiteral("SBER"));
    all->setChecked(true);
    w.action("actSelectLimits")->trigger();
    const QVector<TQuikTerminal> terminals = ReadTerminals(w.data.tQuik);
    QString expected = BuildLimitsQuery(true, key, QStringLiteral("10001"), QStringLiteral("SBER"), AccountMode::Multi, terminals);
    if (expected.endsWith(QLatin1String("\r\n")))
        expected.chop(2);
    QCOMPARE(w.data.qLimits.statement(), expected);
    QVERIFY(w.data.qLimits.Active());
    // Entering "Лимиты" reads the instrument list again.
    QSignalSpy reopened(&w.data.qSecCodeList, &DataSet::opened);
    auto *trading = w.main->findChild<QTabWidget *>(QStringLiteral("pcTrading"));
    trading->setCurrentIndex(1);
    QCOMPARE(reopened.count(), 1);
}

void TestMainWindow::quikTickKeepsTheCurrentRows()
{
    Window w;
    w.connectNow();
    DataGrid *quotes = w.main->grid(QStringLiteral("grdQoutes"));
    DataSet &param = w.data.tParam;
    param.setCurrentRow(2);
    const QVariant id = param.FieldByName(QStringLiteral("id"));
    const QString stock = quotes->model()->text(2, 0);
    // A row goes before it: the tick keeps the row by its id.
    execOnDatabase(w.paths.quikData, QStringLiteral("DELETE FROM tParam WHERE id = (SELECT MIN(id) FROM tParam)"));
    w.robot().timQuikTimer();
    QCOMPARE(param.FieldByName(QStringLiteral("id")), id);
    QCOMPARE(quotes->view()->currentIndex().row(), param.currentRow());
    QCOMPARE(quotes->model()->text(param.currentRow(), 0), stock);
    // A query keeps its row number.
    DataSet &orders = w.data.qQuikOrdersAll;
    QVERIFY(orders.RecordCount() >= 2);
    orders.setCurrentRow(1);
    w.robot().timQuikTimer();
    QCOMPARE(orders.currentRow(), 1);
    QCOMPARE(w.main->grid(QStringLiteral("grdQuikOrders"))->view()->currentIndex().row(), 1);
    // The grid drives the dataset too.
    quotes->view()->setCurrentIndex(quotes->model()->index(0, 0));
    QCOMPARE(param.currentRow(), 0);
}

void TestMainWindow::failingTickShowsOneBox()
{
    Window w;
    Dialogs::setResponder({}); // real boxes: they stay open
    for (int i = 0; i < 3; ++i)
        w.robot().runTick([] { throw KorvinaError(QStringLiteral("Таблица не читается")); });
    QCOMPARE(Dialogs::openErrors(), 1);
    w.robot().runTick([] { throw KorvinaError(QStringLiteral("Другая ошибка")); });
    QCOMPARE(Dialogs::openErrors(), 2);
    // The next tick runs while the boxes are open.
    bool ran = false;
    w.robot().runTick([&ran] { ran = true; });
    QVERIFY(ran);
    for (QWidget *box : QApplication::topLevelWidgets())
        if (box->objectName() == QLatin1String("errorBox"))
            box->close();
    QTRY_COMPARE(Dialogs::openErrors(), 0);
}

void TestMainWindow::watchAnimationAndAbout()
{
    Window w;
    w.connectNow();
    w.action("actStartWatch")->trigger();
    for (int step = 1; step <= 5; ++step) {
        w.robot().timTable();
        QCOMPARE(w.main->shownWatchIcon(), step % 4);
    }
    w.action("actStopWatch")->trigger();
    QCOMPARE(w.main->shownWatchIcon(), 0);
    QCOMPARE(w.main->WatchIcons().size(), 4);
    for (const QIcon &i : w.main->WatchIcons())
        QVERIFY(!i.pixmap(32, 32).isNull());

    // A transaction sent, passed on and executed: the counters move.
    w.action("actStartWatch")->trigger();
    w.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.robot().timTable();
    QFile tro(w.paths.trans + QStringLiteral("/trans.tro"));
    QVERIFY(tro.open(QIODevice::Append));
    tro.write("TRANS_ID=0;STATUS=0;\r\nTRANS_ID=0;STATUS=3;ORDER_NUMBER=9;\r\n");
    tro.close();
    w.robot().actCheckTROExecute();
    QCOMPARE(w.panel(3), QStringLiteral("Отправлено транзакций: 1/1/1"));
    w.action("actAbout")->trigger();
    auto *about = w.main->findChild<TfmAbout *>();
    QVERIFY(about && about->isVisible());
    QCOMPARE(QStringLiteral("Отправлено транзакций: ") + about->counters(), w.panel(3));
    auto *mail = about->findChild<LinkLabel *>(QStringLiteral("lblMail"));
    QVERIFY(mail->target().startsWith(QStringLiteral("mailto:")));
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(mail, &enter);
    QVERIFY(mail->hovered());
    QCOMPARE(mail->cursor().shape(), Qt::PointingHandCursor);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(mail, &leave);
    QVERIFY(!mail->hovered());
}

void TestMainWindow::helpOpensAtItsTopics()
{
    Window w;
    w.action("actHelpCont")->trigger();
    auto *help = w.main->findChild<HelpWindow *>();
    QVERIFY(help && help->isVisible());
    QCOMPARE(help->topic(), QStringLiteral("index"));
    QVERIFY(!help->browser()->toPlainText().trimmed().isEmpty());
    w.main->showHelp(QStringLiteral("settings"));
    QCOMPARE(help->topic(), QStringLiteral("settings"));
    QVERIFY(!help->browser()->toPlainText().trimmed().isEmpty());
}

void TestMainWindow::logMemoFollowsTheLog()
{
    Window w;
    auto *memo = w.main->findChild<QPlainTextEdit *>(QStringLiteral("mLog"));
    AddLog(QStringLiteral("первая строка"));
    AddLog(QStringLiteral("вторая\r\nс продолжением"));
    const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.mid(lines.size() - 3).join(QLatin1Char('|')).section(QLatin1Char('|'), 0, 0).endsWith(QStringLiteral(" первая строка")),
             true);
    QCOMPARE(lines.last(), QStringLiteral("с продолжением"));
    QCOMPARE(memo->maximumBlockCount(), OperationLog::MaxScreenLines);
}

void TestMainWindow::ordersReachTheWindowEndToEnd()
{
    Window w;
    QProcess terminal;
    terminal.start(QStringLiteral(KORVINA_BIN_DIR "/korvina-terminal-sim"),
                   {QStringLiteral("--dir"), w.paths.trans, QStringLiteral("--db"), w.paths.quikData, QStringLiteral("--pace"),
                    QStringLiteral("100"), QStringLiteral("--quiet")});
    QVERIFY(terminal.waitForStarted());
    w.settings.edtIntTable = 1;
    w.connectNow();
    w.action("actStartWatch")->trigger();
    QProcess strategy;
    strategy.start(QStringLiteral(KORVINA_BIN_DIR "/korvina-strategy-sim"),
                   {QStringLiteral("--alerts"), w.paths.alerts, QStringLiteral("--random"), QStringLiteral("1"),
                    QStringLiteral("--every"), QStringLiteral("100"), QStringLiteral("--quikdata"), w.paths.quikData});
    QVERIFY(strategy.waitForFinished(15000));
    // The robot's own timers take it from here: the order reaches the
    // terminal, its result the transaction report, its lines the memo.
    DataGrid *report = w.showGrid(QStringLiteral("grdTRO"));
    QTRY_VERIFY_WITH_TIMEOUT(report->model()->rowCount() > 0 && !report->model()->text(0, report->model()->columnOf(QStringLiteral("status"))).isEmpty(),
                             20000);
    auto *memo = w.main->findChild<QPlainTextEdit *>(QStringLiteral("mLog"));
    QVERIFY(memo->toPlainText().contains(QStringLiteral("Обрабатываю ордер # 1 ...")));
    QTRY_VERIFY_WITH_TIMEOUT(memo->toPlainText().contains(QStringLiteral("отправлена на сервер Quik.")), 10000);
    terminal.terminate();
    terminal.waitForFinished(5000);
}

void TestMainWindow::connectAsksFirst_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("yes");
    for (const char *how : {"toolbar", "menu", "keys", "options dialog"}) {
        QTest::addRow("%s, yes", how) << QString::fromLatin1(how) << true;
        QTest::addRow("%s, no", how) << QString::fromLatin1(how) << false;
    }
}

void TestMainWindow::connectAsksFirst()
{
    QFETCH(QString, how);
    QFETCH(bool, yes);
    Window w;
    QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));
    // What a connection would empty: a line of the transaction file.
    const QString tri = w.paths.trans + QStringLiteral("/trans.tri");
    {
        QFile f(tri);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("TRANS_ID=1;\r\n");
    }
    Dialogs::setResponder([yes](const Dialogs::Request &r) {
        Dialogs::Answer a;
        if (r.kind == Dialogs::Kind::Question)
            a.button = yes ? QMessageBox::Yes : QMessageBox::No;
        return a;
    });
    if (how == QLatin1String("toolbar")) {
        auto *bar = w.main->findChild<QToolBar *>(QStringLiteral("ToolBar1"));
        auto *button = qobject_cast<QToolButton *>(bar->widgetForAction(w.action("actConnectToBase")));
        QVERIFY(button);
        button->click();
    } else if (how == QLatin1String("menu")) {
        auto *file = w.main->findChild<QMenu *>(QStringLiteral("mnuFile"));
        QVERIFY(file->actions().contains(w.action("actConnectToBase")));
        file->actions()[file->actions().indexOf(w.action("actConnectToBase"))]->trigger();
    } else if (how == QLatin1String("keys")) {
        w.main->activateWindow();
        QTest::keyClick(w.main.get(), Qt::Key_F5, Qt::ControlModifier);
    } else {
        emit w.main->opt()->connectRequested();
    }
    QCoreApplication::processEvents();

    QVERIFY(!Dialogs::asked().isEmpty());
    const Dialogs::Request asked = Dialogs::asked().first();
    QCOMPARE(asked.kind, Dialogs::Kind::Question);
    QCOMPARE(asked.title, QStringLiteral("Подключиться"));
    // It names what goes: the journal, the transaction files of the folder,
    // SmartTrade's order files; and that QUIK's import starts again.
    for (const QString &part : {QStringLiteral("журнал транзакций tOrderNumber"), QStringLiteral(".tri, .tro, .trr"), w.settings.edtdirTT,
                                QStringLiteral("файлы заявок SmartTrade"), w.settings.edtDirSmartTrade,
                                QStringLiteral("перезапустите импорт транзакций в квике")})
        QVERIFY2(asked.text.contains(part), qPrintable(part + QStringLiteral(" in: ") + asked.text));
    QFile f(tri);
    QVERIFY(f.open(QIODevice::ReadOnly));
    if (yes) {
        QCOMPARE(w.panel(1), QStringLiteral("Подключение к Quik: OK"));
        QCOMPARE(f.size(), 0);
        QTRY_COMPARE(Dialogs::asked().last().text, QStringLiteral("Созданы новые файлы TRI и TRO. Перезапустите импорт транзакций в квике!"));
    } else {
        // "No" does nothing at all.
        QCOMPARE(w.panel(1), QStringLiteral("Подключение к Quik: Нет"));
        QCOMPARE(f.readAll(), QByteArray("TRANS_ID=1;\r\n"));
        QCOMPARE(Dialogs::asked().size(), 1);
        QVERIFY(!w.data.conQuikData.isOpen());
    }
}

void TestMainWindow::refusalsAndSilenceAreShown()
{
    Window w;
    w.connectNow();
    auto *refused = w.main->findChild<QLabel *>(QStringLiteral("pnlRefused"));
    auto *silence = w.main->findChild<QLabel *>(QStringLiteral("pnlSilence"));
    QVERIFY(refused && silence);
    QCOMPARE(refused->text(), QStringLiteral("Отвергнуто: 0"));
    QVERIFY(silence->isHidden());
    // The counters' hints say what each number is.
    const QString countersTip = w.main->findChild<QLabel *>(QStringLiteral("StatusBar1Panel3"))->toolTip();
    for (const QString &part : {QStringLiteral("следующая транзакция"), QStringLiteral("статус 0"), QStringLiteral("статус 3")})
        QVERIFY2(countersTip.contains(part), qPrintable(countersTip));
    QVERIFY(refused->toolTip().contains(QStringLiteral("отвергли")));

    // Two transactions: the terminal refuses the first, executes the second.
    w.action("actStartWatch")->trigger();
    w.addFilled(1, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.addFilled(2, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.robot().timTable();
    QCOMPARE(w.robot().TransId(), 2);
    QSignalSpy beep(&w.robot(), &Robot::beep);
    QFile tro(w.paths.trans + QStringLiteral("/trans.tro"));
    QVERIFY(tro.open(QIODevice::Append));
    tro.write(cp1251::encode(QStringLiteral("TRANS_ID=0;STATUS=6;DESCRIPTION=\"Не хватает средств\";\r\nTRANS_ID=1;STATUS=3;ORDER_NUMBER=5;\r\n")));
    tro.close();
    w.robot().timTable();
    w.robot().timQuikTimer();
    QCOMPARE(beep.count(), 1);
    // The three numbers as they always were; the refusal in its own panel.
    QCOMPARE(w.panel(3), QStringLiteral("Отправлено транзакций: 2/0/1"));
    QCOMPARE(refused->text(), QStringLiteral("Отвергнуто: 1"));

    // The report's refused row in red, its reason by the pointer; the other
    // as every row.
    DataGrid *report = w.showGrid(QStringLiteral("grdTRO"));
    const int transColumn = report->model()->columnOf(QStringLiteral("trans_id"));
    int refusedRow = -1, doneRow = -1;
    for (int r = 0; r < report->model()->rowCount(); ++r)
        (report->model()->text(r, transColumn) == QLatin1String("0") ? refusedRow : doneRow) = r;
    QVERIFY(refusedRow >= 0 && doneRow >= 0);
    const QModelIndex bad = report->model()->index(refusedRow, report->model()->columnOf(QStringLiteral("code")));
    QCOMPARE(bad.data(Qt::ForegroundRole).value<QColor>(), QColor(0xc0, 0, 0));
    QVERIFY(bad.data(Qt::BackgroundRole).value<QColor>().isValid());
    QVERIFY(bad.data(Qt::ToolTipRole).toString().contains(QStringLiteral("Не хватает средств")));
    QCOMPARE(report->model()->text(refusedRow, report->model()->columnOf(QStringLiteral("description"))), QStringLiteral("Не хватает средств"));
    QVERIFY(!report->model()->index(doneRow, 0).data(Qt::ForegroundRole).isValid());
    QVERIFY(!report->model()->index(doneRow, 0).data(Qt::BackgroundRole).isValid());

    // A third transaction the terminal never answers: after a minute the
    // status bar says so, until the answer comes.
    w.addFilled(3, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.robot().timTable();
    w.robot().gateway().checkAnswers(QDateTime::currentDateTime().addSecs(61));
    QVERIFY(!silence->isHidden());
    QCOMPARE(silence->text(), QStringLiteral("Терминал не отвечает: trans"));
    QVERIFY(silence->toolTip().contains(QStringLiteral("импорт транзакций")));
    QVERIFY(tro.open(QIODevice::Append));
    tro.write("TRANS_ID=2;STATUS=0;\r\n");
    tro.close();
    w.robot().timTable();
    QVERIFY(silence->isHidden());
}

void TestMainWindow::logFollowsTheEndUnlessScrolledUp()
{
    Window w;
    w.main->resize(900, 600);
    w.pages()->setCurrentWidget(w.main->findChild<QWidget *>(QStringLiteral("tshLog")));
    QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));
    auto *memo = w.main->findChild<QPlainTextEdit *>(QStringLiteral("mLog"));
    QScrollBar *v = memo->verticalScrollBar();
    auto atEnd = [v] { return v->value() == v->maximum(); };
    for (int i = 0; i < 100; ++i)
        AddLog(QStringLiteral("строка %1").arg(i));
    QVERIFY(v->maximum() > 0);
    QVERIFY(atEnd());
    // A line far wider than the page: wrapped, no horizontal scroll bar, and
    // the view still follows.
    AddLog(QStringLiteral("Длинная строка журнала ").repeated(40));
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(memo->horizontalScrollBar()->maximum(), 0);
    QVERIFY(atEnd());
    for (int i = 0; i < 20; ++i)
        AddLog(QStringLiteral("после длинной %1").arg(i));
    QVERIFY(atEnd());
    QVERIFY(memo->cursorForPosition(QPoint(5, memo->viewport()->height() - 5)).block().text().endsWith(QStringLiteral("после длинной 19")));

    // Scrolled up: new lines leave the operator where he is.
    v->setValue(v->maximum() / 2);
    const int kept = v->value();
    for (int i = 0; i < 20; ++i)
        AddLog(QStringLiteral("пока читают %1").arg(i));
    QCOMPARE(v->value(), kept);
    // Back at the end: followed again.
    v->setValue(v->maximum());
    AddLog(QStringLiteral("снова в конце"));
    QVERIFY(atEnd());
    QVERIFY(memo->cursorForPosition(QPoint(5, memo->viewport()->height() - 5)).block().text().endsWith(QStringLiteral("снова в конце")));
    // Lines that come while another page is shown are there, at the end,
    // when the operator comes back.
    w.pages()->setCurrentIndex(0);
    for (int i = 0; i < 50; ++i)
        AddLog(QStringLiteral("пока открыта другая страница %1").arg(i));
    w.pages()->setCurrentWidget(w.main->findChild<QWidget *>(QStringLiteral("tshLog")));
    QCoreApplication::processEvents();
    QVERIFY(atEnd());
    QVERIFY(memo->cursorForPosition(QPoint(5, memo->viewport()->height() - 5))
                .block()
                .text()
                .endsWith(QStringLiteral("пока открыта другая страница 49")));
}

void TestMainWindow::logSearchMarksAndMoves()
{
    Window w;
    w.pages()->setCurrentWidget(w.main->findChild<QWidget *>(QStringLiteral("tshLog")));
    QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));
    auto *memo = w.main->findChild<QPlainTextEdit *>(QStringLiteral("mLog"));
    auto *search = w.main->findChild<QLineEdit *>(QStringLiteral("edtLogSearch"));
    QVERIFY(search);
    for (int i = 0; i < 30; ++i)
        AddLog(i % 10 == 3 ? QStringLiteral("Транзакция номер %1 ОТВЕРГНУТА").arg(i) : QStringLiteral("строка %1").arg(i));
    typeText(search, QStringLiteral("отвергнута"));
    // Every match marked (letter case ignored), the first one selected.
    QCOMPARE(memo->extraSelections().size(), 3);
    auto selectedLine = [memo] { return memo->textCursor().block().text(); };
    QCOMPARE(memo->textCursor().selectedText(), QStringLiteral("ОТВЕРГНУТА"));
    QVERIFY(selectedLine().endsWith(QStringLiteral("номер 3 ОТВЕРГНУТА")));
    // Enter: the next one; after the last, the first again.
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(selectedLine().endsWith(QStringLiteral("номер 13 ОТВЕРГНУТА")));
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(selectedLine().endsWith(QStringLiteral("номер 23 ОТВЕРГНУТА")));
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(selectedLine().endsWith(QStringLiteral("номер 3 ОТВЕРГНУТА")));
    QCOMPARE(w.main->findChild<QLabel *>(QStringLiteral("lblLogSearch"))->text(), QStringLiteral("совпадений: 3"));
    // A new matching line is marked too.
    AddLog(QStringLiteral("Транзакция номер 99 отвергнута"));
    QTRY_COMPARE(memo->extraSelections().size(), 4);
    // Nothing found: said so, nothing marked.
    search->clear();
    typeText(search, QStringLiteral("нет такого"));
    QCOMPARE(memo->extraSelections().size(), 0);
    QCOMPARE(w.main->findChild<QLabel *>(QStringLiteral("lblLogSearch"))->text(), QStringLiteral("не найдено"));
}

void TestMainWindow::positionsAreReadWithTheOtherViews()
{
    Window w;
    w.connectNow();
    w.showGrid(QStringLiteral("grdLimits"));
    DataSet &limits = w.data.qLimits;
    QTRY_VERIFY(limits.Active() && limits.RecordCount() > 0);
    auto *readAt = w.main->findChild<QLabel *>(QStringLiteral("lblLimitsReadAt"));
    QVERIFY(readAt);
    QVERIFY2(readAt->text().startsWith(QStringLiteral("Позиции на ")), qPrintable(readAt->text()));
    const QDateTime first = limits.readAt();
    DataGrid *grid = w.main->grid(QStringLiteral("grdLimits"));

    // Valued in roubles alone: one total. Balances of many securities:
    // how many, each total by the pointer.
    QSet<QString> securities;
    double est = 0;
    for (int r = 0; r < limits.RecordCount(); ++r) {
        if (limits.value(r, QStringLiteral("currentbal")).toDouble() != 0)
            securities << limits.value(r, QStringLiteral("seccode")).toString();
        est += limits.value(r, QStringLiteral("est")).toDouble();
    }
    QVERIFY(securities.size() > 1);
    QCOMPARE(grid->footerText(QStringLiteral("est")), FormatDisplay(est, QStringLiteral("### ### ##0.00")));
    QCOMPARE(grid->footerText(QStringLiteral("currentbal")), QStringLiteral("бумаг и валют: %1").arg(securities.size()));
    QCOMPARE(grid->footerToolTip(QStringLiteral("currentbal")).split(QLatin1Char('\n')).size(), securities.size());
    QVERIFY(grid->footerToolTip(QStringLiteral("currentbal")).contains(QStringLiteral("SUR: ")));

    // Dollars come to a client: the next refresh of the terminals' views
    // shows them, read off the window's thread, and values them apart.
    QTRY_VERIFY(w.data.quikReader.idle()); // the connection's own refresh is over
    const QString client = limits.value(0, QStringLiteral("code")).toString();
    execOnDatabase(w.paths.quikData,
                   QStringLiteral("INSERT INTO tLimitMoney (code, TAG, CURRCODE, openbal, currentbal) VALUES (:c, 'EQTV', 'USD', 0, 1000)"),
                   {{QStringLiteral("c"), client}});
    const int rows = limits.RecordCount();
    QTest::qWait(5);
    w.robot().timQuikTimer();
    QCOMPARE(limits.RecordCount(), rows); // not read on this thread
    QTRY_COMPARE(limits.RecordCount(), rows + 1);
    QVERIFY(limits.readAt() > first);
    QVERIFY(readAt->text().startsWith(QStringLiteral("Позиции на ")));
    QCOMPARE(grid->footerText(QStringLiteral("est")), QStringLiteral("валют: 2"));
    const QString tip = grid->footerToolTip(QStringLiteral("est"));
    QVERIFY2(tip.contains(QStringLiteral("USD: 1 000,00")), qPrintable(tip));
    QVERIFY2(tip.contains(QStringLiteral("RUB: ") + FormatDisplay(est, QStringLiteral("### ### ##0.00"))), qPrintable(tip));
    // Shares of assets are not added up across clients.
    QSet<QString> clients;
    for (int r = 0; r < limits.RecordCount(); ++r)
        if (limits.value(r, QStringLiteral("part")).toDouble() != 0)
            clients << limits.value(r, QStringLiteral("code")).toString();
    if (clients.size() > 1)
        QCOMPARE(grid->footerText(QStringLiteral("part")), QStringLiteral("клиентов: %1").arg(clients.size()));
}

void TestMainWindow::orderCommandsInTheMenus_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QKeySequence>("keys");
    QTest::newRow("new order") << "actNewOrderManual" << "mnuOrders" << QKeySequence(Qt::Key_F2);
    QTest::newRow("new stop order") << "actNewStopOrderManual" << "mnuOrders" << QKeySequence(Qt::SHIFT | Qt::Key_F2);
    QTest::newRow("cancel orders") << "actKillOrderManual" << "mnuOrders" << QKeySequence(Qt::Key_F8);
    QTest::newRow("cancel stop orders") << "actKillStopOrderManual" << "mnuOrders" << QKeySequence(Qt::SHIFT | Qt::Key_F8);
    QTest::newRow("connect") << "actConnectToBase" << "mnuFile" << QKeySequence(Qt::CTRL | Qt::Key_F5);
}

void TestMainWindow::orderCommandsInTheMenus()
{
    QFETCH(QString, action);
    QFETCH(QString, menu);
    QFETCH(QKeySequence, keys);
    Window w;
    w.connectNow();
    QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));
    QAction *a = w.action(qPrintable(action));
    auto *m = w.main->findChild<QMenu *>(menu);
    QVERIFY(m);
    QVERIFY(m->actions().contains(a));
    QVERIFY(w.main->menuBar()->actions().contains(m->menuAction()));
    QCOMPARE(a->shortcut(), keys);
    // The keys run the command (its dialog closed at once), and only while
    // it is enabled.
    QSignalSpy ran(a, &QAction::triggered);
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (w.main->order()->isVisible())
            w.main->order()->reject();
    });
    closer.start(10);
    w.main->activateWindow();
    QTest::keyClick(w.main.get(), keys[0].key(), keys[0].keyboardModifiers());
    QCOMPARE(ran.count(), 1);
    a->setEnabled(false);
    QTest::keyClick(w.main.get(), keys[0].key(), keys[0].keyboardModifiers());
    QCOMPARE(ran.count(), 1);
}

// "Сервис" → "Проверка подключения" opens the self-check's window: one row
// per look, a problem in red with what to do, and checks again on demand.
void TestMainWindow::checkConnectionFromTheServiceMenu()
{
    Window w;
    QAction *a = w.action("actCheckConnection");
    QVERIFY(a);
    QCOMPARE(a->text(), QStringLiteral("Проверка подключения"));
    auto *service = w.main->findChild<QMenu *>(QStringLiteral("mnuService"));
    QVERIFY(service && service->actions().contains(a));

    // Not connected yet: the transaction files are not there.
    a->trigger();
    auto *window = w.main->findChild<QDialog *>(QStringLiteral("fmCheckConnection"));
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Проверка подключения"));
    auto *lines = window->findChild<QTableWidget *>(QStringLiteral("tblCheckLines"));
    auto *summary = window->findChild<QLabel *>(QStringLiteral("lblCheckSummary"));
    auto *again = window->findChild<QPushButton *>(QStringLiteral("btnCheckAgain"));
    QVERIFY(lines && summary && again);
    QVERIFY(!again->isEnabled()); // while it runs
    QTRY_VERIFY_WITH_TIMEOUT(again->isEnabled(), 20000);
    QCOMPARE(lines->rowCount(), 9);
    auto rowOf = [lines](const QString &title) {
        for (int r = 0; r < lines->rowCount(); ++r)
            if (lines->item(r, 1)->text() == title)
                return r;
        return -1;
    };
    int terminal = rowOf(QStringLiteral("Ответы терминала"));
    QVERIFY(terminal >= 0);
    QCOMPARE(lines->item(terminal, 0)->text(), QStringLiteral("ОШИБКА"));
    QCOMPARE(lines->item(terminal, 0)->foreground().color(), QColor(190, 0, 0));
    QVERIFY2(lines->item(terminal, 2)->text().contains(QStringLiteral("trans: нет файла ")), qPrintable(lines->item(terminal, 2)->text()));
    QVERIFY2(summary->text().startsWith(QStringLiteral("Исправьте отмеченное как ОШИБКА (1)")), qPrintable(summary->text()));

    // Connected, the quotes traded just now: nothing to put right (what
    // the terminal answers shows after the first order).
    w.connectNow();
    execOnDatabase(w.paths.quikData, QStringLiteral("UPDATE tParam SET timelast = :t"), {{QStringLiteral("t"), QDateTime::currentDateTime()}});
    QTest::mouseClick(again, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(again->isEnabled() && summary->text().startsWith(QStringLiteral("Исправлять нечего.")), 20000);
    terminal = rowOf(QStringLiteral("Ответы терминала"));
    QCOMPARE(lines->item(terminal, 0)->text(), QStringLiteral("НЕТ ДАННЫХ"));
    QVERIFY(lines->item(terminal, 2)->text().startsWith(QStringLiteral("trans: транзакций еще не было")));
    for (int r = 0; r < lines->rowCount(); ++r)
        QVERIFY2(lines->item(r, 0)->text() != QStringLiteral("ОШИБКА"), qPrintable(lines->item(r, 2)->text()));
    auto *ok = window->findChild<QPushButton *>(QStringLiteral("btnCheckOk"));
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!window->isVisible());
}

void TestMainWindow::aboutBoxVersionLinksAndCounters_data()
{
    QTest::addColumn<QString>("mail");
    QTest::addColumn<QString>("web");
    QTest::addColumn<QString>("mailTarget"); // "": no link shown
    QTest::addColumn<QString>("webTarget");
    QTest::newRow("none set: no links") << "" << "" << "" << "";
    QTest::newRow("both") << "desk@broker.ru" << "https://broker.ru/korvina" << "mailto:desk@broker.ru" << "https://broker.ru/korvina";
    QTest::newRow("mail given with its mailto, site without its scheme")
        << "mailto:desk@broker.ru" << "broker.ru" << "mailto:desk@broker.ru" << "https://broker.ru";
    QTest::newRow("site alone") << " " << "http://broker.ru" << "" << "http://broker.ru";
}

void TestMainWindow::aboutBoxVersionLinksAndCounters()
{
    QFETCH(QString, mail);
    QFETCH(QString, web);
    QFETCH(QString, mailTarget);
    QFETCH(QString, webTarget);
    Window w;
    // Empty by default.
    QVERIFY(w.settings.aboutMail.isEmpty() && w.settings.aboutWeb.isEmpty());
    w.settings.aboutMail = mail;
    w.settings.aboutWeb = web;
    w.action("actAbout")->trigger();
    auto *about = w.main->findChild<TfmAbout *>();
    QVERIFY(about && about->isVisible());
    // The version from the build: its major number.
    QCOMPARE(about->findChild<QLabel *>(QStringLiteral("lblVersion"))->text(), QStringLiteral("Версия 3"));
    QCOMPARE(QStringLiteral(KORVINA_VERSION), QStringLiteral("3.0.0"));
    for (const auto &[name, target] : {std::pair{"lblMail", mailTarget}, std::pair{"lblWeb", webTarget}}) {
        auto *link = about->findChild<LinkLabel *>(QLatin1String(name));
        QCOMPARE(!link->isHidden(), !target.isEmpty());
        if (!target.isEmpty()) {
            QCOMPARE(link->target(), target);
            QVERIFY(!link->text().contains(QStringLiteral(".example")));
        }
    }
    // The counters' value has its own name for screen readers; the label
    // beside it keeps its text.
    auto *counters = about->findChild<QLabel *>(QStringLiteral("pnlCounters"));
    about->setCounters(QStringLiteral("7/5/4"));
    QAccessibleInterface *value = QAccessible::queryAccessibleInterface(counters);
    QVERIFY(value);
    QVERIFY2(value->text(QAccessible::Name).contains(QStringLiteral("7/5/4")), qPrintable(value->text(QAccessible::Name)));
    QVERIFY(!value->text(QAccessible::Description).isEmpty());
    bool labelKept = false;
    for (QLabel *l : about->findChildren<QLabel *>())
        labelKept = labelKept || l->text() == QStringLiteral("Отправленно транзакций:");
    QVERIFY(labelKept);
}

void TestMainWindow::helpIsUsableWhileOptionsAreOpen()
{
    Window w;
    TfmOpt *opt = w.main->opt();
    HelpWindow *help = nullptr;
    bool contentsClicked = false;
    OnEachShowing<TfmOpt> step(*opt, [&](TfmOpt &o, int) {
        o.btHelp->click();
        help = w.main->findChild<HelpWindow *>();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->topic(), QStringLiteral("settings"));
        QVERIFY(QTest::qWaitForWindowExposed(help));
        // A click in the guide reaches it while the dialog is open.
        auto *contents = help->findChild<QPushButton *>(QStringLiteral("btnContents"));
        QTest::mouseClick(help->windowHandle(), Qt::LeftButton, {}, contents->mapTo(help, contents->rect().center()));
        contentsClicked = help->topic() == QLatin1String("index");
        o.btCancel->click();
    });
    opt->execOpt();
    QVERIFY(contentsClicked);
    // The dialog closed: the guide stays open where it was, the main
    // window's again.
    QVERIFY(help->isVisible());
    QCOMPARE(help->topic(), QStringLiteral("index"));
    QCOMPARE(help->parentWidget(), w.main.get());
}

void TestMainWindow::gridMenusHoldTheWindowsCommandsAndExport_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QStringList>("commands"); // the window's, above the grid's own
    QTest::newRow("quotes") << "grdQoutes"
                            << QStringList{"actNewOrderManual", "actNewStopOrderManual", "actKillOrderManual", "actKillStopOrderManual",
                                           "", "N19"};
    QTest::newRow("portfolio") << "grdPortfolio" << QStringList{"N17", "N24"};
    QTest::newRow("futures portfolio") << "grdPortfolioFut" << QStringList{"N17", "N24"};
    QTest::newRow("transaction report") << "grdTRO" << QStringList{};
    QTest::newRow("positions") << "grdLimits" << QStringList{};
}

void TestMainWindow::gridMenusHoldTheWindowsCommandsAndExport()
{
    QFETCH(QString, grid);
    QFETCH(QStringList, commands);
    Window w;
    QStringList names;
    for (QAction *a : w.main->grid(grid)->contextActions())
        names << a->objectName();
    const QStringList expected = commands + QStringList{QStringLiteral("actExportCsv"), QStringLiteral("actSortNone")};
    QCOMPARE(names, expected);
}

QTEST_MAIN(TestMainWindow)
#include "tst_gui_mainwindow.moc"
