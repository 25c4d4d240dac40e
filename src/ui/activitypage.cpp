#include "activitypage.h"

#include "activitycharts.h"

#include "engine/robot.h"

#include <QChartView>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

ActivityPage::ActivityPage(Robot &robot, QWidget *parent) : QWidget(parent), m_robot(robot)
{
    setObjectName(QStringLiteral("tshActivity"));
    m_charts = new ActivityCharts(this);

    cboActivityStrategy = new QComboBox(this);
    cboActivityStrategy->setObjectName(QStringLiteral("cboActivityStrategy"));
    cboActivityStrategy->setMinimumContentsLength(28);
    cboActivityStrategy->addItem(QStringLiteral("Все стратегии"), QString());
    connect(cboActivityStrategy, &QComboBox::currentIndexChanged, this, &ActivityPage::refresh);
    lblActivityTotals = new QLabel(this);
    lblActivityTotals->setObjectName(QStringLiteral("lblActivityTotals"));

    auto *bar = new QHBoxLayout;
    auto *caption = new QLabel(QStringLiteral("Стратегия:"), this);
    caption->setBuddy(cboActivityStrategy);
    bar->addWidget(caption);
    bar->addWidget(cboActivityStrategy);
    bar->addSpacing(16);
    bar->addWidget(lblActivityTotals);
    bar->addStretch(1);

    auto *grid = new QGridLayout;
    const char *names[] = {"chvActivityCounts", "chvActivityResults", "chvActivityFillLatency", "chvActivityAnswerLatency"};
    for (int i = 0; i < 4; ++i) {
        auto *view = new QChartView(m_charts->charts()[i], this);
        view->setObjectName(QLatin1String(names[i]));
        view->setRenderHint(QPainter::Antialiasing);
        view->setMinimumSize(300, 200);
        grid->addWidget(view, i / 2, i % 2);
    }
    auto *l = new QVBoxLayout(this);
    l->setContentsMargins(2, 2, 2, 2);
    l->addLayout(bar);
    l->addLayout(grid, 1);

    connect(&m_robot.desk().activity(), &ActivitySeries::changed, this, [this] {
        if (isVisible())
            refresh();
    });
}

void ActivityPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void ActivityPage::fillStrategies()
{
    const QStringList names = m_robot.desk().activity().strategies();
    for (const QString &n : names)
        if (cboActivityStrategy->findData(n) < 0)
            cboActivityStrategy->addItem(n, n);
}

void ActivityPage::refresh()
{
    const ActivitySeries &s = m_robot.desk().activity();
    {
        const QSignalBlocker block(cboActivityStrategy);
        fillStrategies();
    }
    m_charts->update(s, cboActivityStrategy->currentData().toString());
    const ActivitySeries::Tally t = s.total();
    lblActivityTotals->setText(QStringLiteral("За ") + s.day().toString(QStringLiteral("dd.MM.yyyy")) + QStringLiteral(": заявок ")
                               + QString::number(t.orders) + QStringLiteral(", транзакций ") + QString::number(t.transactions)
                               + QStringLiteral(", отвергнуто ") + QString::number(t.refused));
}
