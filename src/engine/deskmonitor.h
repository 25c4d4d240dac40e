#pragma once

#include "activityseries.h"
#include "reconciliation.h"

#include <QDateTime>
#include <QObject>

#include <functional>

class Settings;
class TDatMod;

// What the desk watches beside the robot's own work, at the pace of the
// terminal data tick: the reconciliation of the robot's book with the
// terminals, the day's activity from the history, and the day's report
// mailed at `[Mail] ReportAt`.
class DeskMonitor : public QObject {
    Q_OBJECT
public:
    DeskMonitor(Settings &settings, TDatMod &data, QObject *parent = nullptr);

    Reconciliation &reconciliation() { return m_reconcile; }
    ActivitySeries &activity() { return m_activity; }

    // At every connection: the reconciliation's statement for the mode and
    // terminals now in force; the day's activity read again.
    void Prepare(AccountMode mode, const QVector<TQuikTerminal> &terminals);
    // The terminal data tick. `now` decides whether the report is due.
    void Tick(const QDateTime &now = QDateTime::currentDateTime());

    // The time of day the report goes out; invalid when `ReportAt` is empty
    // or not a time "HH:MM".
    static QTime reportTime(const QString &setting);
    // The report as mail text: the day's totals and a line per strategy.
    static QString ReportText(const ActivitySeries &series, const QString &pdfPath);
    // Writes the day's PDF report and gives its path ("" when it could not);
    // set by the window, which can draw it.
    std::function<QString(QDate)> reportWriter;

signals:
    void notify(const QString &text);

private:
    void checkReport(const QDateTime &now);

    Settings &m_settings;
    TDatMod &m_data;
    Reconciliation m_reconcile;
    ActivitySeries m_activity;
    QDateTime m_lastTick;
    bool m_activityFailed = false;
};
