#pragma once

#include <QDialog>

class DataGrid;
class NavigatorBar;
class TDatMod;

// The clients editor: every client account of QuikData in one grid, edited
// in place. OK posts the row still being edited; Отмена and the close box
// drop its change. Rows posted before stay.
class TfmClients : public QDialog {
    Q_OBJECT
public:
    explicit TfmClients(TDatMod &data, QWidget *parent = nullptr);

    DataGrid *grdClients = nullptr;
    NavigatorBar *nbClients = nullptr;

public slots:
    void accept() override;
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    TDatMod &m_data;
};

// The client groups editor, beside the main window: the groups on the
// left, the members of the group chosen on the right.
class TfmGroup : public QWidget {
    Q_OBJECT
public:
    explicit TfmGroup(TDatMod &data, QWidget *parent = nullptr);

    DataGrid *grdGroup = nullptr, *grdGroupClients = nullptr;
    NavigatorBar *nbGroup = nullptr, *nbGroupClients = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The members shown are those of the group on the current row.
    void followGroup();

    TDatMod &m_data;
};
