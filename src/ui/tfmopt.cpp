#include "tfmopt.h"

#include "config/korvinaerror.h"
#include "config/settings.h"
#include "data/databaseaddress.h"
#include "data/datmod.h"
#include "data/terminaltables.h"
#include "datagrid.h"
#include "dialogs.h"
#include "engine/robot.h"
#include "monitor/mailoutcome.h"
#include "navigatorbar.h"

#include <QButtonGroup>
#include <cmath>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

GridColumn column(const char *field, const char *caption, bool check = false, const char *format = nullptr)
{
    GridColumn c;
    c.field = QLatin1String(field);
    c.caption = QString::fromUtf8(caption);
    c.readOnly = false;
    c.check = check;
    if (format)
        c.format = QString::fromUtf8(format);
    return c;
}

QGroupBox *group(const char *name, const QString &caption)
{
    auto *g = new QGroupBox(caption);
    g->setObjectName(QLatin1String(name));
    return g;
}

QString numberText(double v)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return std::isnan(v) ? QString() : locale.toString(v, 'g', 15);
}

// The path column of the terminal grid: typed, or chosen with its button.
class PathDelegate : public QStyledItemDelegate {
public:
    PathDelegate(TfmOpt *dialog, QObject *parent) : QStyledItemDelegate(parent), m_dialog(dialog) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        auto *w = new QWidget(parent);
        w->setAutoFillBackground(true);
        auto *l = new QHBoxLayout(w);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
        auto *e = new QLineEdit(w);
        e->setObjectName(QStringLiteral("pathEditor"));
        e->setFrame(false);
        auto *b = new QToolButton(w);
        b->setObjectName(QStringLiteral("btPath"));
        b->setText(QStringLiteral("..."));
        b->setToolTip(QStringLiteral("Укажите путь к EXE-файлу терминала"));
        l->addWidget(e);
        l->addWidget(b);
        w->setFocusProxy(e);
        TfmOpt *dialog = m_dialog;
        QObject::connect(b, &QToolButton::clicked, dialog, [dialog] { dialog->choosePath(); });
        return w;
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        editor->findChild<QLineEdit *>()->setText(index.data(Qt::EditRole).toString());
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        const QString text = editor->findChild<QLineEdit *>()->text();
        if (text != index.data(Qt::EditRole).toString())
            model->setData(index, text, Qt::EditRole);
    }

private:
    TfmOpt *m_dialog;
};

} // namespace

TfmOpt::TfmOpt(Settings &settings, TDatMod &data, Robot &robot, QWidget *parent)
    : QDialog(parent), m_settings(settings), m_data(data), m_robot(robot)
{
    setObjectName(QStringLiteral("fmOpt"));
    setWindowTitle(QStringLiteral("Настройки"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    for (DataSet *ds : {&m_data.tSecCode, &m_data.tWorkSpaces, &m_data.tStrategy, &m_data.tQuik})
        ds->setReadOnly(false);

    pcOpt = new QTabWidget(this);
    pcOpt->setObjectName(QStringLiteral("pcOpt"));
    pcOpt->addTab(createGeneralPage(), QStringLiteral("Общие"));
    pcOpt->addTab(createTerminalsPage(), QStringLiteral("Терминалы"));
    pcOpt->addTab(createTradingPage(), QStringLiteral("Торговля"));
    pcOpt->addTab(createMessagesPage(), QStringLiteral("Сообщения"));
    pcOpt->addTab(createInstrumentsPage(), QStringLiteral("Инструменты"));
    pcOpt->addTab(createFiltersPage(), QStringLiteral("Фильтры"));

    auto button = [this](QPushButton *&field, const char *name, const QString &caption) {
        field = new QPushButton(caption, this);
        field->setObjectName(QLatin1String(name));
        return field;
    };
    auto *bar = new QHBoxLayout;
    bar->addWidget(button(btHelp, "btHelp", QStringLiteral("&Справка")));
    bar->addStretch();
    bar->addWidget(button(btOK, "btOK", QStringLiteral("OK")));
    bar->addWidget(button(btCancel, "btCancel", QStringLiteral("Отмена")));
    btOK->setDefault(true);
    connect(btHelp, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("settings")); });
    connect(btOK, &QPushButton::clicked, this, &TfmOpt::accept);
    connect(btCancel, &QPushButton::clicked, this, &TfmOpt::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pcOpt);
    layout->addLayout(bar);
    setFixedSize(880, 540);

    // A terminal row changed while the dialog is open: the terminal list
    // the robot built at start-up is out of date.
    for (auto signal : {&DataSet::posted, &DataSet::deleted})
        connect(&m_data.tQuik, signal, this, [this] {
            if (isVisible())
                QuikListChanged = true;
        });
    connect(&m_data, &TDatMod::sumListChanged, this, &TfmOpt::UpdateSumList);
    UpdateSumList();
    fillControls();
}

QLineEdit *TfmOpt::edit(const char *name)
{
    auto *e = new QLineEdit;
    e->setObjectName(QLatin1String(name));
    return e;
}

QCheckBox *TfmOpt::check(const char *name, const QString &caption)
{
    auto *c = new QCheckBox(caption);
    c->setObjectName(QLatin1String(name));
    return c;
}

QGroupBox *TfmOpt::radioGroup(const char *name, const QString &caption, const QStringList &items, QButtonGroup **buttons)
{
    QGroupBox *box = group(name, caption);
    *buttons = new QButtonGroup(box);
    (*buttons)->setObjectName(QLatin1String(name));
    auto *l = new QVBoxLayout(box);
    for (int i = 0; i < items.size(); ++i) {
        auto *r = new QRadioButton(items[i], box);
        r->setObjectName(QLatin1String(name) + QLatin1Char('_') + QString::number(i));
        (*buttons)->addButton(r, i);
        l->addWidget(r);
    }
    return box;
}

