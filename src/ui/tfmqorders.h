#pragma once

#include "engine/manualorders.h"

#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Settings;
class TDatMod;

// The quick orders form: one click trades the current security for a whole
// client group. It only prepares the order (PreOrder); the main window's
// new-order routine takes it from there (orderPrepared).
class TfmQOrders : public QWidget {
    Q_OBJECT
public:
    TfmQOrders(TDatMod &data, Settings &settings, QWidget *parent = nullptr);

    TPreOrder PreOrder;

    // The three checks before any order: numbers, direction, group; each
    // failing one says so in its box.
    bool ValidateInput();
    // What a click (or a double click on the bid or the offer) does.
    void ReadParam(QuickButton button, QLineEdit *box = nullptr);
    // The group chosen in the form (-1 when its box is empty).
    qint32 groupKey() const;

    QPushButton *btnLOng = nullptr, *btnShort = nullptr, *btnOpen = nullptr, *btnClose = nullptr, *btnVol1 = nullptr,
                *btnVol2 = nullptr, *btnVol3 = nullptr, *btnPart1 = nullptr, *btnPart2 = nullptr, *btnPart3 = nullptr,
                *btnSet = nullptr;
    QLineEdit *edtVol1 = nullptr, *edtVol2 = nullptr, *edtVol3 = nullptr, *edtPart1 = nullptr, *edtPart2 = nullptr,
              *edtPart3 = nullptr, *edtSet = nullptr, *edtSlippage = nullptr;
    QComboBox *cboSecCode = nullptr, *cboGroup = nullptr;
    QLabel *lbid = nullptr, *loffer = nullptr;

signals:
    // PreOrder is ready for the main window's new-order routine.
    void orderPrepared();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fillSecurities();
    void fillGroups(qint32 chosen);
    void showQuote();
    void followQuotes();
    void chooseSecurity(int index);
    void markDirection();

    TDatMod &m_data;
    Settings &m_settings;
    bool m_following = false;
};
