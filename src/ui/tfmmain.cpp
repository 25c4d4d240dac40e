#include "tfmmain.h"

#include "activitypage.h"
#include "activityreport.h"
#include "datagrid.h"
#include "dialogs.h"
#include "helpwindow.h"
#include "logview.h"
#include "reconcilepage.h"
#include "tfmabout.h"
#include "tfmcheck.h"
#include "tfmclients.h"
#include "tfmopt.h"
#include "tfmorder.h"
#include "tfmqorders.h"
#include "engine/untrade.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/plural.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/views.h"
#include "engine/robot.h"
#include "gateway/results.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

namespace {

QIcon icon(const char *name) { return QIcon(QStringLiteral(":/icons/") + QLatin1String(name) + QStringLiteral(".svg")); }

QAction *makeAction(QObject *owner, const char *name, const QString &caption, const QString &hint, const char *iconName = nullptr)
{
    auto *a = new QAction(caption, owner);
    a->setObjectName(QLatin1String(name));
    // The hint shows by the pointer; the status bar keeps its panels.
    if (!hint.isEmpty())
        a->setToolTip(hint);
    if (iconName)
        a->setIcon(icon(iconName));
    return a;
}

// How long ago, as the operator reads it: seconds under a minute, then
// minutes, hours and minutes, days and hours.
QString agoText(qint64 secs)
{
    if (secs < 60)
        return QString::number(secs) + QStringLiteral(" сек");
    const qint64 minutes = secs / 60;
    if (minutes < 60)
        return QString::number(minutes) + QStringLiteral(" мин");
    const qint64 hours = minutes / 60;
    if (hours < 24) {
        QString text = QString::number(hours) + QStringLiteral(" ч");
        if (minutes % 60)
            text += QLatin1Char(' ') + QString::number(minutes % 60) + QStringLiteral(" мин");
        return text;
    }
    QString text = QString::number(hours / 24) + QStringLiteral(" дн");
    if (hours % 24)
        text += QLatin1Char(' ') + QString::number(hours % 24) + QStringLiteral(" ч");
    return text;
}

// A strategy order taken from its grid to be sent again goes out at its own
// price, however long ago that was. One older than a minute, or of no known
// time, is put to the operator first; `at` is when it was filled (placed, for
// an active order). Empty when there is nothing to ask.
QString resendQuestion(const TPreOrder &P, const QDateTime &at)
{
    const qint64 age = at.isValid() ? at.secsTo(QDateTime::currentDateTime()) : -1;
    if (at.isValid() && age <= 60)
        return QString();
    double price = P.FillPrice;
    if (!P.Filled) {
        TOrder O;
        try {
            ParseOrderText(O, P);
            price = O.Price;
        } catch (const std::exception &) {
            price = 0; // a text that cannot be read: its price is not known
        }
    }
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    QString text = QStringLiteral("Ордер # ") + QString::number(P.Id)
                   + (P.Filled ? QStringLiteral(" исполнен ") : QStringLiteral(" выставлен "))
                   + (at.isValid() ? agoText(age) + QStringLiteral(" назад") : QStringLiteral("в неизвестное время"));
    if (price != 0)
        text += QStringLiteral(" по цене ") + locale.toString(price, 'f', QLocale::FloatingPointShortest);
    return text + QStringLiteral(". Отправить его клиентам еще раз?");
}

// A quote price with its instrument's decimals.
GridColumn priceColumn(const char *field, const char *caption)
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    const QString f = c.field;
    c.text = [f](const DataSet &d, int row) {
        const int digits = d.fieldIndex(QStringLiteral("Digits"));
        return FormatPrice(d.value(row, f), digits < 0 ? QVariant() : d.value(row, digits));
    };
    return c;
}

// A price of a row that names its security without carrying its decimals:
// by its name in the quotes (the terminals' orders and trades) or by the
// strategy platform's ticker (the alert tables). Shown with the security's
// decimals, as the quotes grid shows it.
enum class NamedBy { Name, Ticker };
GridColumn securityPriceColumn(const char *field, const char *caption, const PriceDigits &digits, const char *security, NamedBy by)
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    const QString f = c.field;
    const QString s = QLatin1String(security);
    const PriceDigits *known = &digits;
    c.text = [f, s, known, by](const DataSet &d, int row) {
        const int price = d.fieldIndex(f);
        const int name = d.fieldIndex(s);
        if (price < 0)
            return QString();
        const QString named = name < 0 ? QString() : d.value(row, name).toString();
        return PriceDigits::text(d.value(row, price), by == NamedBy::Ticker ? known->byTicker(named) : known->byName(named));
    };
    return c;
}

GridColumn col(const char *field, const char *caption, const char *format = nullptr)
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    if (format)
        c.format = QString::fromUtf8(format);
    return c;
}

// Two parts of a page behind a splitter, the first the larger.
QSplitter *splitPair(const char *name, Qt::Orientation orientation, QWidget *first, QWidget *second)
{
    auto *split = new QSplitter(orientation);
    split->setObjectName(QLatin1String(name));
    split->addWidget(first);
    split->addWidget(second);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    return split;
}

void fillPage(QWidget *page, QWidget *content)
{
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(content);
}

// A labelled box of the positions filter that accepts typed text.
QComboBox *filterBox(QWidget *parent, const char *name, const QString &label)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setMinimumWidth(110);
    box->setToolTip(QStringLiteral("Оставьте поле пустым, чтобы выбрать все значения"));
    box->setAccessibleName(label);
    return box;
}

// Fills a filter box from a dataset: the shown field's texts, each with its
// key; the operator's typed text stays.
void fillBox(QComboBox *box, DataSet &set, const QString &shown, const QString &key)
{
    const QString typed = box->currentText();
    box->blockSignals(true);
    box->clear();
    box->addItem(QString(), QVariant());
    const int s = set.fieldIndex(shown);
    const int k = set.fieldIndex(key);
    if (set.Active() && s >= 0)
        for (int r = 0; r < set.RecordCount(); ++r)
            box->addItem(set.value(r, s).toString(), k >= 0 ? set.value(r, k) : QVariant());
    box->setCurrentText(typed);
    box->blockSignals(false);
}

} // namespace

template <typename F>
void TfmMain::command(F &&work)
{
    m_robot.runTick(std::forward<F>(work));
}