QWidget *TfmOpt::pathEdit(QLineEdit *e, bool folder, const QString &caption)
{
    auto *w = new QWidget;
    auto *l = new QHBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(2);
    auto *b = new QToolButton;
    b->setObjectName(e->objectName() + QStringLiteral("Button"));
    b->setText(QStringLiteral("..."));
    b->setToolTip(caption);
    l->addWidget(e);
    l->addWidget(b);
    connect(b, &QToolButton::clicked, this, [this, e, folder, caption] {
        const QString start = folder ? e->text() : QFileInfo(e->text()).absolutePath();
        const QString chosen = folder ? Dialogs::existingFolder(this, caption, start) : Dialogs::openFileName(this, caption, start);
        if (!chosen.isEmpty())
            e->setText(QDir::toNativeSeparators(chosen));
    });
    return w;
}

QWidget *TfmOpt::createGeneralPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshGeneral"));

    QGroupBox *size = radioGroup("rgpPositionSize", QStringLiteral(" Размер позиции "),
                                 {QStringLiteral("Кол-во из Omega Research"), QStringLiteral("Фиксированная сумма (руб.)"),
                                  QStringLiteral("Доля счета (%)"), QStringLiteral("Сумма по бумаге "), QStringLiteral("Доля счета по бумаге")},
                                 &rgpPositionSize);
    // The sum and the share stand beside their items.
    auto *sizeLayout = static_cast<QVBoxLayout *>(size->layout());
    edtFixVol = edit("edtFixVol");
    edtPart = edit("edtPart");
    for (auto [item, field] : {std::pair{1, edtFixVol}, std::pair{2, edtPart}}) {
        auto *row = new QHBoxLayout;
        QWidget *radio = rgpPositionSize->button(item);
        sizeLayout->removeWidget(radio);
        row->addWidget(radio);
        row->addWidget(field);
        field->setMaximumWidth(110);
        field->setAccessibleName(static_cast<QRadioButton *>(radio)->text());
        sizeLayout->insertLayout(item, row);
    }

    QGroupBox *orders = group("gbOrders", QStringLiteral(" Выставление ордеров "));
    auto *ordersLayout = new QVBoxLayout(orders);
    ordersLayout->addWidget(chExitQty = check("chExitQty", QStringLiteral("Точное закрытие позиции")));
    ordersLayout->addWidget(chKillOrder = check("chKillOrder", QStringLiteral("Отмена ордеров вручную")));
    QGroupBox *filled = radioGroup("rgpFilled", QString(),
                                   {QStringLiteral("Выставлять ордера заранее (табл. ActiveOrders)"),
                                    QStringLiteral("Выставлять рыночные ордера (табл. FilledOrders)")},
                                   &rgpFilled);
    filled->setEnabled(false); // market orders from FilledOrders only
    ordersLayout->addWidget(filled);

    QGroupBox *mode = radioGroup("rgpSingleMulti", QStringLiteral(" Режим работы "),
                                 {QStringLiteral("Торговля по ОДНОМУ СЧЕТУ"), QStringLiteral("Торговля по ГРУППЕ СЧЕТОВ клиентов")},
                                 &rgpSingleMulti);
    QGroupBox *terminal = radioGroup("rgpTerminal", QStringLiteral(" Торговый терминал "),
                                     {QStringLiteral("QUIK"), QStringLiteral("SmartTrade")}, &rgpTerminal);

    QGroupBox *common = group("gbCommon", QStringLiteral(" Общие "));
    auto *commonLayout = new QFormLayout(common);
    edtTrans_id = edit("edtTrans_id");
    edtTrans_id->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,9}")), edtTrans_id));
    commonLayout->addRow(QStringLiteral("Старт TRANS_ID:"), edtTrans_id);
    commonLayout->addRow(chAutoPortfolio = check("chAutoPortfolio", QStringLiteral("Обновлять портфели")));

    QGroupBox *refresh = group("gbRefresh", QStringLiteral(" Обновление данных "));
    auto *refreshLayout = new QFormLayout(refresh);
    refreshLayout->addRow(QStringLiteral("Интервал обновления данных Омеги (сек.):"), edtIntTable = edit("edtIntTable"));
    refreshLayout->addRow(QStringLiteral("Интервал обновления данных Квика (сек.):"), edtIntQuik = edit("edtIntQuik"));

    auto *grid = new QGridLayout(page);
    grid->addWidget(size, 0, 0);
    grid->addWidget(orders, 0, 1);
    grid->addWidget(mode, 1, 0);
    grid->addWidget(terminal, 1, 1);
    grid->addWidget(common, 2, 0);
    grid->addWidget(refresh, 2, 1);
    grid->setRowStretch(3, 1);
    return page;
}

