#include "tfmqorders.h"

#include "config/settings.h"
#include "data/datmod.h"
#include "data/views.h"
#include "datagrid.h"
#include "dialogs.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QPushButton *button(const char *name, const QString &caption, const QString &hint = QString())
{
    auto *b = new QPushButton(caption);
    b->setObjectName(QLatin1String(name));
    b->setToolTip(hint);
    return b;
}

QLineEdit *numberBox(const char *name, double value)
{
    auto *e = new QLineEdit;
    e->setObjectName(QLatin1String(name));
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    e->setText(locale.toString(value, 'g', 15));
    e->setMaximumWidth(70);
    return e;
}

} // namespace

TfmQOrders::TfmQOrders(TDatMod &data, Settings &settings, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_data(data), m_settings(settings)
{
    setObjectName(QStringLiteral("fmQOrders"));
    setWindowTitle(QStringLiteral("Быстрые заявки"));

    btnLOng = button("btnLOng", QStringLiteral("ЛОНГ"));
    btnShort = button("btnShort", QStringLiteral("ШОРТ"));
    auto *direction = new QButtonGroup(this);
    for (QPushButton *b : {btnLOng, btnShort}) {
        b->setCheckable(true);
        direction->addButton(b);
    }
    direction->setExclusive(true); // once one is down, one stays down
    connect(direction, &QButtonGroup::buttonToggled, this, &TfmQOrders::markDirection);
    auto *bar = new QHBoxLayout;
    bar->addWidget(btnLOng);
    bar->addWidget(btnShort);

    cboSecCode = new QComboBox;
    cboSecCode->setObjectName(QStringLiteral("cboSecCode"));
    lbid = new QLabel;
    lbid->setObjectName(QStringLiteral("lbid"));
    lbid->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbid->setToolTip(QStringLiteral("Двойной клик для продажи"));
    loffer = new QLabel;
    loffer->setObjectName(QStringLiteral("loffer"));
    loffer->setToolTip(QStringLiteral("Двойной клик для покупки"));
    for (QLabel *l : {lbid, loffer}) {
        l->setMinimumWidth(70);
        l->installEventFilter(this);
    }
    auto *instrument = new QGroupBox(QStringLiteral(" Инструмент "));
    instrument->setObjectName(QStringLiteral("gbInstrument"));
    auto *instrumentLayout = new QHBoxLayout(instrument);
    instrumentLayout->addWidget(cboSecCode, 1);
    instrumentLayout->addWidget(lbid);
    instrumentLayout->addWidget(new QLabel(QStringLiteral("/")));
    instrumentLayout->addWidget(loffer);

    btnOpen = button("btnOpen", QStringLiteral("ОТКРЫТЬ"), QStringLiteral("Открыть позицию"));
    btnClose = button("btnClose", QStringLiteral("ЗАКРЫТЬ"), QStringLiteral("Закрыть позицию"));
    const QString openHint = QStringLiteral("Открыть позицию без подтверждения");
    const QString closeHint = QStringLiteral("Закрыть позицию без подтверждения");
    btnVol1 = button("btnVol1", QStringLiteral("Объем 1"), openHint);
    btnVol2 = button("btnVol2", QStringLiteral("Объем 2"), openHint);
    btnVol3 = button("btnVol3", QStringLiteral("Объем 3"), openHint);
    btnPart1 = button("btnPart1", QStringLiteral("Часть 1"), closeHint);
    btnPart2 = button("btnPart2", QStringLiteral("Часть 2"), closeHint);
    btnPart3 = button("btnPart3", QStringLiteral("Часть 3"), closeHint);
    edtVol1 = numberBox("edtVol1", settings.edtVol1);
    edtVol2 = numberBox("edtVol2", settings.edtVol2);
    edtVol3 = numberBox("edtVol3", settings.edtVol3);
    edtPart1 = numberBox("edtPart1", settings.edtPart1);
    edtPart2 = numberBox("edtPart2", settings.edtPart2);
    edtPart3 = numberBox("edtPart3", settings.edtPart3);

    auto *trade = new QGroupBox;
    trade->setObjectName(QStringLiteral("gbTrade"));
    auto *grid = new QGridLayout(trade);
    grid->addWidget(instrument, 0, 0, 1, 4);
    grid->addWidget(btnOpen, 1, 0, 1, 2);
    grid->addWidget(btnClose, 1, 2, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Доля счета (%)")), 2, 0, 1, 2, Qt::AlignCenter);
    grid->addWidget(new QLabel(QStringLiteral("Доля позиции (%)")), 2, 2, 1, 2, Qt::AlignCenter);
    const QList<std::pair<QPushButton *, QLineEdit *>> volumes{{btnVol1, edtVol1}, {btnVol2, edtVol2}, {btnVol3, edtVol3}};
    const QList<std::pair<QPushButton *, QLineEdit *>> parts{{btnPart1, edtPart1}, {btnPart2, edtPart2}, {btnPart3, edtPart3}};
    for (int i = 0; i < 3; ++i) {
        grid->addWidget(volumes[i].first, 3 + i, 0);
        grid->addWidget(volumes[i].second, 3 + i, 1);
        grid->addWidget(parts[i].first, 3 + i, 2);
        grid->addWidget(parts[i].second, 3 + i, 3);
        QLineEdit *v = volumes[i].second, *p = parts[i].second;
        connect(volumes[i].first, &QPushButton::clicked, this, [this, v] { ReadParam(QuickButton::Volume, v); });
        connect(parts[i].first, &QPushButton::clicked, this, [this, p] { ReadParam(QuickButton::Part, p); });
    }
    connect(btnOpen, &QPushButton::clicked, this, [this] { ReadParam(QuickButton::Open); });
    connect(btnClose, &QPushButton::clicked, this, [this] { ReadParam(QuickButton::Close); });

    btnSet = button("btnSet", QStringLiteral("Установить долю (%)"), QStringLiteral("Установить долю позиции от счета"));
    edtSet = numberBox("edtSet", settings.edtSet);
    connect(btnSet, &QPushButton::clicked, this, [this] { ReadParam(QuickButton::Set, edtSet); });
    auto *set = new QGroupBox;
    set->setObjectName(QStringLiteral("gbSet"));
    auto *setLayout = new QHBoxLayout(set);
    setLayout->addWidget(btnSet);
    setLayout->addWidget(edtSet);

    cboGroup = new QComboBox;
    cboGroup->setObjectName(QStringLiteral("cboGroup"));
    cboGroup->setEditable(true);
    cboGroup->setInsertPolicy(QComboBox::NoInsert);
    edtSlippage = numberBox("edtSlippage", settings.edtSlippage);
    auto *parameters = new QGroupBox(QStringLiteral(" Параметры "));
    parameters->setObjectName(QStringLiteral("gbParameters"));
    auto *parametersLayout = new QFormLayout(parameters);
    parametersLayout->addRow(QStringLiteral("Группа :"), cboGroup);
    parametersLayout->addRow(QStringLiteral("Проскалз. (%):"), edtSlippage);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(trade);
    layout->addWidget(set);
    layout->addWidget(parameters);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Boxes named by the buttons and captions beside them.
    cboSecCode->setAccessibleName(QStringLiteral("Инструмент"));
    lbid->setAccessibleName(QStringLiteral("Спрос"));
    loffer->setAccessibleName(QStringLiteral("Предложение"));
    for (auto [b, e] : volumes + parts)
        e->setAccessibleName(b->text());
    edtSet->setAccessibleName(btnSet->text());

    fillSecurities();
    fillGroups(settings.cboGroup);
    connect(cboSecCode, &QComboBox::activated, this, &TfmQOrders::chooseSecurity);
    DataSet &quotes = m_data.tParam;
    connect(&quotes, &DataSet::currentRowChanged, this, &TfmQOrders::followQuotes);
    connect(&quotes, &QAbstractItemModel::dataChanged, this, &TfmQOrders::showQuote);
    connect(&quotes, &DataSet::opened, this, [this] {
        fillSecurities();
        followQuotes();
    });
    connect(&quotes, &DataSet::reread, this, &TfmQOrders::showQuote);
    // The groups as they are: at every connection and after every change,
    // also from the groups editor.
    DataSet &groups = m_data.tGroup;
    for (auto changed : {&DataSet::opened, &DataSet::posted, &DataSet::deleted, &DataSet::reread})
        connect(&groups, changed, this, [this] { fillGroups(groupKey()); });
}

void TfmQOrders::fillSecurities()
{
    QSignalBlocker quiet(cboSecCode);
    FillLookupBox(cboSecCode, m_data.tParam, QStringLiteral("seccode"), QStringLiteral("stock"));
    followQuotes();
}

void TfmQOrders::fillGroups(qint32 chosen)
{
    // The group chosen stays chosen (under its new name when renamed); a box
    // with none takes the options' default group. A chosen group that is
    // gone leaves the box empty: the orders of this form go out without a
    // confirmation, so no other group takes its place unasked.
    const bool hadNone = chosen < 0;
    FillLookupBox(cboGroup, m_data.tGroup, QStringLiteral("id_group"), QStringLiteral("group"));
    cboGroup->setCurrentIndex(cboGroup->findData(hadNone ? m_settings.cboGroup : chosen));
    if (cboGroup->currentIndex() < 0)
        cboGroup->setEditText(QString());
}

qint32 TfmQOrders::groupKey() const
{
    if (cboGroup->currentText().trimmed().isEmpty())
        return -1;
    const int i = cboGroup->findText(cboGroup->currentText(), Qt::MatchFixedString);
    return i < 0 ? -1 : cboGroup->itemData(i).toInt();
}

void TfmQOrders::showQuote()
{
    DataSet &quotes = m_data.tParam;
    if (!quotes.Active() || quotes.IsEmpty()) {
        lbid->clear();
        loffer->clear();
        return;
    }
    // As the quotes grid shows them: the security's decimals, thousands separated.
    const QVariant digits = quotes.hasField(QStringLiteral("Digits")) ? quotes.FieldByName(QStringLiteral("Digits")) : QVariant();
    lbid->setText(FormatPrice(quotes.FieldByName(QStringLiteral("bid")), digits));
    loffer->setText(FormatPrice(quotes.FieldByName(QStringLiteral("offer")), digits));
}

void TfmQOrders::followQuotes()
{
    DataSet &quotes = m_data.tParam;
    if (!m_following && quotes.Active() && !quotes.IsEmpty()) {
        QSignalBlocker quiet(cboSecCode);
        cboSecCode->setCurrentIndex(cboSecCode->findData(quotes.FieldByName(QStringLiteral("seccode"))));
    }
    showQuote();
}

void TfmQOrders::chooseSecurity(int index)
{
    if (index < 0)
        return;
    // The security chosen becomes the current quotes row (the quotes grid follows).
    m_following = true;
    m_data.tParam.Locate(QStringLiteral("seccode"), cboSecCode->itemData(index));
    m_following = false;
    showQuote();
}

void TfmQOrders::markDirection()
{
    for (QPushButton *b : {btnLOng, btnShort}) {
        QFont f = b->font();
        f.setBold(b->isChecked());
        b->setFont(f);
    }
}

bool TfmQOrders::ValidateInput()
{
    bool valid = true;
    const QLocale locale;
    for (QLineEdit *e : {edtVol1, edtVol2, edtVol3, edtPart1, edtPart2, edtPart3, edtSet, edtSlippage}) {
        bool ok = false;
        locale.toDouble(e->text(), &ok);
        if (!ok) {
            Dialogs::information(this, QStringLiteral("Неверный ввод чисел!"));
            e->setFocus();
            valid = false;
            break;
        }
    }
    if (!btnLOng->isChecked() && !btnShort->isChecked()) {
        Dialogs::information(this, QStringLiteral("Выберите направление операции!"));
        valid = false;
    }
    if (cboGroup->currentText().isEmpty()) {
        Dialogs::information(this, QStringLiteral("Выберите группу клиентов!"));
        cboGroup->setFocus();
        valid = false;
    }
    return valid;
}

void TfmQOrders::ReadParam(QuickButton which, QLineEdit *box)
{
    if (!ValidateInput())
        return;
    DataSet &quotes = m_data.tParam;
    if (!quotes.Active() || quotes.IsEmpty())
        return;
    const QLocale locale;
    PreOrder = PrepareQuickOrder(quotes, which, btnLOng->isChecked(), groupKey(), locale.toDouble(edtSlippage->text()),
                                 box ? locale.toDouble(box->text()) : 0);
    // Sent without a confirmation, an order priced from a missing offer
    // would go out at 0 to the whole group.
    if (!QuickOrderNeedsDialog(PreOrder) && PreOrder.Price <= 0) {
        Dialogs::information(this, QStringLiteral("Нет цены предложения по инструменту ") + PreOrder.SecData.SecCode
                                       + QStringLiteral(": заявки не выставлены."));
        return;
    }
    emit orderPrepared();
}

bool TfmQOrders::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate || e->type() == QEvent::Show)
        followQuotes();
    if (e->type() == QEvent::Show)
        if (QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
    return QWidget::event(e);
}

bool TfmQOrders::eventFilter(QObject *watched, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonDblClick) {
        if (watched == loffer)
            ReadParam(QuickButton::OfferDoubleClick);
        else if (watched == lbid)
            ReadParam(QuickButton::BidDoubleClick);
    }
    return QWidget::eventFilter(watched, e);
}
