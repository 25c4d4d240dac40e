// The operator's orders through the real windows and the robot's own
// dispatcher, on the demo workspace: the order dialog opened by the
// commands, the positions grid and the quick orders form, answered as an
// operator answers it, and the transaction lines, log lines and boxes that
// follow read back.

#include "config/textcodec.h"
#include "datagrid.h"
#include "guiwindow.h"
#include "navigatorbar.h"
#include "tfmclients.h"
#include "tfmorder.h"
#include "tfmqorders.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <functional>

namespace {

// Runs `step` on the order dialog each time it shows.
struct OnDialog : OnEachShowing<TfmOrder> {
    OnDialog(TfmOrder &dialog, std::function<void(TfmOrder &)> step)
        : OnEachShowing(dialog, [step = std::move(step)](TfmOrder &d, int) { step(d); })
    {
    }
};

// The order command of an action's object name.
TfmMain::OrderSender senderNamed(const QString &action)
{
    return action == QLatin1String("actNewStopOrderManual") ? TfmMain::OrderSender::NewStopOrderCommand
                                                            : TfmMain::OrderSender::NewOrderCommand;
}

QStringList boxTexts()
{
    QStringList out;
    for (const Dialogs::Request &r : Dialogs::asked())
        out << r.text;
    return out;
}

void freshBoxes()
{
    QCoreApplication::processEvents();
    Dialogs::setResponder([](const Dialogs::Request &) { return Dialogs::Answer{}; });
}

// Every line of the transaction files of the folder.
QStringList triLines(const QString &folder)
{
    QStringList out;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("*.tri")}, QDir::Files, QDir::Name)) {
        QFile f(QDir(folder).filePath(name));
        if (f.open(QIODevice::ReadOnly))
            for (const QString &line : cp1251::decode(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
                out << name + QLatin1Char(':') + line;
    }
    return out;
}

QString lastLog(Window &w) { return w.log.lines().isEmpty() ? QString() : w.log.lines().last(); }

void showPage(Window &w, const char *name)
{
    w.pages()->setCurrentWidget(w.main->findChild<QWidget *>(QLatin1String(name)));
}

// A buy of 10 % of the account for the first group: what an operator types.
void buyTen(TfmOrder &d)
{
    d.rbBuy->setChecked(true);
    d.edtQty->setText(QStringLiteral("10"));
    if (d.cboGroup->currentIndex() < 0)
        d.cboGroup->setCurrentIndex(0);
    d.btOk->click();
}

} // namespace

class TestOrders : public QObject {
    Q_OBJECT
private slots:
    void newOrderBySender_data();
    void newOrderBySender();
    void oldStrategyOrderIsAskedFor_data();
    void oldStrategyOrderIsAskedFor();
    void stopOrderTakesBothPrices();
    void newOrderStartsWithoutDirection_data();
    void newOrderStartsWithoutDirection();
    void dialogRefusesWhatMakesNoOrder_data();
    void dialogRefusesWhatMakesNoOrder();
    void shareIsCheckedByItsType_data();
    void shareIsCheckedByItsType();
    void groupIsAskedForInMultiOnly_data();
    void groupIsAskedForInMultiOnly();
    void positionsGridClosesThePosition_data();
    void positionsGridClosesThePosition();
    void cancellationsForAGroup();
    void groupWithoutMembersFormsNothing();
    void countMessageAgreesWithTheCount_data();
    void countMessageAgreesWithTheCount();
    void failedDispatchShowsNoCount();
    void quickForm_data();
    void quickForm();
    void quickFormChecks_data();
    void quickFormChecks();
    void quickFormFollowsTheGroups();
    void quickFormShowsTheQuote_data();
    void quickFormShowsTheQuote();
};

void TestOrders::newOrderBySender_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<QString>("logged"); // the dispatch's log line; empty: nothing happens
    QTest::newRow("quotes, new order") << "tshTrading" << "actNewOrderManual" << true << "Формирую заявки по инструменту ";
    QTest::newRow("filled orders, sent again") << "tshFilledOrders" << "actNewOrderManual" << false << "Исполняю ордер # 7 ...";
    QTest::newRow("filled orders, stop command") << "tshFilledOrders" << "actNewStopOrderManual" << false << "Исполняю ордер # 7 ...";
    QTest::newRow("another page") << "tshLog" << "actNewOrderManual" << false << "";
}