QWidget *TfmOpt::createTerminalsPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshTerminals"));

    auto *paths = new QFormLayout;
    edtdirTT = edit("edtdirTT");
    edtInfoLog = edit("edtInfoLog");
    edtDirSmartTrade = edit("edtDirSmartTrade");
    paths->addRow(QStringLiteral("Путь к файлам транзакций:"), pathEdit(edtdirTT, true, QStringLiteral("Путь к файлам транзакций")));
    paths->addRow(QStringLiteral("Путь к файлу info.log:"), pathEdit(edtInfoLog, false, QStringLiteral("Путь к файлу info.log")));
    paths->addRow(QStringLiteral("Путь к файлам для SmartTrade:"),
                  pathEdit(edtDirSmartTrade, true, QStringLiteral("Путь к файлам для SmartTrade")));
    paths->addRow(QStringLiteral("Номер счета на ММВБ:"), edtAccountMicex = edit("edtAccountMicex"));
    paths->addRow(QStringLiteral("Номер счета на FORTS:"), edtAccountFORTS = edit("edtAccountFORTS"));
    paths->addRow(QStringLiteral("Код/портфель клиента:"), edtCode = edit("edtCode"));
    chQuikConnect = check("chQuikConnect", QStringLiteral("Проверять связь Quik`а с сервером через (сек.):"));
    edtQuikConnectTimeOut = edit("edtQuikConnectTimeOut");
    edtQuikConnectTimeOut->setAccessibleName(chQuikConnect->text());
    edtQuikConnectTimeOut->setMaximumWidth(80);
    auto *link = new QHBoxLayout;
    link->addWidget(chQuikConnect);
    link->addWidget(edtQuikConnectTimeOut);
    link->addStretch();
    paths->addRow(link);

    QGroupBox *bases = group("gbData", QStringLiteral(" Данные "));
    auto *basesLayout = new QFormLayout(bases);
    edtAlerts = edit("edtAlerts");
    edtQuikData = edit("edtQuikData");
    basesLayout->addRow(QStringLiteral("База данных Omega Research Alerts:"),
                        pathEdit(edtAlerts, false, QStringLiteral("База данных Omega Research Alerts")));
    basesLayout->addRow(QStringLiteral("База данных QuikData:"), pathEdit(edtQuikData, false, QStringLiteral("База данных QuikData")));
    chConnect = check("chConnect", QStringLiteral("Подключаться при запуске"));
    btConnectToBase = new QPushButton(QStringLiteral("Подключиться"));
    btConnectToBase->setObjectName(QStringLiteral("btConnectToBase"));
    // Connects with the entries as typed: once they pass the OK check they
    // are the robot's settings in memory (the file is written only by OK,
    // and Отмена reads it back).
    connect(btConnectToBase, &QPushButton::clicked, this, [this] {
        const bool passed = checkEntries();
        m_focusNext = nullptr; // the dialog stays open: the focus is there already
        if (!passed)
            return;
        applyControls();
        emit connectRequested();
    });
    auto *connectRow = new QHBoxLayout;
    connectRow->addWidget(chConnect);
    connectRow->addStretch();
    connectRow->addWidget(btConnectToBase);
    basesLayout->addRow(connectRow);
    // Only a QuikData on a server can be shared by two robots: for a file
    // the box stays as stored, greyed, and says why.
    chStandby = check("chStandby", QStringLiteral("Резервный робот: ждать, пока другой робот освободит общую базу данных"));
    basesLayout->addRow(chStandby);
    connect(edtQuikData, &QLineEdit::textChanged, this, &TfmOpt::updateStandby);

    QGroupBox *terminals = group("gbTerminals", QStringLiteral(" Списиок терминалов для режима MULTI "));
    auto *grid = new DataGrid(&m_data.tQuik,
                              {column("id_quik", "Номер терминала"), column("active", "Активен", true),
                               column("quik", "Имя терминала  (файла для транзакций)"), column("path", "Путь к терминалу")},
                              terminals);
    grid->setObjectName(QStringLiteral("grdQuik"));
    grid->setAccessibleName(terminals->title().trimmed());
    grid->setToolTip(QStringLiteral("Для удаления записей используйте CTRL+Del"));
    grid->setMultiSelect(true);
    grid->setDeleteKey(true);
    grid->view()->horizontalHeader()->setStretchLastSection(true);
    grid->view()->setItemDelegateForColumn(grid->model()->columnOf(QStringLiteral("path")), new PathDelegate(this, grid->view()));
    m_grids.insert(grid->objectName(), grid);
    auto *nav = new NavigatorBar(&m_data.tQuik, terminals);
    nav->setObjectName(QStringLiteral("nbQuik"));
    m_navigators.insert(nav->objectName(), nav);
    btCreateTables = new QPushButton(QStringLiteral("Создать таблицы ..."));
    btCreateTables->setObjectName(QStringLiteral("btCreateTables"));
    btCreateTables->setToolTip(QStringLiteral("Создание таблицы лимитов, портфелей для каждого квика"));
    connect(btCreateTables, &QPushButton::clicked, this, [this] {
        try {
            CreateTerminalTables(m_data);
        } catch (const std::exception &e) {
            Dialogs::error(this, failureText(e));
        }
    });
    auto *terminalsLayout = new QVBoxLayout(terminals);
    terminalsLayout->addWidget(grid);
    auto *under = new QHBoxLayout;
    under->addWidget(nav);
    under->addStretch();
    under->addWidget(btCreateTables);
    terminalsLayout->addLayout(under);

    auto *layout = new QVBoxLayout(page);
    layout->addLayout(paths);
    layout->addWidget(bases);
    layout->addWidget(terminals, 1);
    return page;
}