TfmMain::TfmMain(Settings &settings, TDatMod &data, Robot &robot, QWidget *parent)
    : QMainWindow(parent), m_settings(settings), m_data(data), m_robot(robot)
{
    setObjectName(QStringLiteral("fmMain"));
    for (int i = 0; i < 4; ++i)
        m_watchIcons << QIcon(QStringLiteral(":/icons/watch%1.svg").arg(i));
    setWindowIcon(m_watchIcons[0]);

    createActions();
    createMenusAndToolbar();
    createStatusBar();
    createPages();
    createTray();
    // The day's report mailed at [Mail] ReportAt goes with its PDF attached.
    m_robot.desk().reportRenderer = ActivityReport::render;

    // The options dialog and the two editors live as long as the window.
    m_opt = new TfmOpt(m_settings, m_data, m_robot, this);
    connect(m_opt, &TfmOpt::helpRequested, this, &TfmMain::showHelp);
    connect(m_opt, &TfmOpt::connectRequested, actConnectToBase, &QAction::trigger);
    m_clients = new TfmClients(m_data, this);
    m_group = new TfmGroup(m_data, this);
    m_order = new TfmOrder(m_data, m_settings, this);
    m_qorders = new TfmQOrders(m_data, m_settings, this);
    connect(m_qorders, &TfmQOrders::orderPrepared, this, [this] { NewManualOrder(OrderSender::QuickOrders); });
    connect(this, &TfmMain::closeOrderRequested, this, [this] { NewManualOrder(OrderSender::PositionsGrid); });

    Robot &r = m_robot;
    connect(&r, &Robot::failure, this, &TfmMain::showFailure);
    // Shown once the command has returned: the timers tick on while it is open.
    connect(&r, &Robot::message, this, [this](const QString &text) { Dialogs::information(this, text); }, Qt::QueuedConnection);
    connect(&r, &Robot::beep, this, [] { QApplication::beep(); });
    connect(&r, &Robot::titleChanged, this, [this](const QString &title) {
        QApplication::setApplicationDisplayName(QString());
        setWindowTitle(title);
        if (RxTrayIcon1)
            RxTrayIcon1->setToolTip(title);
    });
    connect(&r, &Robot::watchIconChanged, this, &TfmMain::setWatchIcon);
    connect(&r, &Robot::actionsChanged, this, [this] {
        actStartWatch->setEnabled(m_robot.actStartWatchEnabled());
        actStopWatch->setEnabled(m_robot.actStopWatchEnabled());
    });
    connect(&r, &Robot::statusBarChanged, this, [this](const QStringList &panels) {
        for (int i = 0; i < panels.size() && i < m_panels.size(); ++i)
            m_panels[i]->setText(panels[i]);
        showRefusalsAndSilence();
    });
    connect(&m_data, &TDatMod::portfolioTotalsChanged, this, [this] {
        for (const TFooterValue &f : m_data.PortfolioTotals.portfolio)
            grid(QStringLiteral("grdPortfolio"))->setFooterText(f.column, f.text);
        for (const TFooterValue &f : m_data.PortfolioTotals.futures)
            grid(QStringLiteral("grdPortfolioFut"))->setFooterText(f.column, f.text);
    });
    // The lists of the positions filter follow their datasets.
    connect(&m_data.tGroup, &DataSet::opened, this, [this] { fillBox(cboGroup, m_data.tGroup, QStringLiteral("group"), QStringLiteral("id_group")); });
    connect(&m_data.qClientsByGroup, &DataSet::opened, this,
            [this] { fillBox(cboCode, m_data.qClientsByGroup, QStringLiteral("code"), QStringLiteral("id")); });
    connect(&m_data.qSecCodeList, &DataSet::opened, this,
            [this] { fillBox(cboSecCode, m_data.qSecCodeList, QStringLiteral("seccode"), QStringLiteral("seccode")); });
    // The positions' age, and a re-read that failed.
    connect(&m_data.qLimits, &DataSet::readAtChanged, this, &TfmMain::showLimitsReadAt);
    connect(&m_data.quikReader, &BackgroundReader::finished, this, [this](DataSet *query) {
        if (query == &m_data.qLimits)
            showLimitsReadAt();
    });
    showLimitsReadAt();
    // The valuations' currencies follow the quotes.
    connect(&m_data.tParam, &DataSet::readAtChanged, this, [this] { m_quotedKnown = false; });

    // The log: every line as it comes; the screen keeps the last ones.
    if (OperationLog *log = OperationLog::current()) {
        for (const QString &line : log->lines())
            m_log->appendLine(line);
        connect(log, &OperationLog::lineAdded, m_log, &LogView::appendLine);
        // The log file that cannot be written is told in the last panel.
        connect(log, &OperationLog::writeFailed, this, [this](const QString &text) { m_panels[5]->setText(text); });
        connect(log, &OperationLog::writeRecovered, this, [this] { m_panels[5]->clear(); });
    }
}

TfmMain::~TfmMain() { m_robot.desk().reportRenderer = {}; }