void TestOrders::newOrderBySender()
{
    QFETCH(QString, page);
    QFETCH(QString, action);
    QFETCH(bool, dialog);
    QFETCH(QString, logged);
    Window w;
    w.connectNow();
    w.addFilled(7, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15);
    w.robot().timTable();
    freshBoxes();
    const int linesBefore = triLines(w.paths.trans).size();
    showPage(w, qPrintable(page));
    w.pages()->setCurrentWidget(w.main->findChild<QWidget *>(page));
    OnDialog answer(*w.main->order(), buyTen);
    // Enabled by the page; run as its handler runs.
    w.main->NewManualOrder(senderNamed(action));
    QCOMPARE(answer.shown, dialog ? 1 : 0);
    if (logged.isEmpty()) {
        QVERIFY(boxTexts().isEmpty());
        QCOMPARE(triLines(w.paths.trans).size(), linesBefore);
        return;
    }
    QVERIFY2(w.log.lines().join('\n').contains(logged), qPrintable(w.log.lines().join('\n')));
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore + 1); // SINGLE: one account
    // The status bar counts it too.
    QVERIFY2(w.panel(3).startsWith(QStringLiteral("Отправлено транзакций: %1/").arg(w.robot().TransId())), qPrintable(w.panel(3)));
    QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выставлено 1 заявка.")});
}

void TestOrders::oldStrategyOrderIsAskedFor_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("age"); // seconds since it was filled (placed); -1: no time
    QTest::addColumn<bool>("yes"); // the answer, when asked
    QTest::addColumn<QString>("question"); // empty: none
    const QString again = QStringLiteral(" Отправить его клиентам еще раз?");
    QTest::newRow("filled 10 s ago") << "tshFilledOrders" << 10 << false << "";
    QTest::newRow("filled 20 min ago, yes") << "tshFilledOrders" << 1200 << true
                                            << "Ордер # 7 исполнен 20 мин назад по цене 285,15." + again;
    QTest::newRow("filled 20 min ago, no") << "tshFilledOrders" << 1200 << false
                                           << "Ордер # 7 исполнен 20 мин назад по цене 285,15." + again;
    QTest::newRow("filled 2 h 5 min ago") << "tshFilledOrders" << 7500 << true
                                          << "Ордер # 7 исполнен 2 ч 5 мин назад по цене 285,15." + again;
    QTest::newRow("filled 3 days ago") << "tshFilledOrders" << 3 * 86400 + 3600 << false
                                       << "Ордер # 7 исполнен 3 дн 1 ч назад по цене 285,15." + again;
    QTest::newRow("filled at no known time") << "tshFilledOrders" << -1 << false
                                             << "Ордер # 7 исполнен в неизвестное время по цене 285,15." + again;
    QTest::newRow("active, placed 30 s ago") << "tshActiveOrders" << 30 << false << "";
    QTest::newRow("active, placed 61 s ago") << "tshActiveOrders" << 61 << true
                                             << "Ордер # 8 выставлен 1 мин назад по цене 285." + again;
}

void TestOrders::oldStrategyOrderIsAskedFor()
{
    QFETCH(QString, page);
    QFETCH(int, age);
    QFETCH(bool, yes);
    QFETCH(QString, question);
    Window w;
    w.connectNow();
    const QDateTime at = age < 0 ? QDateTime() : QDateTime::currentDateTime().addSecs(-age);
    if (page == QLatin1String("tshFilledOrders"))
        w.addFilled(7, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), 285.15, at);
    else
        w.addActive(8, QStringLiteral("SBER"), QStringLiteral("LE"), QStringLiteral("Buy 100 SBER 285 "), at);
    w.robot().timTable();
    QCoreApplication::processEvents();
    Dialogs::setResponder([yes](const Dialogs::Request &r) {
        Dialogs::Answer a;
        if (r.kind == Dialogs::Kind::Question)
            a.button = yes ? QMessageBox::Yes : QMessageBox::No;
        return a;
    });
    showPage(w, qPrintable(page));
    const int linesBefore = triLines(w.paths.trans).size();
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    const bool sent = question.isEmpty() || yes;
    QStringList told;
    if (!question.isEmpty())
        told << question;
    if (sent)
        told << QStringLiteral("Выставлено 1 заявка.");
    QCOMPARE(boxTexts(), told);
    if (!question.isEmpty())
        QCOMPARE(Dialogs::asked().first().kind, Dialogs::Kind::Question);
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore + (sent ? 1 : 0));
    QCOMPARE(w.log.lines().join('\n').contains(QStringLiteral("Исполняю ордер # ")), sent);
}

void TestOrders::stopOrderTakesBothPrices()
{
    Window w;
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    QString caption;
    bool fillEnabled = false;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        caption = d.windowTitle();
        fillEnabled = d.edtPriceFill->isEnabled();
        d.edtPrice->setText(QStringLiteral("105"));
        d.edtPriceFill->setText(QStringLiteral("106"));
        buyTen(d);
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewStopOrderCommand);
    QCOMPARE(caption, QStringLiteral("Ввод стоп-заявки"));
    QVERIFY(fillEnabled);
    const QString line = triLines(w.paths.trans).last();
    QVERIFY2(line.contains(QStringLiteral("ACTION=NEW_STOP_ORDER;")), qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral("STOPPRICE=105")), qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral(";PRICE=106")), qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral("OPERATION=B;")), qPrintable(line));
}

