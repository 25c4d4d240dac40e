#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

class ActivitySeries;
class QChart;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

// The four charts of the day's activity, drawn from the core's series: the
// orders and transactions per minute, the transactions by result per
// minute, and the two latencies (median and worst per minute). The page
// shows them and the report prints them; update() puts the series' points
// in place.
class ActivityCharts : public QObject {
    Q_OBJECT
public:
    explicit ActivityCharts(QObject *parent = nullptr);
    ~ActivityCharts() override;

    // The charts, in order; they belong to this object until a view takes them.
    const QList<QChart *> &charts() const { return m_charts; }
    // Puts the day's points of one strategy ("" all) into the charts. On
    // today's series the counts stop at the minute of `now`: the minutes
    // still to come have no figure yet (the axis may reach past them).
    void update(const ActivitySeries &series, const QString &strategy, const QDateTime &now = QDateTime::currentDateTime());
    // How many points the first chart's transactions line holds.
    int points() const;

private:
    struct Chart {
        QChart *chart = nullptr;
        QDateTimeAxis *x = nullptr;
        QValueAxis *y = nullptr;
        QList<QLineSeries *> lines;
    };
    Chart make(const QString &title, const QStringList &names, const QList<QColor> &colors);
    QList<Chart> m_parts;
    QList<QChart *> m_charts;
};