void TfmMain::createActions()
{
    actStartWatch = makeAction(this, "actStartWatch", QStringLiteral("Начать загрузку"), QStringLiteral("Начать загрузку"), "start-watch");
    actStopWatch = makeAction(this, "actStopWatch", QStringLiteral("Остановить загрузку"), QStringLiteral("Остановиь загрузку"), "stop-watch");
    actWatching = makeAction(this, "actWatching", QStringLiteral("actWatching"), QString());
    actCheckTRO = makeAction(this, "actCheckTRO", QStringLiteral("actCheckTRO"), QString());
    actConnectToBase = makeAction(this, "actConnectToBase", QStringLiteral("Подключиться"), QStringLiteral("Подключиться к базам данных"), "connect");
    actNewOrderManual = makeAction(this, "actNewOrderManual", QStringLiteral("Новая заявка"), QStringLiteral("Новая заявка"), "new-order");
    actNewStopOrderManual =
        makeAction(this, "actNewStopOrderManual", QStringLiteral("Новая стоп-заявка"), QStringLiteral("Новая стоп-заявка"), "new-stop-order");
    actKillOrderManual = makeAction(this, "actKillOrderManual", QStringLiteral("Снять заявку"),
                                    QStringLiteral("Снять все заявки по инструменту"), "kill-order");
    actKillStopOrderManual = makeAction(this, "actKillStopOrderManual", QStringLiteral("Снять стоп-заявку"),
                                        QStringLiteral("Снять все стоп-заявки по инструменту"), "kill-stop-order");
    actQOrders = makeAction(this, "actQOrders", QStringLiteral("Быстрые заявки"), QStringLiteral("Форма быстрых заявок"), "quick-orders");
    actClients = makeAction(this, "actClients", QStringLiteral("Клиенты"), QStringLiteral("Клиенты"), "clients");
    actGroup = makeAction(this, "actGroup", QStringLiteral("Группы клиентов ..."), QStringLiteral("Группы клиентов"), "groups");
    actOpt = makeAction(this, "actOpt", QStringLiteral("&Настройки..."), QStringLiteral("Настройки"), "options");
    actSelectLimits = makeAction(this, "actSelectLimits", QStringLiteral(" Выбрать"), QString());
    actHelpCont = makeAction(this, "actHelpCont", QStringLiteral("Вызов справки"), QStringLiteral("Справка"), "help");
    actDailyReport = makeAction(this, "actDailyReport", QStringLiteral("Дневной отчет (PDF)..."),
                                QStringLiteral("Отчет об активности за день в файл PDF"));
    connect(actDailyReport, &QAction::triggered, this, &TfmMain::actDailyReportExecute);
    actAbout = makeAction(this, "actAbout", QStringLiteral("&О программе..."), QStringLiteral("О программе..."), "about");
    actExit = makeAction(this, "actExit", QStringLiteral("&Выход"), QStringLiteral("Выход"), "exit");
    actCheckConnection = makeAction(this, "actCheckConnection", QStringLiteral("Проверка подключения"),
                                    QStringLiteral("Проверить базы, папку транзакций, терминал, клиентов и почту перед началом торговли"));
    actStartWatch->setEnabled(false);
    actStopWatch->setEnabled(false);
    actHelpCont->setShortcut(QKeySequence::HelpContents);
    // The operator's orders and the connection from the keyboard; function
    // keys, so that they work whatever the keyboard layout.
    actNewOrderManual->setShortcut(QKeySequence(Qt::Key_F2));
    actNewStopOrderManual->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F2));
    actKillOrderManual->setShortcut(QKeySequence(Qt::Key_F8));
    actKillStopOrderManual->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8));
    actConnectToBase->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F5));
    addActions({actWatching, actCheckTRO});

    connect(actStartWatch, &QAction::triggered, this, [this] { command([this] { m_robot.actStartWatchExecute(); }); });
    connect(actStopWatch, &QAction::triggered, this, [this] { command([this] { m_robot.actStopWatchExecute(); }); });
    connect(actWatching, &QAction::triggered, this, [this] { command([this] { m_robot.actWatchingExecute(); }); });
    connect(actCheckTRO, &QAction::triggered, this, [this] { command([this] { m_robot.actCheckTROExecute(); }); });
    connect(actConnectToBase, &QAction::triggered, this, &TfmMain::actConnectToBaseExecute);
    connect(actSelectLimits, &QAction::triggered, this, &TfmMain::actSelectLimitsExecute);
    connect(actHelpCont, &QAction::triggered, this, [this] { showHelp(QStringLiteral("index")); });
    connect(actAbout, &QAction::triggered, this, &TfmMain::actAboutExecute);
    connect(actOpt, &QAction::triggered, this, [this] { m_opt->execOpt(); });
    connect(actNewOrderManual, &QAction::triggered, this, [this] { NewManualOrder(OrderSender::NewOrderCommand); });
    connect(actNewStopOrderManual, &QAction::triggered, this, [this] { NewManualOrder(OrderSender::NewStopOrderCommand); });
    connect(actKillOrderManual, &QAction::triggered, this, [this] {
        m_order->setWindowTitle(TfmOrder::KillOrdersCaption);
        KillManualOrders();
    });
    connect(actKillStopOrderManual, &QAction::triggered, this, [this] {
        m_order->setWindowTitle(TfmOrder::KillStopOrdersCaption);
        KillManualOrders();
    });
    connect(actQOrders, &QAction::triggered, this, [this] {
        m_qorders->show();
        m_qorders->raise();
        m_qorders->activateWindow();
    });
    connect(actClients, &QAction::triggered, this, [this] { m_clients->exec(); });
    connect(actGroup, &QAction::triggered, this, [this] {
        m_group->show();
        m_group->raise();
        m_group->activateWindow();
    });
    connect(actExit, &QAction::triggered, this, &QWidget::close);
    connect(actCheckConnection, &QAction::triggered, this, &TfmMain::actCheckConnectionExecute);
}

void TfmMain::createMenusAndToolbar()
{
    menuBar()->setObjectName(QStringLiteral("MainMenu1"));
    QMenu *file = menuBar()->addMenu(QStringLiteral("&Файл"));
    file->setObjectName(QStringLiteral("mnuFile"));
    file->addAction(actStartWatch);
    file->addAction(actStopWatch);
    file->addSeparator();
    file->addAction(actConnectToBase);
    file->addSeparator();
    file->addAction(actExit);
    // The operator's orders, as on the toolbar and in the quotes' menu.
    QMenu *orders = menuBar()->addMenu(QStringLiteral("&Заявки"));
    orders->setObjectName(QStringLiteral("mnuOrders"));
    orders->addAction(actNewOrderManual);
    orders->addAction(actNewStopOrderManual);
    orders->addSeparator();
    orders->addAction(actKillOrderManual);
    orders->addAction(actKillStopOrderManual);
    QMenu *service = menuBar()->addMenu(QStringLiteral("&Сервис"));
    service->setObjectName(QStringLiteral("mnuService"));
    // The clients' command reads "Клиенты..." in the menu.
    auto *clientsItem = new QAction(QStringLiteral("Клиенты..."), service);
    clientsItem->setObjectName(QStringLiteral("mnuClients"));
    clientsItem->setIcon(actClients->icon());
    connect(clientsItem, &QAction::triggered, actClients, &QAction::trigger);
    connect(actClients, &QAction::changed, clientsItem, [clientsItem, this] { clientsItem->setEnabled(actClients->isEnabled()); });
    service->addAction(clientsItem);
    service->addAction(actGroup);
    service->addAction(actQOrders);
    service->addAction(actOpt);
    service->addSeparator();
    service->addAction(actCheckConnection);
    service->addAction(actDailyReport);
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Справка"));
    help->setObjectName(QStringLiteral("mnuHelp"));
    help->addAction(actHelpCont);
    help->addAction(actAbout);

    QToolBar *bar = addToolBar(QStringLiteral("ToolBar1"));
    bar->setObjectName(QStringLiteral("ToolBar1"));
    bar->setMovable(false);
    bar->setIconSize(QSize(24, 24));
    auto add = [bar](QAction *a) {
        bar->addAction(a);
        if (auto *button = qobject_cast<QToolButton *>(bar->widgetForAction(a))) {
            button->setFixedSize(40, 38);
            button->setAutoRaise(true);
        }
    };
    add(actStartWatch);
    add(actStopWatch);
    bar->addSeparator();
    add(actNewOrderManual);
    add(actKillOrderManual);
    add(actNewStopOrderManual);
    add(actKillStopOrderManual);
    add(actQOrders);
    bar->addSeparator();
    add(actClients);
    add(actGroup);
    add(actOpt);
    bar->addSeparator();
    add(actConnectToBase);
    bar->addSeparator();
    add(actExit);
    add(actHelpCont);
}