void TestOrders::newOrderStartsWithoutDirection_data()
{
    QTest::addColumn<bool>("sell"); // the direction of the order before
    QTest::newRow("after a sale") << true;
    QTest::newRow("after a buy") << false;
}

void TestOrders::newOrderStartsWithoutDirection()
{
    QFETCH(bool, sell);
    Window w;
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    const int linesBefore = triLines(w.paths.trans).size();
    bool buyChecked = true, sellChecked = true;
    OnEachShowing<TfmOrder> answer(*w.main->order(), [&](TfmOrder &d, int showing) {
        if (showing == 0) {
            (sell ? d.rbSell : d.rbBuy)->setChecked(true);
            d.edtQty->setText(QStringLiteral("10"));
            d.cboGroup->setCurrentIndex(0);
            d.btOk->click();
            return;
        }
        buyChecked = d.rbBuy->isChecked();
        sellChecked = d.rbSell->isChecked();
        d.btCancel->click();
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    const QStringList first = triLines(w.paths.trans).mid(linesBefore);
    QCOMPARE(first.size(), 1);
    QVERIFY2(first[0].contains(sell ? QStringLiteral(";OPERATION=S;") : QStringLiteral(";OPERATION=B;")), qPrintable(first[0]));
    // The next order from the quotes chooses no direction.
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    QCOMPARE(answer.shown, 2);
    QVERIFY(!buyChecked);
    QVERIFY(!sellChecked);
}

void TestOrders::dialogRefusesWhatMakesNoOrder_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("direction"); // "" none
    QTest::addColumn<QString>("price");
    QTest::addColumn<QString>("fill");
    QTest::addColumn<QString>("qty");
    QTest::addColumn<QString>("told");
    const QString number = QStringLiteral("Неверный ввод числового поля!");
    QTest::newRow("no direction") << "actNewOrderManual" << "" << "285" << "0" << "10" << "Выберите направление операции!";
    QTest::newRow("price 0") << "actNewOrderManual" << "B" << "0" << "0" << "10" << number;
    QTest::newRow("negative price") << "actNewOrderManual" << "S" << "-1" << "0" << "10" << number;
    QTest::newRow("price inf") << "actNewOrderManual" << "B" << "inf" << "0" << "10" << number;
    QTest::newRow("quantity 0") << "actNewOrderManual" << "B" << "285" << "0" << "0" << number;
    QTest::newRow("quantity not a number") << "actNewOrderManual" << "B" << "285" << "0" << "десять" << number;
    QTest::newRow("stop trigger 0") << "actNewStopOrderManual" << "B" << "0" << "286" << "10" << number;
    QTest::newRow("stop execution price not a number") << "actNewStopOrderManual" << "B" << "285" << "x" << "10" << number;
}

void TestOrders::dialogRefusesWhatMakesNoOrder()
{
    QFETCH(QString, action);
    QFETCH(QString, direction);
    QFETCH(QString, price);
    QFETCH(QString, fill);
    QFETCH(QString, qty);
    QFETCH(QString, told);
    Window w;
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    const int linesBefore = triLines(w.paths.trans).size();
    bool stillOpen = false;
    QString typed;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        if (direction == QLatin1String("B"))
            d.rbBuy->setChecked(true);
        else if (direction == QLatin1String("S"))
            d.rbSell->setChecked(true);
        d.edtPrice->setText(price);
        d.edtPriceFill->setText(fill);
        d.edtQty->setText(qty);
        d.cboGroup->setCurrentIndex(0);
        d.btOk->click();
        stillOpen = d.isVisible();
        typed = d.edtQty->text();
        d.btCancel->click(); // then Отмена: nothing goes out
    });
    w.main->NewManualOrder(senderNamed(action));
    QVERIFY(stillOpen);
    QCOMPARE(typed, qty);
    QCOMPARE(boxTexts(), QStringList{told});
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore);
}

void TestOrders::shareIsCheckedByItsType_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("qty");
    QTest::addColumn<QString>("quantity"); // the lots sold; empty: refused
    // The single account holds 200 SBER (20 lots) in assets of 569 134 at
    // the last price 285,12.
    QTest::newRow("set position 0: closed") << "УСТАН.ПОЗИЦИЮ" << "0" << "20";
    QTest::newRow("set position -10: a short") << "УСТАН.ПОЗИЦИЮ" << "-10" << "39";
    QTest::newRow("account share 0") << "СЧЕТА" << "0" << "";
    QTest::newRow("account share -5") << "СЧЕТА" << "-5" << "";
    QTest::newRow("position share 0") << "ПОЗИЦИИ" << "0" << "";
    QTest::newRow("position share -5") << "ПОЗИЦИИ" << "-5" << "";
    // The locale reads these as numbers; none is a quantity.
    QTest::newRow("set position -inf") << "УСТАН.ПОЗИЦИЮ" << "-inf" << "";
    QTest::newRow("set position nan") << "УСТАН.ПОЗИЦИЮ" << "nan" << "";
    QTest::newRow("account share inf") << "СЧЕТА" << "inf" << "";
}