QWidget *TfmOpt::createTradingPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshTrading"));
    QGroupBox *common = group("gbTradingCommon", QStringLiteral(" Общие "));
    auto *commonLayout = new QFormLayout(common);
    cboGroup = new QComboBox;
    cboGroup->setObjectName(QStringLiteral("cboGroup"));
    cboGroup->setEditable(true);
    cboGroup->setInsertPolicy(QComboBox::NoInsert);
    cboGroup->installEventFilter(this);
    commonLayout->addRow(QStringLiteral("Группа по умолчанию:"), cboGroup);
    connect(&m_data.tGroup, &DataSet::opened, this, [this] { fillControls(); });

    QGroupBox *quick = group("gbQuickOrders", QStringLiteral(" Параметры быстрых заявок "));
    auto *quickLayout = new QFormLayout(quick);
    quickLayout->addRow(QStringLiteral("Объем 1:"), edtVol1 = edit("edtVol1"));
    quickLayout->addRow(QStringLiteral("Объем 2:"), edtVol2 = edit("edtVol2"));
    quickLayout->addRow(QStringLiteral("Объем 3:"), edtVol3 = edit("edtVol3"));
    quickLayout->addRow(QStringLiteral("Часть 1:"), edtPart1 = edit("edtPart1"));
    quickLayout->addRow(QStringLiteral("Часть 2:"), edtPart2 = edit("edtPart2"));
    quickLayout->addRow(QStringLiteral("Часть 3:"), edtPart3 = edit("edtPart3"));
    quickLayout->addRow(QStringLiteral("Доля для устанвки (%):"), edtSet = edit("edtSet"));
    quickLayout->addRow(QStringLiteral("Проскальзывание (%):"), edtSlippage = edit("edtSlippage"));
    for (QLineEdit *e : {edtVol1, edtVol2, edtVol3, edtPart1, edtPart2, edtPart3, edtSet, edtSlippage})
        e->setMaximumWidth(120);
    cboGroup->setMinimumWidth(250);
    quickLayout->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    commonLayout->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(common);
    layout->addWidget(quick);
    layout->addStretch();
    return page;
}

QWidget *TfmOpt::createMessagesPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshMessages"));

    QGroupBox *mail = group("gbMail", QStringLiteral(" Отправка почты "));
    auto *mailLayout = new QFormLayout(mail);
    mailLayout->addRow(QStringLiteral("Сервер исходящей почты:"), edtSMTP = edit("edtSMTP"));
    mailLayout->addRow(QStringLiteral("Порт: "), edtPort = edit("edtPort"));
    mailLayout->addRow(QStringLiteral("Пользователь: "), edtUser = edit("edtUser"));
    mailLayout->addRow(QStringLiteral("Пароль: "), edtPassword = edit("edtPassword"));
    edtPassword->setEchoMode(QLineEdit::Password);
    mailLayout->addRow(chAuten = check("chAuten", QStringLiteral("Требуется аутентификация")));
    mailLayout->addRow(chAllowPlainAuth = check("chAllowPlainAuth", QStringLiteral("Разрешить вход без шифрования (пароль открытым текстом)")));
    chAllowPlainAuth->setToolTip(QStringLiteral("Без этой отметки имя и пароль передаются только серверу, который предлагает шифрование (STARTTLS)"));
    btSmtpConnect = new QPushButton(QStringLiteral("Коннект"));
    btSmtpConnect->setObjectName(QStringLiteral("btSmtpConnect"));
    btSmtpDisconnect = new QPushButton(QStringLiteral("Дисконнект"));
    btSmtpDisconnect->setObjectName(QStringLiteral("btSmtpDisconnect"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(btSmtpConnect);
    buttons->addWidget(btSmtpDisconnect);
    buttons->addStretch();
    mailLayout->addRow(buttons);
    // The mail buttons try the entries as typed; what came of it shows
    // under them (and is logged).
    connect(btSmtpConnect, &QPushButton::clicked, this, [this] {
        applyMail();
        tryMail([this] {
            MailOutcome outcome;
            m_robot.mail().SmtpConnect(&outcome);
            return outcome;
        });
    });
    connect(btSmtpDisconnect, &QPushButton::clicked, this, [this] {
        tryMail([this] {
            MailOutcome outcome;
            m_robot.mail().SmtpDisconnect(&outcome);
            return outcome;
        });
    });

    QGroupBox *sender = group("gbSender", QStringLiteral(" Информации отправителя "));
    auto *senderLayout = new QFormLayout(sender);
    senderLayout->addRow(QStringLiteral("Имя:"), edtFromName = edit("edtFromName"));
    senderLayout->addRow(QStringLiteral("E-Mail адрес:"), edtFromAddress = edit("edtFromAddress"));

    QGroupBox *recipients = group("gbRecipients", QStringLiteral(" Адреса получателя "));
    auto *recipientsLayout = new QFormLayout(recipients);
    recipientsLayout->addRow(QStringLiteral("E-Mail 1:"), edtEmail1 = edit("edtEmail1"));
    recipientsLayout->addRow(QStringLiteral("E-Mail 2:"), edtEmail2 = edit("edtEmail2"));
    edtMsg = edit("edtMsg");
    edtMsg->setText(QStringLiteral("Test."));
    btTest = new QPushButton(QStringLiteral("Тест"));
    btTest->setObjectName(QStringLiteral("btTest"));
    auto *message = new QHBoxLayout;
    message->addWidget(edtMsg);
    message->addWidget(btTest);
    recipientsLayout->addRow(QStringLiteral("Сообщение:"), message);
    connect(btTest, &QPushButton::clicked, this, [this] {
        applyMail();
        tryMail([this] { return m_robot.mail().Test(edtMsg->text()); }, true);
    });
    lblMailResult = new QLabel;
    lblMailResult->setObjectName(QStringLiteral("lblMailResult"));
    lblMailResult->setWordWrap(true);
    lblMailResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblMailResult->setAccessibleName(QStringLiteral("Результат проверки почты"));

    QGroupBox *events = group("gbEvents", QStringLiteral(" События для сообщений по почте "));
    auto *eventsLayout = new QVBoxLayout(events);
    eventsLayout->addWidget(chSendTrans_Id = check("chSendTrans_Id", QStringLiteral("Отправка транзакции")));
    eventsLayout->addWidget(chSendTrans_done = check("chSendTrans_done", QStringLiteral("Регистрация транзакции на сервере")));
    eventsLayout->addWidget(
        chSendQuikConnect = check("chSendQuikConnect", QStringLiteral("Обрыв/восстановление соединения Quik`а с сервером")));
    // Not a mail: the window's sound when the terminal refuses a transaction.
    eventsLayout->addWidget(chSoundOnRefusal = check("chSoundOnRefusal", QStringLiteral("Звуковой сигнал при отказе в транзакции")));

    auto *grid = new QGridLayout(page);
    grid->addWidget(mail, 0, 0, 2, 1);
    grid->addWidget(sender, 0, 1);
    grid->addWidget(recipients, 1, 1);
    grid->addWidget(lblMailResult, 2, 0, 1, 2);
    grid->addWidget(events, 3, 0, 1, 2);
    grid->setRowStretch(4, 1);
    return page;
}

void TfmOpt::tryMail(const std::function<MailOutcome()> &exchange, bool message)
{
    // The exchange waits behind the robot's own mail, keeping the window
    // alive: the buttons wait with it.
    const QList<QPushButton *> buttons{btSmtpConnect, btSmtpDisconnect, btTest};
    for (QPushButton *b : buttons)
        b->setEnabled(false);
    lblMailResult->setStyleSheet(QString());
    lblMailResult->setText(QStringLiteral("Обмен с почтовым сервером…"));
    const MailOutcome outcome = exchange();
    for (QPushButton *b : buttons)
        b->setEnabled(true);
    lblMailResult->setText(outcome.ok() || !message ? outcome.text() : QStringLiteral("Сообщение не отправлено. ") + outcome.text());
    lblMailResult->setStyleSheet(outcome.ok() ? QStringLiteral("color: #1b5e20;") : QStringLiteral("color: #b71c1c;"));
}

QWidget *TfmOpt::createInstrumentsPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshInstruments"));
    auto *grid = new DataGrid(&m_data.tSecCode,
                              {column("Ticker", "Тикер в Омеге"), column("Traded", "Торгуется", true),
                               column("FixVol", "Сумма", false, "### ### ### ##0.00"), column("Part", "Доля счета (%)", false, "##0.00"),
                               column("Slippage", "Проск-е (%)", false, "#0.00"), column("LotSize", "Лот"), column("Class_Code", "Код класса"),
                               column("Digits", "Знаки после запятой"), column("SecCode", "Код в Quik`е"),
                               column("PointValue", "Стоимость шага цены"), column("MinMov", "Шаг цены"),
                               column("Base_Contract", "Баз. актив")},
                              page);
    grid->setObjectName(QStringLiteral("grdSecCode"));
    grid->setAccessibleName(QStringLiteral("Инструменты"));
    grid->setMultiSelect(true);
    grid->setDeleteKey(true);
    for (const char *field : {"Traded", "FixVol", "Part"})
        grid->setFooter(QLatin1String(field), GridFooter{GridFooter::Text, QString(), QString()});
    m_grids.insert(grid->objectName(), grid);
    auto *nav = new NavigatorBar(&m_data.tSecCode, page);
    nav->setObjectName(QStringLiteral("nbSecCode"));
    m_navigators.insert(nav->objectName(), nav);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(grid);
    layout->addWidget(nav);
    return page;
}

