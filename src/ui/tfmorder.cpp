#include "tfmorder.h"

#include "config/settings.h"
#include "data/datmod.h"
#include "datagrid.h"
#include "dialogs.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

#include <cmath>

const QString TfmOrder::NewOrderCaption = QStringLiteral("Ввод заявки");
const QString TfmOrder::NewStopOrderCaption = QStringLiteral("Ввод стоп-заявки");
const QString TfmOrder::KillOrdersCaption = QStringLiteral("Снятие ВСЕХ заявок по инструменту");
const QString TfmOrder::KillStopOrdersCaption = QStringLiteral("Снятие ВСЕХ стоп-заявок по инструменту");

namespace {

QGroupBox *box(const char *name, const QString &caption, QWidget *content)
{
    auto *g = new QGroupBox(caption);
    g->setObjectName(QLatin1String(name));
    auto *l = new QHBoxLayout(g);
    l->addWidget(content);
    return g;
}

QLineEdit *edit(const char *name, bool bold = false)
{
    auto *e = new QLineEdit;
    e->setObjectName(QLatin1String(name));
    if (bold) {
        QFont f = e->font();
        f.setBold(true);
        e->setFont(f);
    }
    return e;
}

} // namespace

TfmOrder::TfmOrder(TDatMod &data, Settings &settings, QWidget *parent) : QDialog(parent), m_data(data), m_settings(settings)
{
    setObjectName(QStringLiteral("fmOrder"));
    setWindowTitle(NewOrderCaption);
    // Above the quick orders form, which stays on top of other windows.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint
                   | Qt::WindowStaysOnTopHint);
    setModal(true);

    edtStock = edit("edtStock");
    edtStock->setReadOnly(true);
    cboGroup = new QComboBox;
    cboGroup->setObjectName(QStringLiteral("cboGroup"));
    cboGroup->setMinimumWidth(120);
    auto *top = new QHBoxLayout;
    top->addWidget(box("gbStock", QStringLiteral(" Инструмент "), edtStock), 3);
    top->addWidget(box("gbGroup", QStringLiteral(" Группа "), cboGroup), 2);

    boxOperation = new QGroupBox;
    boxOperation->setObjectName(QStringLiteral("boxOperation"));
    rbBuy = new QRadioButton(QStringLiteral("ПОКУПКА"));
    rbBuy->setObjectName(QStringLiteral("rbBuy"));
    rbSell = new QRadioButton(QStringLiteral("ПРОДАЖА"));
    rbSell->setObjectName(QStringLiteral("rbSell"));
    for (QRadioButton *r : {rbBuy, rbSell}) {
        QFont f = r->font();
        f.setBold(true);
        r->setFont(f);
    }
    auto *operation = new QHBoxLayout(boxOperation);
    operation->addWidget(rbBuy);
    operation->addWidget(rbSell);
    // At most one of the two; FillDialog clears both for every new order.
    m_direction = new QButtonGroup(this);
    m_direction->addButton(rbBuy);
    m_direction->addButton(rbSell);

    edtPrice = edit("edtPrice", true);
    edtPriceFill = edit("edtPriceFill");
    gbPrice = box("gbPrice", QStringLiteral(" Цена  "), edtPrice);
    gbPriceFill = box("gbPriceFill", QStringLiteral(" Цена  исполнения"), edtPriceFill);
    auto *prices = new QHBoxLayout;
    prices->addWidget(gbPrice);
    prices->addWidget(gbPriceFill);

    edtQty = edit("edtQty", true);
    cboTypeQty = new QComboBox;
    cboTypeQty->setObjectName(QStringLiteral("cboTypeQty"));
    for (QuantityMode m : {QuantityMode::Accounts, QuantityMode::Positions, QuantityMode::SetPosition})
        cboTypeQty->addItem(QuantityModeText(m));
    gbQty = new QGroupBox(QStringLiteral(" Кол-во (%) "));
    gbQty->setObjectName(QStringLiteral("gbQty"));
    auto *qty = new QHBoxLayout(gbQty);
    qty->addWidget(edtQty);
    qty->addWidget(cboTypeQty);

    // Named by their groups' captions, for screen readers and scripted checks.
    edtStock->setAccessibleName(QStringLiteral("Инструмент"));
    cboGroup->setAccessibleName(QStringLiteral("Группа"));
    boxOperation->setAccessibleName(QStringLiteral("Направление"));
    edtPrice->setAccessibleName(QStringLiteral("Цена"));
    edtPriceFill->setAccessibleName(QStringLiteral("Цена исполнения"));
    edtQty->setAccessibleName(QStringLiteral("Кол-во (%)"));
    cboTypeQty->setAccessibleName(QStringLiteral("Тип количества"));

    btOk = new QPushButton(QStringLiteral("OK"));
    btOk->setObjectName(QStringLiteral("btOk"));
    btOk->setDefault(true);
    btCancel = new QPushButton(QStringLiteral("Отмена"));
    btCancel->setObjectName(QStringLiteral("btCancel"));
    connect(btOk, &QPushButton::clicked, this, &TfmOrder::accept);
    connect(btCancel, &QPushButton::clicked, this, &TfmOrder::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btOk);
    buttons->addWidget(btCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(boxOperation);
    layout->addLayout(prices);
    layout->addWidget(gbQty);
    layout->addSpacing(5);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setMinimumWidth(296);
}

void TfmOrder::fillGroups()
{
    const QVariant chosen = cboGroup->currentData();
    FillLookupBox(cboGroup, m_data.tGroup, QStringLiteral("id_group"), QStringLiteral("group"));
    cboGroup->setCurrentIndex(chosen.isValid() ? cboGroup->findData(chosen) : -1);
}