void TestOrders::shareIsCheckedByItsType()
{
    QFETCH(QString, type);
    QFETCH(QString, qty);
    QFETCH(QString, quantity);
    Window w;
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    QVERIFY(w.data.tParam.Locate(QStringLiteral("seccode"), QStringLiteral("SBER")));
    const int linesBefore = triLines(w.paths.trans).size();
    bool stillOpen = false;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        d.rbSell->setChecked(true);
        d.cboTypeQty->setCurrentIndex(d.cboTypeQty->findText(type));
        d.edtQty->setText(qty);
        d.cboGroup->setCurrentIndex(0);
        d.btOk->click();
        stillOpen = d.isVisible();
        if (stillOpen)
            d.btCancel->click();
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    QCOMPARE(answer.shown, 1);
    const QStringList lines = triLines(w.paths.trans).mid(linesBefore);
    if (quantity.isEmpty()) {
        QVERIFY(stillOpen);
        QCOMPARE(boxTexts(), QStringList{QStringLiteral("Неверный ввод числового поля!")});
        QCOMPARE(lines.size(), 0);
        return;
    }
    QVERIFY(!stillOpen);
    QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выставлено 1 заявка.")});
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(QStringLiteral("SECCODE=SBER;")) && lines[0].contains(QStringLiteral(";OPERATION=S;PRICE=285,12;"))
                 && lines[0].endsWith(QStringLiteral(";QUANTITY=") + quantity + QLatin1Char(';')),
             qPrintable(lines[0]));
}

void TestOrders::groupIsAskedForInMultiOnly_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("SINGLE: the one account, no group needed") << 0;
    QTest::newRow("MULTI: a group is asked for") << 1;
}

void TestOrders::groupIsAskedForInMultiOnly()
{
    QFETCH(int, mode);
    Window w(mode);
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    const int linesBefore = triLines(w.paths.trans).size();
    bool stillOpen = false, groupFocused = false;
    QString typed;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        d.rbBuy->setChecked(true);
        d.edtQty->setText(QStringLiteral("10"));
        d.cboGroup->setCurrentIndex(-1);
        d.btOk->click();
        stillOpen = d.isVisible();
        if (!stillOpen)
            return;
        groupFocused = d.focusWidget() == d.cboGroup;
        typed = d.edtQty->text();
        d.cboGroup->setCurrentIndex(0);
        d.btOk->click();
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    const QStringList lines = triLines(w.paths.trans).mid(linesBefore);
    if (mode == 0) {
        QVERIFY(!stillOpen);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выставлено 1 заявка.")});
        return;
    }
    QVERIFY(stillOpen);
    QVERIFY(groupFocused);
    QCOMPARE(typed, QStringLiteral("10"));
    // Then, with the group, to its members: 10001, 10002 and 20001 are active.
    QCOMPARE(lines.size(), 3);
    QCOMPARE(boxTexts(), (QStringList{QStringLiteral("Выберите группу клиентов!"), QStringLiteral("Выставлено 3 заявки.")}));
}

void TestOrders::positionsGridClosesThePosition_data()
{
    QTest::addColumn<bool>("sell");
    QTest::newRow("long position") << true;
    QTest::newRow("short position") << false;
}

void TestOrders::positionsGridClosesThePosition()
{
    QFETCH(bool, sell);
    Window w;
    // A short position of a security among the quotes.
    execOnDatabase(w.paths.quikData, QStringLiteral("UPDATE tLimitStock SET currentbal = -5 WHERE seccode = 'SBER'"));
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    w.action("actSelectLimits")->trigger();
    DataSet &limits = w.data.qLimits;
    QString security;
    for (int r = 0; r < limits.RecordCount() && security.isEmpty(); ++r) {
        const double balance = limits.value(r, QStringLiteral("currentbal")).toDouble();
        const QString code = limits.value(r, QStringLiteral("seccode")).toString();
        if ((sell ? balance > 0 : balance < 0) && code != QLatin1String("SUR") && w.data.tParam.Locate(QStringLiteral("seccode"), code)) {
            security = code;
            limits.setCurrentRow(r);
        }
    }
    QVERIFY2(!security.isEmpty(), "no such position in the demo workspace");
    // Whatever the dialog showed before.
    w.main->order()->rbBuy->setChecked(!sell);
    w.main->order()->cboTypeQty->setCurrentIndex(2);
    QString price, qty, type, caption;
    bool sellChecked = false, buyChecked = false;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        caption = d.windowTitle();
        price = d.edtPrice->text();
        qty = d.edtQty->text();
        type = d.cboTypeQty->currentText();
        sellChecked = d.rbSell->isChecked();
        buyChecked = d.rbBuy->isChecked();
        d.btCancel->click();
    });
    emit w.main->grid(QStringLiteral("grdLimits"))->doubleClicked();
    QCOMPARE(answer.shown, 1);
    QCOMPARE(caption, QStringLiteral("Ввод заявки"));
    QCOMPARE(sellChecked, sell);
    QCOMPARE(buyChecked, !sell);
    QCOMPARE(qty, QStringLiteral("100"));
    QCOMPARE(type, QStringLiteral("ПОЗИЦИИ"));
    DataSet &quotes = w.data.tParam;
    QCOMPARE(quotes.FieldByName(QStringLiteral("seccode")).toString().toUpper(), security.toUpper()); // the quotes row follows
    TSecData sec;
    sec.Digits = quotes.FieldByName(QStringLiteral("Digits")).toInt();
    sec.MinMov = quotes.FieldByName(QStringLiteral("MinMov")).toDouble();
    const double expected = quotes.FieldByName(sell ? QStringLiteral("bid") : QStringLiteral("offer")).toDouble();
    QCOMPARE(price, FormatOrderPrice(sec, expected));
    QVERIFY(boxTexts().isEmpty()); // Отмена: no count
}