QWidget *TfmOpt::createFiltersPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("tshFilters"));
    auto *layout = new QHBoxLayout(page);
    auto add = [&](const char *groupName, const QString &caption, DataSet *ds, const char *field, const char *title, const char *gridName,
                   const char *navName) {
        QGroupBox *g = group(groupName, caption);
        auto *grid = new DataGrid(ds, {column(field, title)}, g);
        grid->setObjectName(QLatin1String(gridName));
        grid->setAccessibleName(caption.trimmed());
        grid->setFitColumns(true);
        grid->setMultiSelect(true);
        grid->setDeleteKey(true);
        m_grids.insert(grid->objectName(), grid);
        auto *nav = new NavigatorBar(ds, g);
        nav->setObjectName(QLatin1String(navName));
        m_navigators.insert(nav->objectName(), nav);
        auto *l = new QVBoxLayout(g);
        l->addWidget(grid);
        l->addWidget(nav);
        layout->addWidget(g);
    };
    add("gbWorkSpaces", QStringLiteral(" Просматриваемые рабочие области  ( \" *.orw \" ) "), &m_data.tWorkSpaces, "workspace",
        "Имя рабочей области", "grdWorkSpaces", "nbWorkSpaces");
    add("gbStrategy", QStringLiteral(" Просматриваемые стратегии "), &m_data.tStrategy, "strategy", "Имя стратегии", "grdStrategy",
        "nbStrategy");
    return page;
}

DataGrid *TfmOpt::grid(const QString &name) const { return m_grids.value(name); }
NavigatorBar *TfmOpt::navigator(const QString &name) const { return m_navigators.value(name); }

void TfmOpt::UpdateSumList()
{
    DataGrid *g = grid(QStringLiteral("grdSecCode"));
    if (!g)
        return;
    g->setFooterText(QStringLiteral("Traded"), m_data.SumList.traded);
    g->setFooterText(QStringLiteral("FixVol"), m_data.SumList.fixVol);
    g->setFooterText(QStringLiteral("Part"), m_data.SumList.part);
}