void TfmMain::createStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    const int widths[] = {150, 140, 150, 300, 50, 50};
    const QStringList texts{QStringLiteral("Подключение к Omega: Нет"), QStringLiteral("Подключение к Quik: Нет"),
                            QStringLiteral("Связь Quik с сервером: Н/Д"), QStringLiteral("Отправлено транзакций: 0/0/0"),
                            QStringLiteral("SINGLE"), QString()};
    for (int i = 0; i < 6; ++i) {
        auto *panel = new QLabel(texts[i], bar);
        panel->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(i));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        // At least the panel's width; the text is never cut short.
        panel->setMinimumWidth(widths[i]);
        bar->addWidget(panel);
        m_panels << panel;
    }
    m_panels[3]->setToolTip(QStringLiteral("Три числа через косую черту:\n"
                                           "1 — номер, который получит следующая транзакция;\n"
                                           "2 — сколько ответов терминала «передана на сервер» (статус 0) прочитано с запуска программы;\n"
                                           "3 — сколько ответов «исполнена» (статус 3) прочитано с запуска программы."));
    // The refusals and the terminals that do not answer, beside the counters.
    auto extra = [bar](const char *name, int at) {
        auto *panel = new QLabel(bar);
        panel->setObjectName(QLatin1String(name));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        bar->insertWidget(at, panel);
        return panel;
    };
    pnlRefused = extra("pnlRefused", 4);
    pnlRefused->setMinimumWidth(110);
    pnlRefused->setToolTip(QStringLiteral("Сколько транзакций отвергли терминал, сервер или биржа с запуска программы "
                                          "(ответы со статусом, кроме 0, 1 и 3). Такие транзакции выделены красным "
                                          "на странице «Отчет по транзакциям», причина — в столбце «Описание» и в журнале."));
    pnlSilence = extra("pnlSilence", 5);
    pnlSilence->setToolTip(QStringLiteral("Транзакции в файле .tri ждут ответа терминала в файле .tro дольше минуты. "
                                          "Проверьте, запущен ли импорт транзакций в квике."));
    showRefusalsAndSilence();
}

void TfmMain::showRefusalsAndSilence()
{
    const qint32 refused = m_robot.RefusedCount();
    pnlRefused->setText(QStringLiteral("Отвергнуто: ") + QString::number(refused));
    pnlRefused->setStyleSheet(refused > 0 ? QStringLiteral("color: #c00000;") : QString());
    const QStringList silent = m_robot.SilentFileSets();
    pnlSilence->setText(silent.isEmpty() ? QString()
                                         : (silent.size() == 1 ? QStringLiteral("Терминал не отвечает: ")
                                                               : QStringLiteral("Терминалы не отвечают: "))
                                               + silent.join(QStringLiteral(", ")));
    pnlSilence->setStyleSheet(QStringLiteral("color: #c00000; font-weight: bold;"));
    pnlSilence->setVisible(!silent.isEmpty());
}

DataGrid *TfmMain::addGrid(const QString &name, DataSet *dataset, const QList<GridColumn> &columns, const QString &accessibleName)
{
    auto *g = new DataGrid(dataset, columns, this);
    g->setObjectName(name);
    g->setAccessibleName(accessibleName);
    m_grids << g;
    // The terminals' views and the journal are read while a grid shows them.
    if (dataset
        && (dataset == &m_data.qPortfolioAll || dataset == &m_data.qPortfolioFutAll || dataset == &m_data.qQuikOrdersAll
            || dataset == &m_data.qTradesAll || dataset == &m_data.qLimits || dataset == &m_data.tOrderNumber))
        connect(g, &DataGrid::onScreenChanged, this, [this, dataset](bool on) { m_robot.setViewShown(*dataset, on); });
    return g;
}

DataGrid *TfmMain::grid(const QString &name) const
{
    for (DataGrid *g : m_grids)
        if (g->objectName() == name)
            return g;
    return nullptr;
}

QWidget *TfmMain::createQuotesPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshQuotes"));
    GridColumn lastChange = col("lastchange", "% изм.", "0.00");
    DataGrid *quotes = addGrid(QStringLiteral("grdQoutes"), &m_data.tParam,
                               {col("stock", "Бумага"), priceColumn("bid", "Спрос"), col("biddepth", "Кол. спрос", "### ### ### ###"),
                                priceColumn("offer", "Предл."), col("offerdepth", "Кол. предл.", "### ### ### ###"),
                                priceColumn("open", "Откр."), priceColumn("high", "Максим."), priceColumn("low", "Минимум"),
                                priceColumn("last", "Послед."), lastChange, col("voltoday", "Всего бумаг", "### ### ### ###"),
                                col("valtoday", "Оборот", "### ### ### ### ###"), priceColumn("waprice", "Срвзвес")},
                               QStringLiteral("Котировки"));
    // Through the action: only while it is enabled.
    connect(quotes, &DataGrid::doubleClicked, this, [this] {
        if (actNewOrderManual->isEnabled())
            actNewOrderManual->trigger();
    });

    auto *deals = new QGroupBox(QStringLiteral(" Заявки и сделки из квиков "));
    deals->setObjectName(QStringLiteral("gbQuikDeals"));
    DataGrid *orders = addGrid(QStringLiteral("grdQuikOrders"), &m_data.qQuikOrdersAll,
                               {col("quikname", "Квик"), col("ordertime", "Время"), col("code", "Код клиента"), col("stock", "Бумага"),
                                col("Operation", "Операция"), securityPriceColumn("price", "Цена", m_data.priceDigits, "stock", NamedBy::Name),
                                col("quantity", "Кол-во"), col("balance", "Остаток"),
                                col("status", "Статус"), col("volume", "Объем", "### ### ### ##0.00")},
                               QStringLiteral("Заявки из квиков"));
    DataGrid *trades = addGrid(QStringLiteral("grdTrades"), &m_data.qTradesAll,
                               {col("quikname", "Квик"), col("tradetime", "Время"), col("code", "Код клиента"), col("stock", "Бумага"),
                                col("Operation", "Операция"), securityPriceColumn("Price", "Цена", m_data.priceDigits, "stock", NamedBy::Name),
                                col("Quantity", "Кол-во", "### ### ###"),
                                col("volume", "Объем", "### ### ### ##0.00")},
                               QStringLiteral("Сделки из квиков"));
    auto *side = new QSplitter(Qt::Horizontal, deals);
    side->setObjectName(QStringLiteral("splDeals"));
    side->addWidget(orders);
    side->addWidget(trades);
    auto *dealsLayout = new QVBoxLayout(deals);
    dealsLayout->setContentsMargins(4, 4, 4, 4);
    dealsLayout->addWidget(side);

    fillPage(page, splitPair("splQuotes", Qt::Vertical, quotes, deals));
    return page;
}

