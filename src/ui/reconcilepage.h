#pragma once

#include <QWidget>

class DataGrid;
class QAction;
class QCheckBox;
class QLabel;
class Robot;

// The page "Сверка": the robot's book against the terminals' balances, per
// client and security, the differences first and in red, with since when
// each has lasted; the operator may align the book with the terminal for
// the selected row.
class ReconcilePage : public QWidget {
    Q_OBJECT
public:
    explicit ReconcilePage(Robot &robot, QWidget *parent = nullptr);

    DataGrid *grid() const { return m_grid; }
    QAction *alignAction() const { return actReconcileAlign; }

    // "Выровнять по терминалу...": asks, naming the client, the security and
    // both figures, then rewrites the book's rows for the selected row.
    void alignSelected();

private:
    void showCount();

    Robot &m_robot;
    DataGrid *m_grid = nullptr;
    QCheckBox *chReconcileDiffOnly = nullptr;
    QLabel *lblReconcileCount = nullptr;
    QAction *actReconcileAlign = nullptr;
};