void TfmOrder::FillDialog(const TPreOrder &P, qint32 quickGroup)
{
    PreOrder = P;
    fillGroups();
    const bool order = !P.KillOrders;
    for (QWidget *w : {static_cast<QWidget *>(boxOperation), static_cast<QWidget *>(gbPrice), static_cast<QWidget *>(gbPriceFill),
                       static_cast<QWidget *>(gbQty)})
        w->setVisible(order);

    const QLocale locale;
    edtStock->setText(P.SecData.Stock);
    edtPrice->setText(FormatOrderPrice(P.SecData, P.Last));
    edtPriceFill->setText(locale.toString(0.0, 'f', 2));
    cboTypeQty->setCurrentIndex(0);
    // Neither direction chosen: an exclusive group refuses to uncheck its
    // checked button, so it stops being exclusive while both are cleared.
    m_direction->setExclusive(false);
    rbBuy->setChecked(false);
    rbSell->setChecked(false);
    m_direction->setExclusive(true);
    const QString type = P.OrderType;
    if (type == QLatin1String("LX") || type == QLatin1String("SE")) {
        edtPrice->setText(FormatOrderPrice(P.SecData, (1 - P.SlipRate) * P.Bid));
        rbSell->setChecked(true);
    } else if (type == QLatin1String("LE") || type == QLatin1String("SX")) {
        edtPrice->setText(FormatOrderPrice(P.SecData, (1 + P.SlipRate) * P.Offer));
        rbBuy->setChecked(true);
    }
    if (type == QLatin1String("LX") || type == QLatin1String("SX"))
        cboTypeQty->setCurrentIndex(1);
    else if (type == QLatin1String("LE") || type == QLatin1String("SE"))
        cboTypeQty->setCurrentIndex(0);
    if (P.QtyMode == QuantityMode::SetPosition)
        cboTypeQty->setCurrentIndex(2);
    edtQty->setText(locale.toString(P.Share, 'g', 15));
    if (P.GroupId != -1)
        cboGroup->setCurrentIndex(cboGroup->findData(P.GroupId));
    else if (quickGroup != -1)
        cboGroup->setCurrentIndex(cboGroup->findData(quickGroup));
    edtPriceFill->setEnabled(windowTitle() == NewStopOrderCaption);
    adjustSize();
}

bool TfmOrder::ApplyDialog()
{
    const QVariant group = cboGroup->currentIndex() >= 0 ? cboGroup->currentData() : QVariant();
    if (PreOrder.KillOrders) {
        // Cancelling for nobody or for everybody unasked is no choice: in
        // MULTI mode, where the group decides who is served, one is asked for.
        if (!group.isValid() && m_settings.accountMode() == AccountMode::Multi) {
            Dialogs::information(this, QStringLiteral("Выберите группу клиентов!"));
            cboGroup->setFocus();
            return false;
        }
        PreOrder.GroupId = group.isValid() ? group.toInt() : -1;
        return true;
    }
    if (rbBuy->isChecked())
        PreOrder.Operation = QStringLiteral("B");
    else if (rbSell->isChecked())
        PreOrder.Operation = QStringLiteral("S");
    else {
        Dialogs::information(this, QStringLiteral("Выберите направление операции!"));
        return false;
    }
    const QLocale locale;
    bool priceOk = false, fillOk = true, shareOk = false;
    const double price = locale.toDouble(edtPrice->text(), &priceOk);
    if (windowTitle() == NewStopOrderCaption) {
        const double fill = locale.toDouble(edtPriceFill->text(), &fillOk);
        PreOrder.Price = fill;
        PreOrder.StopPrice = price;
        PreOrder.StopOrder = true;
        // The trigger must be a price; the execution price may stay 0.
        fillOk = fillOk && std::isfinite(fill) && fill >= 0;
    } else {
        PreOrder.Price = price;
    }
    const double share = locale.toDouble(edtQty->text(), &shareOk);
    PreOrder.Share = share;
    PreOrder.GroupId = group.isValid() ? group.toInt() : -1;
    // A share of the account or of the position must be above zero; a
    // target position may be 0 (closed) or below (a short).
    const bool target = QuantityModeOf(cboTypeQty->currentText()) == QuantityMode::SetPosition;
    const bool shareFits = std::isfinite(share) && (target || share > 0);
    // A price of zero would go out to every member of the group. The locale
    // reads "nan" and "inf" as numbers: no price or quantity is either.
    if (!priceOk || !fillOk || !shareOk || !std::isfinite(price) || price <= 0 || !shareFits) {
        Dialogs::information(this, QStringLiteral("Неверный ввод числового поля!"));
        return false;
    }
    // In MULTI mode the group decides who gets the order; in SINGLE mode it
    // goes to the one account whatever the group.
    if (!group.isValid() && m_settings.accountMode() == AccountMode::Multi) {
        Dialogs::information(this, QStringLiteral("Выберите группу клиентов!"));
        cboGroup->setFocus();
        return false;
    }
    PreOrder.QtyMode = QuantityModeOf(cboTypeQty->currentText());
    return true;
}

void TfmOrder::accept()
{
    // Entries that make no order: the dialog stays with what was typed.
    if (ApplyDialog())
        QDialog::accept();
}

bool TfmOrder::ShowOrderDialog(TPreOrder &P)
{
    if (exec() != QDialog::Accepted)
        return false;
    P = PreOrder;
    return true;
}

void TfmOrder::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    if (gbQty->isVisible()) {
        edtQty->setFocus();
        edtQty->selectAll();
    }
}