QWidget *TfmMain::createLimitsPage()
{
    tshLimits = new QWidget;
    tshLimits->setObjectName(QStringLiteral("tshLimits"));

    auto *positions = new QGroupBox(QStringLiteral(" Позиции "));
    positions->setObjectName(QStringLiteral("gbPositions"));
    cboGroup = filterBox(positions, "cboGroup", QStringLiteral("Группа:"));
    cboCode = filterBox(positions, "cboCode", QStringLiteral("Клиенты:"));
    cboSecCode = filterBox(positions, "cboSecCode", QStringLiteral("Инструмент:"));
    chAllLimits = new QCheckBox(QStringLiteral("Показывать все лимиты"), positions);
    chAllLimits->setObjectName(QStringLiteral("chAllLimits"));
    auto *select = new QPushButton(positions);
    select->setObjectName(QStringLiteral("btnSelectLimits"));
    select->setText(actSelectLimits->text());
    connect(select, &QPushButton::clicked, actSelectLimits, &QAction::trigger);
    auto *filter = new QHBoxLayout;
    for (const auto &[label, box] : {std::pair{QStringLiteral("Группа:"), cboGroup}, std::pair{QStringLiteral("Клиенты:"), cboCode},
                                     std::pair{QStringLiteral("Инструмент:"), cboSecCode}}) {
        auto *l = new QLabel(label, positions);
        l->setBuddy(box);
        filter->addWidget(l);
        filter->addWidget(box);
    }
    filter->addWidget(chAllLimits);
    filter->addWidget(select);
    filter->addStretch();
    // How old the positions shown are: they are read again with the other
    // views of the terminals.
    lblLimitsReadAt = new QLabel(positions);
    lblLimitsReadAt->setObjectName(QStringLiteral("lblLimitsReadAt"));
    filter->addWidget(lblLimitsReadAt);
    connect(cboGroup, &QComboBox::currentTextChanged, this, &TfmMain::cboGroupChange);

    DataGrid *limits = addGrid(QStringLiteral("grdLimits"), &m_data.qLimits,
                               {col("quikname", "Квик"), col("code", "Код клиента"), col("account", "Счет"), col("seccode", "Бумага"),
                                col("openbal", "Вход. остаток", "### ### ##0"), col("currentbal", "Тек. остаток", "### ### ### ##0"),
                                col("est", "Оценка", "### ### ##0.00"), col("part", "Доля", "##0.00")},
                               QStringLiteral("Позиции"));
    auto footer = [](GridFooter::Kind kind, const char *format = "") {
        GridFooter f;
        f.kind = kind;
        f.format = QString::fromUtf8(format);
        return f;
    };
    // Only like is added to like: balances per security (money per
    // currency, as its limits name it), valuations per currency, shares of
    // assets per client.
    auto grouped = [&footer](const char *format, std::function<QString(const DataSet &, int)> key, const QString &caption) {
        GridFooter f = footer(GridFooter::Sum, format);
        f.groupBy = std::move(key);
        f.groupsCaption = caption;
        return f;
    };
    auto bySecurity = [](const DataSet &d, int row) { return d.value(row, QStringLiteral("seccode")).toString().trimmed(); };
    auto byClient = [](const DataSet &d, int row) { return d.value(row, QStringLiteral("code")).toString().trimmed(); };
    auto byCurrency = [this](const DataSet &d, int row) {
        return LimitValuationCurrency(d.value(row, QStringLiteral("seccode")).toString(), quotedSecurities());
    };
    limits->setFooter(QStringLiteral("code"), footer(GridFooter::Count));
    limits->setFooter(QStringLiteral("openbal"), grouped("### ### ### ###", bySecurity, QStringLiteral("бумаг и валют")));
    limits->setFooter(QStringLiteral("currentbal"), grouped("### ### ### ##0", bySecurity, QStringLiteral("бумаг и валют")));
    limits->setFooter(QStringLiteral("est"), grouped("### ### ##0.00", byCurrency, QStringLiteral("валют")));
    limits->setFooter(QStringLiteral("part"), grouped("0.00", byClient, QStringLiteral("клиентов")));
    // A closing order for the row, whatever the state of "Новая заявка".
    connect(limits, &DataGrid::doubleClicked, this, &TfmMain::closeOrderRequested);
    auto *positionsLayout = new QVBoxLayout(positions);
    positionsLayout->setContentsMargins(4, 4, 4, 4);
    positionsLayout->addLayout(filter);
    positionsLayout->addWidget(limits);

    DataGrid *portfolio = addGrid(
        QStringLiteral("grdPortfolio"), &m_data.qPortfolioAll,
        {col("quikname", "Квик"), col("code", "Код клиента"), col("openassets", "Вход. активы", "### ### ###.00"),
         col("shorts", "Шорты", "### ### ##0.00"), col("longs", "Лонги", "### ### ##0.00"), col("curassets", "Тек. активы", "### ### ##0.00"),
         col("openallassets", "Вход. средства", "### ### ##0.00"), col("curallassets", "Тек. средства", "### ### ##0.00"),
         col("margin", "Ур. мар.", "0.00"), col("leverage", "Плечо", "0.00"), col("curleverage", "Тек. плечо", "0.00"),
         col("change", "%", "0.00"), col("profitloss", "Прибыль/убыток", "### ### ##0.00")},
        QStringLiteral("Клиентский портфель"));
    for (const char *hidden : {"openassets", "curassets"})
        portfolio->view()->setColumnHidden(portfolio->model()->columnOf(QLatin1String(hidden)), true);
    DataGrid *futures = addGrid(QStringLiteral("grdPortfolioFut"), &m_data.qPortfolioFutAll,
                                {col("quikname", "Квик"), col("account", "Счет"), col("openlimit", "Лимит Откр. Поз.", "### ### ##0.00"),
                                 col("planlimit", "План. лимит", "### ### ##0.00"), col("usedlimit", "Тек. чист. поз.", "### ### ##0.00"),
                                 col("varmargin", "Вариац. маржа", "### ### ##0.00")},
                                QStringLiteral("Портфель по фьючерсам"));
    for (DataGrid *g : {portfolio, futures}) {
        // The footer row, filled with the totals.
        g->setFooterText(g->model()->columns().first().field, QString());
    }
    QSplitter *portfolios = splitPair("splPortfolios", Qt::Horizontal, portfolio, futures);
    fillPage(tshLimits, splitPair("splLimits", Qt::Vertical, positions, portfolios));
    return tshLimits;
}