void TfmOpt::fillControls()
{
    const Settings &s = m_settings;
    const QLocale locale;
    rgpPositionSize->button(std::clamp(s.rgpPositionSize, 0, 4))->setChecked(true);
    edtFixVol->setText(numberText(s.edtFixVol));
    edtPart->setText(numberText(s.edtPart));
    rgpFilled->button(1)->setChecked(true);
    chExitQty->setChecked(s.chExitQty);
    chKillOrder->setChecked(s.chKillOrder);
    rgpSingleMulti->button(std::clamp(s.rgpSingleMulti, 0, 1))->setChecked(true);
    rgpTerminal->button(std::clamp(s.rgpTerminal, 0, 1))->setChecked(true);
    edtTrans_id->setText(QString::number(s.edtTrans_id));
    chAutoPortfolio->setChecked(s.chAutoPortfolio);
    edtIntTable->setText(QString::number(s.edtIntTable));
    edtIntQuik->setText(QString::number(s.edtIntQuik));

    edtdirTT->setText(s.edtdirTT);
    edtInfoLog->setText(s.edtInfoLog);
    edtAccountMicex->setText(s.edtAccountMicex);
    edtAccountFORTS->setText(s.edtAccountFORTS);
    edtQuikConnectTimeOut->setText(QString::number(s.edtQuikConnectTimeOut));
    edtCode->setText(s.edtCode);
    // A server's password is not shown; it is kept while the address names
    // the same user and no password of its own.
    edtAlerts->setText(DatabaseAddress::shown(s.edtAlerts));
    edtQuikData->setText(DatabaseAddress::shown(s.edtQuikData));
    chConnect->setChecked(s.chConnect);
    chStandby->setChecked(s.chStandby);
    updateStandby();
    chQuikConnect->setChecked(s.chQuikConnect);
    edtDirSmartTrade->setText(s.edtDirSmartTrade);

    // The groups there are, the stored one chosen (none: blank).
    FillLookupBox(cboGroup, m_data.tGroup, QStringLiteral("id_group"), QStringLiteral("group"));
    cboGroup->setCurrentIndex(cboGroup->findData(s.cboGroup));
    if (cboGroup->currentIndex() < 0)
        cboGroup->setEditText(QString());
    edtVol1->setText(numberText(s.edtVol1));
    edtVol2->setText(numberText(s.edtVol2));
    edtVol3->setText(numberText(s.edtVol3));
    edtPart1->setText(numberText(s.edtPart1));
    edtPart2->setText(numberText(s.edtPart2));
    edtPart3->setText(numberText(s.edtPart3));
    edtSlippage->setText(locale.toString(s.edtSlippage, 'f', 2));
    edtSet->setText(numberText(s.edtSet));

    edtSMTP->setText(s.edtSMTP);
    edtPort->setText(QString::number(s.edtPort));
    edtUser->setText(s.edtUser);
    edtPassword->setText(s.edtPassword);
    chAuten->setChecked(s.chAuten);
    chAllowPlainAuth->setChecked(s.chAllowPlainAuth);
    edtFromName->setText(s.edtFromName);
    edtFromAddress->setText(s.edtFromAddress);
    edtEmail1->setText(s.edtEmail1);
    edtEmail2->setText(s.edtEmail2);
    chSendTrans_Id->setChecked(s.chSendTrans_Id);
    chSendTrans_done->setChecked(s.chSendTrans_done);
    chSendQuikConnect->setChecked(s.chSendQuikConnect);
    chSoundOnRefusal->setChecked(s.chSoundOnRefusal);
}

void TfmOpt::updateStandby()
{
    const bool server = DatabaseAddress::isServer(edtQuikData->text().trimmed());
    chStandby->setEnabled(server);
    chStandby->setToolTip(server ? QStringLiteral("Если база QuikData занята другим роботом Korvina, этот робот ждет\n"
                                                  "и берет работу на себя, как только тот остановится (как ключ --standby).\n"
                                                  "Действует со следующего подключения.")
                                 : QStringLiteral("Только для базы QuikData на сервере PostgreSQL (адрес postgresql://...):\n"
                                                  "файл базы данных двумя роботами не делится."));
}

void TfmOpt::applyMail()
{
    Settings &s = m_settings;
    bool ok = false;
    const int port = QLocale().toInt(edtPort->text(), &ok);
    s.edtSMTP = edtSMTP->text();
    s.edtPort = ok ? port : 0; // no port: the connection fails and says so
    s.edtUser = edtUser->text();
    s.edtPassword = edtPassword->text();
    s.chAuten = chAuten->isChecked();
    s.chAllowPlainAuth = chAllowPlainAuth->isChecked();
    s.edtFromName = edtFromName->text();
    s.edtFromAddress = edtFromAddress->text();
    s.edtEmail1 = edtEmail1->text();
    s.edtEmail2 = edtEmail2->text();
}

