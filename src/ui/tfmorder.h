#pragma once

#include "gateway/orderrecords.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class Settings;
class TDatMod;

// The order dialog: the operator's new order, stop order or cancellation
// for a group of clients. Created once and reused; its caption tells what
// the order is, and its group box keeps its last choice between uses.
class TfmOrder : public QDialog {
    Q_OBJECT
public:
    static const QString NewOrderCaption;     // "Ввод заявки"
    static const QString NewStopOrderCaption; // "Ввод стоп-заявки"
    static const QString KillOrdersCaption;   // "Снятие ВСЕХ заявок по инструменту"
    static const QString KillStopOrdersCaption;

    TfmOrder(TDatMod &data, Settings &settings, QWidget *parent = nullptr);

    // The order the dialog edits.
    TPreOrder PreOrder;
    // Shows the order; `quickGroup` is the quick orders form's group (-1
    // when its box is empty), used when the order names no group.
    void FillDialog(const TPreOrder &P, qint32 quickGroup = -1);
    // Reads the entries into PreOrder; false (after its box) when they
    // cannot make an order.
    bool ApplyDialog();
    // Modal until OK with valid entries (P gets the order) or Отмена.
    bool ShowOrderDialog(TPreOrder &P);

    QLineEdit *edtStock = nullptr, *edtPrice = nullptr, *edtPriceFill = nullptr, *edtQty = nullptr;
    QComboBox *cboGroup = nullptr, *cboTypeQty = nullptr;
    QRadioButton *rbBuy = nullptr, *rbSell = nullptr;
    QGroupBox *boxOperation = nullptr, *gbPrice = nullptr, *gbPriceFill = nullptr, *gbQty = nullptr;
    QPushButton *btOk = nullptr, *btCancel = nullptr;

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void fillGroups();
    QButtonGroup *m_direction = nullptr; // rbBuy and rbSell
    TDatMod &m_data;
    Settings &m_settings;
};