void TfmMain::createPages()
{
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setDocumentMode(true);

    tshTrading = new QWidget;
    tshTrading->setObjectName(QStringLiteral("tshTrading"));
    pcTrading = new QTabWidget(tshTrading);
    pcTrading->setObjectName(QStringLiteral("pcTrading"));
    pcTrading->addTab(createQuotesPage(), QStringLiteral("Котировки"));
    pcTrading->addTab(createLimitsPage(), QStringLiteral("Лимиты"));
    auto *tradingLayout = new QVBoxLayout(tshTrading);
    tradingLayout->setContentsMargins(0, 0, 0, 0);
    tradingLayout->addWidget(pcTrading);
    connect(pcTrading, &QTabWidget::currentChanged, this, [this](int index) {
        if (pcTrading->widget(index) == tshLimits)
            tshLimitsEnter();
    });
    PageControl1->addTab(tshTrading, QStringLiteral("Трейдинг"));

    auto page = [this](QWidget *&field, const char *name, const QString &caption, QWidget *content) {
        field = new QWidget;
        field->setObjectName(QLatin1String(name));
        auto *l = new QVBoxLayout(field);
        l->setContentsMargins(2, 2, 2, 2);
        l->addWidget(content);
        PageControl1->addTab(field, caption);
    };

    // The robot's book can be corrected by hand: cells edited in place,
    // the rows selected deleted with Ctrl+Del.
    QList<GridColumn> bookColumns{col("code", "Код клиента"), col("symbol", "Символ"), col("Position", "Позиция"),
                                  col("quantity", "Кол-во лот"), col("System", "Стратегия"), col("Signal", "Сигнал"),
                                  col("Workspace", "Рабочая область"), col("Interval", "Интервал")};
    for (GridColumn &c : bookColumns)
        c.readOnly = false;
    m_data.tClientOpenPositions.setReadOnly(false);
    DataGrid *book = addGrid(QStringLiteral("grdClientOpenPositions"), &m_data.tClientOpenPositions, bookColumns,
                             QStringLiteral("Открытые позиции (РОБОТ)"));
    book->setMultiSelect(true);
    book->setDeleteKey(true);
    page(tshOpenPositionRobot, "tshOpenPositionRobot", QStringLiteral("Открытые позиции (РОБОТ)"), book);

    page(tshOpenPositions, "tshOpenPositions", QStringLiteral("Открытые позиции (Omega)"),
         addGrid(QStringLiteral("grdOpenPositions"), &m_data.tOpenPisitions,
                 {col("ID", "ID позиции"), col("Symbol", "Символ"), col("Description", "Описание"), col("Alert String", "Позиция"),
                  securityPriceColumn("Entry Price", "Цена входа", m_data.priceDigits, "Symbol", NamedBy::Ticker),
                  securityPriceColumn("Last", "Посл. цена", m_data.priceDigits, "Symbol", NamedBy::Ticker), col("Profit", "Прибыль"),
                  col("Entry Time", "Время входа"),
                  col("System", "Стратегия"), col("Signal", "Сигнал"), col("Workspace", "Раб. обл."), col("Interval", "Интервал"),
                  col("Position Number", "Номер позиции"), col("Order Number", "Номер заявки")},
                 QStringLiteral("Открытые позиции (Omega)")));
    page(tshActiveOrders, "tshActiveOrders", QStringLiteral("Активные ордера"),
         addGrid(QStringLiteral("grdActiveOrders"), &m_data.tActiveOrders,
                 {col("ID", "ID ордера"), col("Symbol", "Символ"), col("OrderType", "Тип ордера"), col("Order", "Ордер"),
                  securityPriceColumn("Last", "Цена посл.", m_data.priceDigits, "Symbol", NamedBy::Ticker), col("Order Number", "Номер заявки"),
                  col("Time Placed", "Время подачи"),
                  col("System", "Стратегия"), col("Signal", "Сигнал"), col("Workspace", "Раб. обл."), col("Interval", "Интервал"),
                  col("Position Number", "Номер позиции")},
                 QStringLiteral("Активные ордера")));
    page(tshFilledOrders, "tshFilledOrders", QStringLiteral("Исполненные ордера"),
         addGrid(QStringLiteral("grdFilledOrders"), &m_data.tFilledOrders,
                 {col("ID", "ID ордера"), col("Symbol", "Символ"), col("OrderType", "Тип ордера"), col("Order", "Ордер"),
                  securityPriceColumn("Fill Price", "Цена испол.", m_data.priceDigits, "Symbol", NamedBy::Ticker), col("Time Placed", "Время подачи"),
                  col("Time Filled", "Время исполн."),
                  col("System", "Стратегия"), col("Signal", "Сигнал"), col("Workspace", "Раб. область"), col("Interval", "Интервал"),
                  col("Slippage", "Прскал."), col("Order Number", "Номер заявки")},
                 QStringLiteral("Исполненные ордера")));
    page(tshCanceledOrders, "tshCanceledOrders", QStringLiteral("Снятые ордера"),
         addGrid(QStringLiteral("grdCanceledOrders"), &m_data.tCanceledOrders,
                 {col("ID", "ID ордера"), col("Symbol", "Символ"), col("OrderType", "Тип ордера"), col("Order", "Ордер"),
                  col("Order Number", "Номер заявки"), col("Time Placed", "Время подачи"), col("Time Canceled", "Время отмены"),
                  col("System", "Стратегия"), col("Signal", "Сигнал"), col("Workspace", "Раб. обл."), col("Interval", "Интервал"),
                  col("Position Number", "Номер позиции"), col("Canceled Number", "Номер заявки на отмену")},
                 QStringLiteral("Снятые ордера")));
    GridColumn filled = col("filled", "Рыночный приказ");
    filled.check = true;
    DataGrid *report = addGrid(QStringLiteral("grdTRO"), &m_data.tOrderNumber,
                               {col("code", "Код клиента"), col("trans_id", "№ транзакции"), col("id_order", "№ ордера"), filled,
                                col("trans_name", "Имя транзакции"), col("description", "Описание"),
                                col("order_number", "Номер заявки в квике"), col("status", "Статус")},
                               QStringLiteral("Отчет по транзакциям"));
    // A transaction the terminal refused stands out, its reason by the pointer.
    report->setRowLook([](const DataSet &d, int row) {
        GridRowLook look;
        const QVariant status = d.value(row, QStringLiteral("status"));
        if (status.isNull() || !IsRefusal(status.toString()))
            return look;
        look.foreground = QColor(0xc0, 0, 0);
        look.background = QColor(0xff, 0xe4, 0xe4);
        look.toolTip = QStringLiteral("Транзакция отвергнута, статус ") + status.toString() + QStringLiteral(": ")
            + d.value(row, QStringLiteral("description")).toString();
        return look;
    });
    page(tshTRO, "tshTRO", QStringLiteral("Отчет по транзакциям"), report);

    // The robot's book against the terminals, and the day's activity.
    auto *reconcile = new ReconcilePage(m_robot);
    m_grids << reconcile->grid();
    PageControl1->addTab(reconcile, QStringLiteral("Сверка"));
    PageControl1->addTab(new ActivityPage(m_robot), QStringLiteral("Активность"));

    m_log = new LogView;
    page(tshLog, "tshLog", QStringLiteral("Журнал"), m_log);

    setCentralWidget(PageControl1);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TfmMain::PageControl1Change);

    // Context menus.
    pmParam = new QMenu(this);
    pmParam->setObjectName(QStringLiteral("pmParam"));
    pmParam->addAction(actNewOrderManual);
    pmParam->addAction(actNewStopOrderManual);
    pmParam->addAction(actKillOrderManual);
    pmParam->addAction(actKillStopOrderManual);
    pmParam->addSeparator();
    QAction *load = pmParam->addAction(QStringLiteral("Загрузить/обновить данные об инструменте"));
    load->setObjectName(QStringLiteral("N19"));
    connect(load, &QAction::triggered, this, [this] { command([this] { m_robot.LoadSecurityFromQuotes(); }); });

    pmPortfolio = new QMenu(this);
    pmPortfolio->setObjectName(QStringLiteral("pmPortfolio"));
    QAction *refresh = pmPortfolio->addAction(icon("refresh"), QStringLiteral("Обновить"));
    refresh->setObjectName(QStringLiteral("N17"));
    connect(refresh, &QAction::triggered, this, [this] { command([this] { m_data.RefreshPortfolios(); }); });
    QAction *fit = pmPortfolio->addAction(icon("fit-width"), QStringLiteral("Выровнять по ширине"));
    fit->setObjectName(QStringLiteral("N24"));
    connect(fit, &QAction::triggered, this, [this] {
        for (const char *name : {"grdPortfolio", "grdPortfolioFut"}) {
            DataGrid *g = grid(QLatin1String(name));
            if (g->view()->hasFocus())
                g->setFitColumns(!g->fitColumns());
        }
    });
    // Above each grid's own commands. The quotes' commands act on the row
    // under the pointer, which the grid makes current; the portfolio grid
    // under the pointer takes the focus, so "Выровнять по ширине" acts on it.
    grid(QStringLiteral("grdQoutes"))->setContextMenu(pmParam);
    grid(QStringLiteral("grdPortfolio"))->setContextMenu(pmPortfolio);
    grid(QStringLiteral("grdPortfolioFut"))->setContextMenu(pmPortfolio);
}