void TfmOpt::applyControls()
{
    Settings &s = m_settings;
    const QLocale locale;
    auto number = [&](QLineEdit *e) { return locale.toDouble(e->text()); };
    auto whole = [&](QLineEdit *e) { return locale.toInt(e->text()); };
    s.rgpPositionSize = rgpPositionSize->checkedId();
    s.edtFixVol = number(edtFixVol);
    s.edtPart = number(edtPart);
    s.clearUnreadable(QStringLiteral("FixVol"));
    s.clearUnreadable(QStringLiteral("Part"));
    s.rgpFilled = 1;
    s.chExitQty = chExitQty->isChecked();
    s.chKillOrder = chKillOrder->isChecked();
    s.rgpSingleMulti = rgpSingleMulti->checkedId();
    s.rgpTerminal = rgpTerminal->checkedId();
    s.edtTrans_id = edtTrans_id->text().toInt();
    s.clearUnreadable(QStringLiteral("trans_id"));
    s.chAutoPortfolio = chAutoPortfolio->isChecked();
    s.edtIntTable = whole(edtIntTable);
    s.edtIntQuik = whole(edtIntQuik);

    s.edtdirTT = edtdirTT->text();
    s.edtInfoLog = edtInfoLog->text();
    s.edtAccountMicex = edtAccountMicex->text();
    s.edtAccountFORTS = edtAccountFORTS->text();
    s.edtQuikConnectTimeOut = whole(edtQuikConnectTimeOut);
    s.edtCode = edtCode->text();
    s.edtAlerts = DatabaseAddress::withStoredPassword(edtAlerts->text(), s.edtAlerts);
    s.edtQuikData = DatabaseAddress::withStoredPassword(edtQuikData->text(), s.edtQuikData);
    s.chConnect = chConnect->isChecked();
    s.chStandby = chStandby->isChecked();
    s.chQuikConnect = chQuikConnect->isChecked();
    s.edtDirSmartTrade = edtDirSmartTrade->text();

    const int chosen = cboGroup->findText(cboGroup->currentText(), Qt::MatchFixedString);
    s.cboGroup = cboGroup->currentText().trimmed().isEmpty() || chosen < 0 ? -1 : cboGroup->itemData(chosen).toInt();
    s.edtVol1 = number(edtVol1);
    s.edtVol2 = number(edtVol2);
    s.edtVol3 = number(edtVol3);
    s.edtPart1 = number(edtPart1);
    s.edtPart2 = number(edtPart2);
    s.edtPart3 = number(edtPart3);
    s.edtSlippage = number(edtSlippage);
    s.edtSet = number(edtSet);

    applyMail();
    s.chSendTrans_Id = chSendTrans_Id->isChecked();
    s.chSendTrans_done = chSendTrans_done->isChecked();
    s.chSendQuikConnect = chSendQuikConnect->isChecked();
    s.chSoundOnRefusal = chSoundOnRefusal->isChecked();
}

QString TfmOpt::caption(QWidget *entry) const
{
    // An entry beside a radio item or a check box carries its caption as
    // its accessible name; the others have a label whose buddy they are
    // (or hold, for a path with its button).
    QString text = entry->accessibleName();
    if (text.isEmpty()) {
        for (QLabel *label : findChildren<QLabel *>()) {
            QWidget *buddy = label->buddy();
            if (buddy && (buddy == entry || buddy->isAncestorOf(entry))) {
                text = label->text();
                break;
            }
        }
    }
    text.remove(QLatin1Char('&'));
    text = text.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text.trimmed();
}

void TfmOpt::focusEntry(QWidget *entry)
{
    for (int i = 0; i < pcOpt->count(); ++i)
        if (pcOpt->widget(i)->isAncestorOf(entry))
            pcOpt->setCurrentIndex(i);
    entry->setFocus();
    m_focusNext = entry; // and again when the dialog is shown anew
}

bool TfmOpt::checkEntries()
{
    const QLocale locale;
    const QString wrong = QStringLiteral("Введите верные данные! ");
    struct Entry {
        QLineEdit *edit;
        bool whole;
    };
    // The order the operator is told in: the settings that size orders and
    // time the robot first, then the quick-order boxes as their page shows
    // them (the quick orders read them as numbers too).
    const Entry entries[] = {{edtFixVol, false},    {edtPart, false},  {edtPort, true},  {edtIntTable, true},
                             {edtQuikConnectTimeOut, true}, {edtIntQuik, true}, {edtVol1, false}, {edtVol2, false},
                             {edtVol3, false},      {edtPart1, false}, {edtPart2, false}, {edtPart3, false},
                             {edtSet, false},       {edtSlippage, false}};
    for (const Entry &e : entries) {
        bool ok = false;
        if (e.whole)
            locale.toInt(e.edit->text(), &ok);
        else
            locale.toDouble(e.edit->text(), &ok);
        if (!ok) {
            // What the field takes, in the form this system writes numbers.
            const QString expected = e.whole ? QStringLiteral("нужно целое число, например 5")
                                             : QStringLiteral("нужно число, например ") + locale.toString(0.5);
            Dialogs::information(this, wrong + QStringLiteral("Поле «") + caption(e.edit) + QStringLiteral("»: ") + expected
                                           + QLatin1Char('.'));
            focusEntry(e.edit);
            return false;
        }
    }
    // A group typed that is no group: not kept silently as "no group".
    if (!cboGroup->currentText().trimmed().isEmpty() && cboGroup->findText(cboGroup->currentText(), Qt::MatchFixedString) < 0) {
        Dialogs::information(this, wrong + QStringLiteral("Поле «") + caption(cboGroup)
                                       + QStringLiteral("»: нужна группа из списка или пустое поле (без группы)."));
        focusEntry(cboGroup);
        return false;
    }
    // What the settings file cannot hold exactly, or what a text cannot be
    // (control characters, a code too long for the terminals), in the order
    // the settings are stored: checked on the entries, before anything is
    // changed.
    Settings entered;
    entered.setFileName(m_settings.fileName());
    entered.setEncoding(m_settings.encoding()); // a UTF-8 file holds what Windows-1251 cannot
    {
        // The text entries as they would be stored.
        entered.edtdirTT = edtdirTT->text();
        entered.edtInfoLog = edtInfoLog->text();
        entered.edtAccountMicex = edtAccountMicex->text();
        entered.edtAccountFORTS = edtAccountFORTS->text();
        entered.edtCode = edtCode->text();
        entered.edtAlerts = DatabaseAddress::withStoredPassword(edtAlerts->text(), m_settings.edtAlerts);
        entered.edtQuikData = DatabaseAddress::withStoredPassword(edtQuikData->text(), m_settings.edtQuikData);
        entered.edtDirSmartTrade = edtDirSmartTrade->text();
        entered.edtSMTP = edtSMTP->text();
        entered.edtUser = edtUser->text();
        entered.edtPassword = edtPassword->text();
        entered.edtFromName = edtFromName->text();
        entered.edtFromAddress = edtFromAddress->text();
        entered.edtEmail1 = edtEmail1->text();
        entered.edtEmail2 = edtEmail2->text();
    }
    if (const auto problem = entered.checkWritable()) {
        Dialogs::information(this, wrong + problem->message);
        if (QWidget *control = findChild<QWidget *>(problem->control))
            focusEntry(control);
        return false;
    }
    return true;
}

