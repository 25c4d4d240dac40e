#include "activitycharts.h"

#include "engine/activityseries.h"

#include <QChart>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QValueAxis>

#include <algorithm>

ActivityCharts::ActivityCharts(QObject *parent) : QObject(parent)
{
    setObjectName(QStringLiteral("ActivityCharts"));
    const QColor blue(0x1f, 0x5f, 0xbf), grey(0x60, 0x60, 0x60), green(0x1a, 0x8a, 0x2a), red(0xc0, 0, 0), orange(0xd0, 0x80, 0);
    m_parts << make(QStringLiteral("Заявки и транзакции в минуту"), {QStringLiteral("Заявки"), QStringLiteral("Транзакции")}, {grey, blue})
            << make(QStringLiteral("Транзакции по результату в минуту"),
                    {QStringLiteral("Исполнено"), QStringLiteral("Отправлено"), QStringLiteral("Отвергнуто")}, {green, orange, red})
            << make(QStringLiteral("От исполнения ордера до строки .tri, мс"), {QStringLiteral("Медиана"), QStringLiteral("Худшая")}, {blue, red})
            << make(QStringLiteral("От строки .tri до ответа терминала, мс"), {QStringLiteral("Медиана"), QStringLiteral("Худшая")}, {blue, red});
    for (const Chart &c : m_parts)
        m_charts << c.chart;
}

ActivityCharts::~ActivityCharts()
{
    // A chart a view took is the view's.
    for (QChart *c : m_charts)
        if (!c->scene())
            delete c;
}

ActivityCharts::Chart ActivityCharts::make(const QString &title, const QStringList &names, const QList<QColor> &colors)
{
    Chart c;
    c.chart = new QChart;
    c.chart->setTitle(title);
    c.chart->legend()->setAlignment(Qt::AlignBottom);
    c.chart->setMargins(QMargins(4, 4, 4, 4));
    c.x = new QDateTimeAxis;
    c.x->setFormat(QStringLiteral("HH:mm"));
    c.x->setTickCount(7);
    c.y = new QValueAxis;
    c.y->setLabelFormat(QStringLiteral("%d"));
    c.chart->addAxis(c.x, Qt::AlignBottom);
    c.chart->addAxis(c.y, Qt::AlignLeft);
    for (int i = 0; i < names.size(); ++i) {
        auto *line = new QLineSeries;
        line->setName(names[i]);
        line->setColor(colors.value(i));
        // A minute alone between empty ones is a point, not a line.
        line->setPointsVisible(true);
        line->setMarkerSize(7);
        c.chart->addSeries(line);
        line->attachAxis(c.x);
        line->attachAxis(c.y);
        c.lines << line;
    }
    return c;
}

int ActivityCharts::points() const { return int(m_parts[0].lines[1]->count()); }

void ActivityCharts::update(const ActivitySeries &series, const QString &strategy, const QDateTime &now)
{
    const QDateTime day(series.day(), QTime(0, 0));
    int first = series.firstMinute(), last = series.lastMinute();
    if (first < 0) {
        // Nothing yet: the hour now.
        first = now.time().hour() * 60;
        last = first + 59;
    }
    // The last minute that has a figure: today's minute now, a past day's end.
    const int counted = series.day() == now.date() ? now.time().hour() * 60 + now.time().minute()
        : series.day() < now.date()                ? ActivitySeries::Minutes - 1
                                                   : -1;
    // At least ten minutes across, a minute either side.
    first = std::max(0, first - 1);
    last = std::min(ActivitySeries::Minutes - 1, std::max(last + 1, first + 10));
    QList<QList<QPointF>> points(9);
    double top[4] = {1, 1, 1, 1};
    for (int i = first; i <= last; ++i) {
        const ActivitySeries::Minute &m = series.minute(strategy, i);
        const double x = double(day.addSecs(i * 60).toMSecsSinceEpoch());
        auto put = [&](int chart, int line, double y) {
            points[chart == 0 ? line : chart == 1 ? 2 + line : chart == 2 ? 5 + line : 7 + line].append(QPointF(x, y));
            top[chart] = std::max(top[chart], y);
        };
        if (i > counted)
            break;
        put(0, 0, m.orders);
        put(0, 1, m.transactions);
        put(1, 0, m.done);
        put(1, 1, m.sent);
        put(1, 2, m.refused);
        // Latencies only where there is one.
        if (!m.fillToLine.empty()) {
            put(2, 0, double(ActivitySeries::median(m.fillToLine)));
            put(2, 1, double(ActivitySeries::worst(m.fillToLine)));
        }
        if (!m.lineToAnswer.empty()) {
            put(3, 0, double(ActivitySeries::median(m.lineToAnswer)));
            put(3, 1, double(ActivitySeries::worst(m.lineToAnswer)));
        }
    }
    int k = 0;
    for (int c = 0; c < m_parts.size(); ++c) {
        Chart &part = m_parts[c];
        for (QLineSeries *line : part.lines)
            line->replace(points[k++]);
        part.x->setRange(day.addSecs(first * 60), day.addSecs(last * 60));
        part.y->setRange(0, top[c] * 1.1);
        part.y->applyNiceNumbers();
    }
}