void TfmMain::createTray()
{
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(actStartWatch);
    PopupMenu1->addAction(actStopWatch);
    PopupMenu1->addSeparator();
    QAction *restore = PopupMenu1->addAction(QStringLiteral("Восстановить"));
    restore->setObjectName(QStringLiteral("N3"));
    connect(restore, &QAction::triggered, this, &TfmMain::RestoreFromTray);
    QAction *exit = PopupMenu1->addAction(QStringLiteral("Выход"));
    exit->setObjectName(QStringLiteral("N6"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    RxTrayIcon1 = new QSystemTrayIcon(m_watchIcons[0], this);
    RxTrayIcon1->setObjectName(QStringLiteral("RxTrayIcon1"));
    RxTrayIcon1->setContextMenu(PopupMenu1);
    connect(RxTrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            RestoreFromTray();
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        RxTrayIcon1->show();
}

void TfmMain::HideToTray()
{
    // Without a tray to come back from, the window is only minimised.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    hide();
}

void TfmMain::RestoreFromTray()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TfmMain::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, &TfmMain::HideToTray);
}

void TfmMain::closeEvent(QCloseEvent *event)
{
    if (m_help)
        m_help->close();
    if (m_about)
        m_about->close();
    if (RxTrayIcon1)
        RxTrayIcon1->hide();
    event->accept();
    QApplication::quit();
}

void TfmMain::setWatchIcon(int index)
{
    if (index < 0 || index >= m_watchIcons.size())
        return;
    m_shownWatchIcon = index;
    setWindowIcon(m_watchIcons[index]);
    QApplication::setWindowIcon(m_watchIcons[index]);
    if (RxTrayIcon1)
        RxTrayIcon1->setIcon(m_watchIcons[index]);
}

void TfmMain::PageControl1Change()
{
    QWidget *page = PageControl1->currentWidget();
    const bool trading = page == tshTrading;
    actNewOrderManual->setEnabled((page == tshActiveOrders || page == tshFilledOrders || trading) && m_data.conOmega.isOpen());
    actKillOrderManual->setEnabled(trading);
    actNewStopOrderManual->setEnabled(trading);
    actKillStopOrderManual->setEnabled(trading);
}

void TfmMain::actConnectToBaseExecute()
{
    // Connecting starts the terminal's files afresh: the operator says so
    // first, knowing what goes.
    const QString dirTT = m_settings.edtdirTT.trimmed().isEmpty() ? QStringLiteral("(не задана)") : m_settings.edtdirTT;
    const QString dirST =
        m_settings.edtDirSmartTrade.trimmed().isEmpty() ? QStringLiteral("(не задана)") : m_settings.edtDirSmartTrade;
    const QString question =
        QStringLiteral("Подключение к базам данных начнет работу с терминалом заново:\n"
                       "• журнал транзакций tOrderNumber будет очищен;\n"
                       "• файлы транзакций (.tri, .tro, .trr) в папке ")
        + dirTT
        + QStringLiteral(" будут удалены и созданы заново пустыми;\n"
                         "• файлы заявок SmartTrade (trans_*.new) в папке ")
        + dirST
        + QStringLiteral(" будут удалены;\n"
                         "• нумерация транзакций начнется заново с ")
        + QString::number(m_settings.edtTrans_id)
        + QStringLiteral(".\n\nПосле подключения перезапустите импорт транзакций в квике.\n\nПодключиться?");
    if (!Dialogs::question(this, question, QStringLiteral("Подключиться")))
        return;
    // No guard of its own: a failure goes to the general error handler and
    // the closing message is not shown.
    command([this] { m_robot.actConnectToBaseExecute(); });
}

void TfmMain::cboGroupChange()
{
    const QString text = cboGroup->currentText().trimmed();
    std::optional<int> group;
    if (!text.isEmpty()) {
        const int at = cboGroup->findText(cboGroup->currentText());
        bool isNumber = false;
        const int key = at >= 0 ? cboGroup->itemData(at).toInt(&isNumber) : text.toInt(&isNumber);
        if (isNumber)
            group = key;
    }
    command([this, group] { m_data.FilterClientsByGroup(group); });
}

void TfmMain::actSelectLimitsExecute()
{
    QString group;
    const int at = cboGroup->findText(cboGroup->currentText());
    if (!cboGroup->currentText().trimmed().isEmpty() && at >= 0 && cboGroup->itemData(at).isValid())
        group = cboGroup->itemData(at).toString();
    const QString security = cboSecCode->currentText();
    const QString client = cboCode->currentText();
    const bool all = chAllLimits->isChecked();
    command([=, this] { m_data.SelectLimits(m_settings.accountMode(), group, client, security, all); });
}

void TfmMain::showLimitsReadAt()
{
    const DataSet &q = m_data.qLimits;
    QString text;
    if (!q.Active() || !q.readAt().isValid()) {
        text = QStringLiteral("Позиции не прочитаны");
    } else {
        const QDateTime at = q.readAt();
        text = QStringLiteral("Позиции на ")
            + (at.date() == QDate::currentDate() ? at.toString(QStringLiteral("HH:mm:ss")) : at.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")));
    }
    const bool failed = !q.lastError().isEmpty();
    if (failed)
        text += QStringLiteral(" (не обновлены)");
    lblLimitsReadAt->setText(text);
    lblLimitsReadAt->setStyleSheet(failed ? QStringLiteral("color: #c00000;") : QString());
    lblLimitsReadAt->setToolTip(failed ? QStringLiteral("Позиции не удалось прочитать заново: ") + q.lastError()
                                       : QStringLiteral("Когда позиции были прочитаны из базы QuikData; они перечитываются "
                                                        "вместе с заявками и сделками терминалов"));
}

const QSet<QString> &TfmMain::quotedSecurities() const
{
    if (!m_quotedKnown) {
        m_quoted.clear();
        const DataSet &q = m_data.tParam;
        const int code = q.fieldIndex(QStringLiteral("seccode"));
        if (q.Active() && code >= 0)
            for (int r = 0; r < q.RecordCount(); ++r)
                m_quoted.insert(q.value(r, code).toString().trimmed().toUpper());
        m_quotedKnown = true;
    }
    return m_quoted;
}

void TfmMain::tshLimitsEnter()
{
    command([this] { m_data.ReopenSecCodeList(); });
}

qint32 TfmMain::positionsFilterGroup() const
{
    const QString text = cboGroup->currentText().trimmed();
    if (text.isEmpty())
        return -1;
    const int at = cboGroup->findText(cboGroup->currentText());
    bool isNumber = false;
    const int key = at >= 0 ? cboGroup->itemData(at).toInt(&isNumber) : text.toInt(&isNumber);
    return isNumber ? key : -1;
}

void TfmMain::NewManualOrder(OrderSender sender)
{
    TPreOrder P;
    bool withDialog = false;
    QString caption = TfmOrder::NewOrderCaption;
    switch (sender) {
    case OrderSender::NewOrderCommand:
    case OrderSender::NewStopOrderCommand: {
        const bool stop = sender == OrderSender::NewStopOrderCommand;
        QWidget *page = PageControl1->currentWidget();
        DataSet *source = nullptr;
        if (page == tshTrading)
            source = &m_data.tParam;
        else if (page == tshActiveOrders)
            source = &m_data.tActiveOrders;
        else if (page == tshFilledOrders)
            source = &m_data.tFilledOrders;
        if (!source || !source->Active() || source->IsEmpty())
            return; // another page, or no row: nothing happens
        if (source == &m_data.tParam) {
            ReadQuote(P, *source);
            withDialog = true;
            if (stop)
                caption = TfmOrder::NewStopOrderCaption;
        } else {
            ReadStrategyOrder(P, *source);
            const QDateTime at = P.Filled ? P.TimeFilled : source->FieldByName(QStringLiteral("Time Placed")).toDateTime();
            const QString question = resendQuestion(P, at);
            if (!question.isEmpty() && !Dialogs::question(this, question))
                return;
        }
        break;
    }
    case OrderSender::PositionsGrid:
        if (!PreparePositionOrder(P, m_data.tParam, m_data.qLimits, positionsFilterGroup(), m_settings.cboGroup))
            return;
        withDialog = true;
        break;
    case OrderSender::QuickOrders:
        P = m_qorders->PreOrder;
        withDialog = QuickOrderNeedsDialog(P);
        break;
    }
    if (P.Kind == OrderKind::Operator && withDialog) {
        m_order->setWindowTitle(caption);
        if (P.GroupId == -1 && m_settings.cboGroup != -1)
            P.GroupId = m_settings.cboGroup;
        m_order->PreOrder = P;
        m_order->FillDialog(P, m_qorders->groupKey());
        if (!m_order->ShowOrderDialog(P))
            return;
    }
    // The count is the counter's step; a dispatch that failed shows its
    // failure instead (what it formed is in the journal and the files).
    TManualDispatch done;
    bool ran = false;
    command([&] {
        done = m_robot.dispatcher().DispatchManualOrder(P);
        ran = true;
    });
    if (!ran)
        return;
    QWidget *above = m_qorders->isVisible() ? static_cast<QWidget *>(m_qorders) : this;
    if (!done.failure.isEmpty())
        Dialogs::error(above, done.failure);
    else
        Dialogs::information(above, QStringLiteral("Выставлено ") + QString::number(done.formed) + QLatin1Char(' ')
                                        + RussianPlural(done.formed, QStringLiteral("заявка"), QStringLiteral("заявки"), QStringLiteral("заявок"))
                                        + QLatin1Char('.'));
}

void TfmMain::KillManualOrders()
{
    if (PageControl1->currentWidget() != tshTrading || !m_data.tParam.Active() || m_data.tParam.IsEmpty())
        return;
    TPreOrder P;
    ReadQuote(P, m_data.tParam);
    P.StopOrder = m_order->windowTitle() == TfmOrder::KillStopOrdersCaption;
    P.KillOrders = true;
    m_order->PreOrder = P;
    m_order->FillDialog(P, m_qorders->groupKey());
    if (!m_order->ShowOrderDialog(P))
        return;
    QString failure;
    command([&] { failure = m_robot.dispatcher().KillManualOrders(P); });
    if (!failure.isEmpty())
        Dialogs::error(this, failure);
}

void TfmMain::actDailyReportExecute()
{
    const ActivitySeries &series = m_robot.desk().activity();
    const QString proposed = QDir::current().absoluteFilePath(QStringLiteral("Korvina-report-") + series.day().toString(Qt::ISODate)
                                                              + QStringLiteral(".pdf"));
    const QString path = Dialogs::saveFileName(this, QStringLiteral("Дневной отчет"), proposed, QStringLiteral("PDF (*.pdf)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!ActivityReport::writeFile(series, path, &error)) {
        Dialogs::warning(this, QStringLiteral("Отчет не записан в ") + QDir::toNativeSeparators(path) + QStringLiteral(": ") + error,
                         QStringLiteral("Дневной отчет"));
        return;
    }
    AddLog(QStringLiteral("Дневной отчет записан: ") + QDir::toNativeSeparators(path));
}

void TfmMain::actAboutExecute()
{
    if (!m_about)
        m_about = new TfmAbout(this);
    m_about->setLinks(m_settings.aboutMail, m_settings.aboutWeb);
    m_about->setCounters(QString::number(m_robot.TransId()) + QLatin1Char('/') + QString::number(m_robot.SentCount()) + QLatin1Char('/')
                         + QString::number(m_robot.DoneCount()));
    m_about->show();
    m_about->raise();
}

void TfmMain::actCheckConnectionExecute()
{
    if (!m_check)
        m_check = new TfmCheck(m_settings, this);
    m_check->show();
    m_check->raise();
    m_check->activateWindow();
    m_check->runCheck();
}

void TfmMain::showHelp(const QString &topic)
{
    if (!m_help)
        m_help = new HelpWindow(this);
    // A modal dialog (the options) blocks every window but its own: the
    // guide asked for from it belongs to it while it is open, and comes back
    // to the main window, still open, when it closes.
    QWidget *modal = QApplication::activeModalWidget();
    QWidget *owner = modal && modal != m_help->window() ? modal : this;
    if (m_help->parentWidget() != owner) {
        const QRect where = m_help->geometry();
        const bool shown = m_help->isVisible();
        m_help->setParent(owner, Qt::Window);
        if (shown)
            m_help->setGeometry(where);
        if (auto *dialog = qobject_cast<QDialog *>(owner))
            connect(dialog, &QDialog::finished, m_help, [this, dialog] {
                if (m_help->parentWidget() != dialog)
                    return;
                const bool shown = m_help->isVisible();
                const QRect where = m_help->geometry();
                m_help->setParent(this, Qt::Window);
                if (shown) {
                    m_help->setGeometry(where);
                    m_help->show();
                }
            }, Qt::SingleShotConnection);
    }
    m_help->showTopic(topic);
}

void TfmMain::showFailure(const QString &text) { Dialogs::error(this, text); }