void TestOrders::cancellationsForAGroup()
{
    Window w(1); // MULTI
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    const int linesBefore = triLines(w.paths.trans).size();
    // No group chosen: asked for one, the dialog stays.
    bool operationShown = true, qtyShown = true, stayed = false;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        operationShown = d.boxOperation->isVisible();
        qtyShown = d.gbQty->isVisible();
        d.cboGroup->setCurrentIndex(-1);
        d.btOk->click();
        stayed = d.isVisible();
        d.cboGroup->setCurrentIndex(0);
        d.btOk->click();
    });
    w.action("actKillStopOrderManual")->trigger();
    QVERIFY(!operationShown);
    QVERIFY(!qtyShown);
    QVERIFY(stayed);
    QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выберите группу клиентов!")}); // and no count afterwards
    const QStringList lines = triLines(w.paths.trans).mid(linesBefore);
    const int members = w.data.conQuikData
                            .fetch(QStringLiteral("SELECT COUNT(*) FROM tGroupClients g INNER JOIN tclients c ON g.id_client = c.id "
                                                  "INNER JOIN tQuik q ON c.id_quik = q.id_quik WHERE q.active <> 0 AND g.id_group = "
                                                  "(SELECT MIN(id_group) FROM tGroup)"))
                            .rows.first()
                            .first()
                            .toInt();
    QVERIFY(members > 0);
    QCOMPARE(lines.size(), members);
    for (const QString &l : lines)
        QVERIFY2(l.contains(QStringLiteral("ACTION=KILL_ALL_STOP_ORDERS;")), qPrintable(l));
    QVERIFY(lastLog(w).contains(QStringLiteral("Снимаю заявки по инструменту ")) || w.log.lines().join('\n').contains(QStringLiteral("Снимаю заявки")));
}

void TestOrders::groupWithoutMembersFormsNothing()
{
    Window w(1);
    w.connectNow();
    execOnDatabase(w.paths.quikData, QStringLiteral("INSERT INTO tGroup (\"group\") VALUES ('Пустая')"));
    RefreshDataSet(w.data.tGroup);
    freshBoxes();
    showPage(w, "tshTrading");
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        d.cboGroup->setCurrentIndex(d.cboGroup->findText(QStringLiteral("Пустая")));
        buyTen(d);
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выставлено 0 заявок.")});
    QVERIFY(w.log.lines().join('\n').contains(QStringLiteral("\"Пустая\"   ...")));
}

void TestOrders::countMessageAgreesWithTheCount_data()
{
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<QString>("told");
    QTest::newRow("1") << QStringList{"10001"} << "Выставлено 1 заявка.";
    QTest::newRow("2") << QStringList{"10001", "20002"} << "Выставлено 2 заявки.";
    QTest::newRow("4") << QStringList{"10001", "10002", "20001", "20002"} << "Выставлено 4 заявки.";
    QTest::newRow("5") << QStringList{"10001", "10002", "10003", "20001", "20002"} << "Выставлено 5 заявок.";
}

// The count message says how many transactions were formed, the noun
// agreeing with the number.
void TestOrders::countMessageAgreesWithTheCount()
{
    QFETCH(QStringList, members);
    QFETCH(QString, told);
    Window w(1);
    // Every client of the workspace follows the robot.
    execOnDatabase(w.paths.quikData, QStringLiteral("UPDATE tClients SET Active = 1"));
    execOnDatabase(w.paths.quikData, QStringLiteral("INSERT INTO tGroup (\"group\") VALUES ('Счетная')"));
    for (const QString &code : members)
        execOnDatabase(w.paths.quikData,
                       QStringLiteral("INSERT INTO tGroupClients (id_group, id_client) SELECT g.id_group, c.id FROM tGroup g, tClients c "
                                      "WHERE g.\"group\" = 'Счетная' AND c.Code = :code"),
                       {{QStringLiteral("code"), code}});
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    QVERIFY(w.data.tParam.Locate(QStringLiteral("seccode"), QStringLiteral("SBER")));
    const int linesBefore = triLines(w.paths.trans).size();
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        d.cboGroup->setCurrentIndex(d.cboGroup->findText(QStringLiteral("Счетная")));
        buyTen(d);
    });
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore + members.size());
    QCOMPARE(boxTexts(), QStringList{told});
}

