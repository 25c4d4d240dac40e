#pragma once

#include <QWidget>

class ActivityCharts;
class QComboBox;
class QLabel;
class Robot;

// The page "Активность": the day's activity as four charts, for every
// strategy together or one strategy chosen; it follows the day while shown.
class ActivityPage : public QWidget {
    Q_OBJECT
public:
    explicit ActivityPage(Robot &robot, QWidget *parent = nullptr);

    ActivityCharts *charts() const { return m_charts; }
    // Draws the charts again from the series (when shown).
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void fillStrategies();

    Robot &m_robot;
    ActivityCharts *m_charts = nullptr;
    QComboBox *cboActivityStrategy = nullptr;
    QLabel *lblActivityTotals = nullptr;
};