void TfmOpt::postTables()
{
    for (DataSet *ds : {&m_data.tSecCode, &m_data.tWorkSpaces, &m_data.tStrategy, &m_data.tQuik})
        if (ds->editing())
            ds->Post();
}

void TfmOpt::cancelTables()
{
    for (DataSet *ds : {&m_data.tSecCode, &m_data.tWorkSpaces, &m_data.tStrategy, &m_data.tQuik})
        if (ds->editing())
            ds->Cancel();
}

void TfmOpt::accept()
{
    if (!checkEntries()) {
        done(Retry);
        return;
    }
    postTables();
    // A row the directory or the database refused stays in editing, its
    // reason shown: the dialog stays open for it to be mended.
    for (DataSet *ds : {&m_data.tSecCode, &m_data.tWorkSpaces, &m_data.tStrategy, &m_data.tQuik})
        if (ds->editing())
            return;
    QDialog::accept();
}

void TfmOpt::reject() { QDialog::reject(); }

void TfmOpt::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    if (m_focusNext) {
        for (int i = 0; i < pcOpt->count(); ++i)
            if (pcOpt->widget(i)->isAncestorOf(m_focusNext))
                pcOpt->setCurrentIndex(i);
        m_focusNext->setFocus();
        m_focusNext = nullptr;
    }
}

bool TfmOpt::execOpt()
{
    bool retry = false;
    for (;;) {
        if (!retry) {
            // Shown afresh: the stored settings. (Shown again after a
            // failed check, the entries stay, and so do the mode and the
            // terminal changes the closing messages are about.)
            fillControls();
            lblMailResult->clear(); // what an earlier showing tried
            lblMailResult->setStyleSheet(QString());
            QuikListChanged = false;
            ShownMode = m_settings.rgpSingleMulti;
        }
        const int result = exec();
        if (result == Retry) {
            retry = true;
            continue;
        }
        if (result == QDialog::Accepted) {
            applyControls();
            QString error;
            try {
                if (!m_settings.SaveSettings(&error))
                    Dialogs::error(this, error);
            } catch (const std::exception &e) {
                Dialogs::error(this, failureText(e));
            }
            m_robot.UpdateStatusBar();
            if (rgpSingleMulti->checkedId() != ShownMode) {
                Dialogs::information(this, QStringLiteral("Внимание! Режим SINGLE/MULTI изменен. \r\nДля корректной работы перезапустите программу."));
                ShownMode = rgpSingleMulti->checkedId();
            }
            if (QuikListChanged)
                Dialogs::information(this, QStringLiteral("Внимание! Список терминалов изменен. \r\nДля корректной работы перезапустите программу."));
            return true;
        }
        // Cancelled: the row in editing is dropped, the stored settings
        // (and the timer periods) come back. Rows posted meanwhile stay.
        cancelTables();
        m_settings.LoadSettings();
        fillControls();
        return false;
    }
}

void TfmOpt::choosePath()
{
    DataSet &quik = m_data.tQuik;
    if (!quik.Active() || quik.IsEmpty())
        return;
    const QString file = Dialogs::openFileName(this, QStringLiteral("Укажите путь к EXE-файлу терминала"),
                                               quik.FieldByName(QStringLiteral("path")).toString());
    if (file.isEmpty())
        return;
    QString folder = QDir::toNativeSeparators(QFileInfo(file).absolutePath());
    while (folder.size() > 1 && (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
        folder.chop(1);
    // The cell's editor, when open, shows the new path too (closing it
    // must not put the old one back).
    if (DataGrid *g = grid(QStringLiteral("grdQuik")))
        for (QLineEdit *e : g->view()->findChildren<QLineEdit *>(QStringLiteral("pathEditor")))
            e->setText(folder);
    try {
        quik.setFieldValue(QStringLiteral("path"), folder);
        quik.Post();
    } catch (const std::exception &e) {
        Dialogs::error(this, failureText(e));
    }
}

void TfmOpt::cboGroupExit()
{
    if (cboGroup->currentText().trimmed().isEmpty())
        cboGroup->setCurrentIndex(-1);
}

bool TfmOpt::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == cboGroup && event->type() == QEvent::FocusOut)
        cboGroupExit();
    return QDialog::eventFilter(watched, event);
}