void TestOrders::failedDispatchShowsNoCount()
{
    Window w(1);
    w.connectNow();
    freshBoxes();
    showPage(w, "tshTrading");
    // The terminal list cannot be read: the dispatch stops before any
    // client; the failure is shown, no count.
    execOnDatabase(w.paths.quikData, QStringLiteral("ALTER TABLE tQuik RENAME TO tQuikAway"));
    const int linesBefore = triLines(w.paths.trans).size();
    OnDialog answer(*w.main->order(), buyTen);
    w.main->NewManualOrder(TfmMain::OrderSender::NewOrderCommand);
    QCOMPARE(answer.shown, 1);
    QTRY_VERIFY(!Dialogs::asked().isEmpty());
    for (const QString &text : boxTexts())
        QVERIFY2(!text.startsWith(QStringLiteral("Выставлено")), qPrintable(text));
    QCOMPARE(Dialogs::asked().last().kind, Dialogs::Kind::Error);
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore);
}

void TestOrders::quickForm_data()
{
    QTest::addColumn<bool>("isLong");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("box"); // the button's box, as typed
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<QString>("orderType");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("qtyMode");
    QTest::addColumn<double>("share");
    QTest::addColumn<double>("priceFactor"); // of the offer; 0: no price set
    QTest::newRow("long, volume 1") << true << "btnVol1" << "30" << false << "LE" << "B" << "СЧЕТА" << 30.0 << 1.002;
    QTest::newRow("short, volume 2, sold from the offer") << false << "btnVol2" << "20" << false << "SE" << "S" << "СЧЕТА" << 20.0 << 0.998;
    QTest::newRow("short, part 2") << false << "btnPart2" << "50" << false << "SX" << "B" << "ПОЗИЦИИ" << 50.0 << 1.002;
    QTest::newRow("long, part 1") << true << "btnPart1" << "100" << false << "LX" << "S" << "ПОЗИЦИИ" << 100.0 << 0.998;
    QTest::newRow("volume box 0 asks") << true << "btnVol3" << "0" << true << "LE" << "B" << "СЧЕТА" << 0.0 << 1.002;
    QTest::newRow("open asks") << false << "btnOpen" << "" << true << "SE" << "" << "" << 0.0 << 0.0;
    QTest::newRow("set share asks") << false << "btnSet" << "10" << true << "LE" << "" << "УСТАН.ПОЗИЦИЮ" << 10.0 << 0.0;
    QTest::newRow("bid double click") << true << "lbid" << "" << true << "SE" << "" << "" << 0.0 << 0.0;
}

void TestOrders::quickForm()
{
    QFETCH(bool, isLong);
    QFETCH(QString, button);
    QFETCH(QString, box);
    QFETCH(bool, dialog);
    QFETCH(QString, orderType);
    QFETCH(QString, operation);
    QFETCH(QString, qtyMode);
    QFETCH(double, share);
    QFETCH(double, priceFactor);
    Window w;
    w.connectNow();
    freshBoxes();
    TfmQOrders *form = w.main->quickOrders();
    w.action("actQOrders")->trigger();
    QVERIFY(form->isVisible());
    (isLong ? form->btnLOng : form->btnShort)->click();
    QVERIFY(form->btnLOng->font().bold() == isLong);
    form->cboGroup->setCurrentIndex(0);
    form->edtSlippage->setText(QStringLiteral("0,2"));
    const QHash<QString, QLineEdit *> boxes{{"btnVol1", form->edtVol1}, {"btnVol2", form->edtVol2}, {"btnVol3", form->edtVol3},
                                            {"btnPart1", form->edtPart1}, {"btnPart2", form->edtPart2}, {"btnSet", form->edtSet}};
    if (boxes.contains(button))
        boxes[button]->setText(box);
    const int linesBefore = triLines(w.paths.trans).size();
    QString dialogPrice, dialogType, dialogQty;
    bool dialogSell = false;
    OnDialog answer(*w.main->order(), [&](TfmOrder &d) {
        dialogPrice = d.edtPrice->text();
        dialogType = d.cboTypeQty->currentText();
        dialogQty = d.edtQty->text();
        dialogSell = d.rbSell->isChecked();
        d.btCancel->click();
    });
    if (button == QLatin1String("lbid"))
        QTest::mouseDClick(form->lbid, Qt::LeftButton);
    else
        form->findChild<QPushButton *>(button)->click();

    const TPreOrder &P = form->PreOrder;
    const double offer = w.data.tParam.FieldByName(QStringLiteral("offer")).toDouble();
    QCOMPARE(QString(P.OrderType), orderType);
    QCOMPARE(QString(P.Operation), operation);
    QCOMPARE(QuantityModeText(P.QtyMode), qtyMode);
    QCOMPARE(P.Share, share);
    if (priceFactor > 0)
        QVERIFY2(qAbs(P.Price - offer * priceFactor) < 1e-9, qPrintable(QString::number(P.Price)));
    QCOMPARE(answer.shown, dialog ? 1 : 0);
    if (dialog) {
        QCOMPARE(triLines(w.paths.trans).size(), linesBefore); // Отмена: nothing
        QVERIFY(boxTexts().isEmpty());
        if (button == QLatin1String("lbid")) {
            // The bid itself, no slippage; type accounts, quantity 0.
            TSecData sec;
            sec.Digits = w.data.tParam.FieldByName(QStringLiteral("Digits")).toInt();
            sec.MinMov = w.data.tParam.FieldByName(QStringLiteral("MinMov")).toDouble();
            QCOMPARE(dialogPrice, FormatOrderPrice(sec, w.data.tParam.FieldByName(QStringLiteral("bid")).toDouble()));
            QVERIFY(dialogSell);
            QCOMPARE(dialogType, QStringLiteral("СЧЕТА"));
            QCOMPARE(dialogQty, QStringLiteral("0"));
        }
        if (button == QLatin1String("btnSet")) {
            QCOMPARE(dialogType, QStringLiteral("УСТАН.ПОЗИЦИЮ"));
            QCOMPARE(dialogQty, QStringLiteral("10"));
        }
    } else {
        QCOMPARE(triLines(w.paths.trans).size(), linesBefore + 1);
        QCOMPARE(boxTexts(), QStringList{QStringLiteral("Выставлено 1 заявка.")});
        QCOMPARE(Dialogs::asked().size(), 1);
    }
}

void TestOrders::quickFormChecks_data()
{
    QTest::addColumn<QString>("spoil"); // what the operator leaves wrong
    QTest::addColumn<QStringList>("told");
    QTest::newRow("no direction") << "direction" << QStringList{"Выберите направление операции!"};
    QTest::newRow("a box that is no number") << "box" << QStringList{"Неверный ввод чисел!"};
    QTest::newRow("no group") << "group" << QStringList{"Выберите группу клиентов!"};
    QTest::newRow("no offer, no confirmation") << "offer" << QStringList{"Нет цены предложения по инструменту SBER: заявки не выставлены."};
}

void TestOrders::quickFormChecks()
{
    QFETCH(QString, spoil);
    QFETCH(QStringList, told);
    Window w;
    w.connectNow();
    if (spoil == QLatin1String("offer")) {
        execOnDatabase(w.paths.quikData, QStringLiteral("UPDATE tParam SET offer = 0 WHERE seccode = 'SBER'"));
        RefreshDataSet(w.data.tParam);
    }
    QVERIFY(w.data.tParam.Locate(QStringLiteral("seccode"), QStringLiteral("SBER")));
    freshBoxes();
    TfmQOrders *form = w.main->quickOrders();
    w.action("actQOrders")->trigger();
    if (spoil != QLatin1String("direction"))
        form->btnLOng->click();
    form->cboGroup->setCurrentIndex(spoil == QLatin1String("group") ? -1 : 0);
    if (spoil == QLatin1String("group"))
        form->cboGroup->setEditText(QString());
    if (spoil == QLatin1String("box"))
        form->edtPart3->setText(QStringLiteral("треть")); // a box the button does not use
    const int linesBefore = triLines(w.paths.trans).size();
    OnDialog answer(*w.main->order(), [](TfmOrder &d) { d.btCancel->click(); });
    form->btnVol1->click();
    QCOMPARE(answer.shown, 0);
    QCOMPARE(boxTexts(), told);
    QCOMPARE(triLines(w.paths.trans).size(), linesBefore);
}

// The form's group box lists the groups as they are, from the connection on
// and after every change made in the groups editor, and starts on the
// options' default group.
void TestOrders::quickFormFollowsTheGroups()
{
    Window w(1);
    const int futures = queryDatabase(w.paths.quikData, QStringLiteral("SELECT id_group FROM tGroup WHERE \"group\" = 'Фьючерсы'"))
                            .value(0)
                            .value(QStringLiteral("id_group"))
                            .toInt();
    QVERIFY(futures > 0);
    w.settings.cboGroup = futures;
    TfmQOrders *form = w.main->quickOrders();
    QComboBox *box = form->cboGroup;
    auto listed = [box] {
        QStringList out;
        for (int i = 0; i < box->count(); ++i)
            out << box->itemText(i);
        return out;
    };
    QCOMPARE(box->count(), 0); // nothing connected yet
    w.connectNow();
    QCOMPARE(listed(), (QStringList{"Основная", "Фьючерсы"}));
    QCOMPARE(box->currentText(), QStringLiteral("Фьючерсы"));
    QCOMPARE(form->groupKey(), futures);

    // The operator picks another group; groups added, renamed and deleted
    // in the editor show at once, the choice kept.
    box->setCurrentIndex(box->findText(QStringLiteral("Основная")));
    const int main = form->groupKey();
    QCoreApplication::processEvents();
    Dialogs::setResponder([](const Dialogs::Request &) { return Dialogs::Answer{QMessageBox::Yes, QString()}; });
    TfmGroup *editor = w.main->groups();
    w.action("actGroup")->trigger();
    DataSet &groups = w.data.tGroup;
    editor->nbGroup->click(NavigatorBar::Insert);
    groups.setFieldValue(QStringLiteral("group"), QStringLiteral("Новая"));
    editor->nbGroup->click(NavigatorBar::Post);
    QCOMPARE(listed(), (QStringList{"Основная", "Фьючерсы", "Новая"}));
    QCOMPARE(form->groupKey(), main);
    QVERIFY(groups.Locate(QStringLiteral("id_group"), main));
    groups.setFieldValue(QStringLiteral("group"), QStringLiteral("Главная"));
    editor->nbGroup->click(NavigatorBar::Post);
    QCOMPARE(listed(), (QStringList{"Главная", "Фьючерсы", "Новая"}));
    QCOMPARE(box->currentText(), QStringLiteral("Главная"));
    QCOMPARE(form->groupKey(), main);
    QVERIFY(groups.Locate(QStringLiteral("group"), QStringLiteral("Новая")));
    editor->nbGroup->click(NavigatorBar::Delete);
    QCOMPARE(listed(), (QStringList{"Главная", "Фьючерсы"}));
    QCOMPARE(form->groupKey(), main);

    // A chosen group that is deleted leaves the box empty: no other group
    // is put in its place for orders sent without a confirmation.
    QVERIFY(groups.Locate(QStringLiteral("id_group"), main));
    editor->nbGroup->click(NavigatorBar::Delete);
    QCOMPARE(listed(), QStringList{"Фьючерсы"});
    QCOMPARE(box->currentText(), QString());
    QCOMPARE(form->groupKey(), -1);
    // An empty box takes the default group at the next change.
    editor->nbGroup->click(NavigatorBar::Insert);
    groups.setFieldValue(QStringLiteral("group"), QStringLiteral("Еще одна"));
    editor->nbGroup->click(NavigatorBar::Post);
    QCOMPARE(listed(), (QStringList{"Фьючерсы", "Еще одна"}));
    QCOMPARE(form->groupKey(), futures);
}

void TestOrders::quickFormShowsTheQuote_data()
{
    QTest::addColumn<QString>("security");
    QTest::addColumn<QString>("bid");
    QTest::addColumn<QString>("offer");
    // The quotes' decimals of each security (SBER 2, LKOH 1, VTBR 3, RIZ6 0),
    // thousands separated, as the quotes grid shows them.
    const QString g = QLocale(QLocale::Russian, QLocale::Russia).groupSeparator();
    QTest::newRow("2 decimals") << "SBER" << "285,10" << "285,15";
    QTest::newRow("1 decimal, thousands") << "LKOH" << "6" + g + "850,0" << "6" + g + "851,5";
    QTest::newRow("3 decimals") << "VTBR" << "91,105" << "91,110";
    QTest::newRow("no decimals") << "RIZ6" << "110" + g + "250" << "110" + g + "260";
}

// The form's bid and offer are those of the security chosen, written as the
// quotes grid writes them.
void TestOrders::quickFormShowsTheQuote()
{
    QFETCH(QString, security);
    QFETCH(QString, bid);
    QFETCH(QString, offer);
    Window w;
    w.connectNow();
    TfmQOrders *form = w.main->quickOrders();
    w.action("actQOrders")->trigger();
    const int at = form->cboSecCode->findData(security);
    QVERIFY(at >= 0);
    form->cboSecCode->setCurrentIndex(at);
    emit form->cboSecCode->activated(at);
    QCOMPARE(w.data.tParam.FieldByName(QStringLiteral("seccode")).toString(), security);
    QCOMPARE(form->lbid->text(), bid);
    QCOMPARE(form->loffer->text(), offer);
    DataGrid *quotes = w.main->grid(QStringLiteral("grdQoutes"));
    QCOMPARE(quotes->model()->text(w.data.tParam.currentRow(), quotes->model()->columnOf(QStringLiteral("bid"))), bid);
}

QTEST_MAIN(TestOrders)
#include "tst_gui_orders.moc"
