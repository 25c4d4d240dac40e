#pragma once

#include "activityseries.h"
#include "reconciliation.h"

#include "monitor/smtpnotifier.h"

#include <QDateTime>
#include <QObject>

#include <functional>

class Settings;
class TDatMod;

// What the desk watches beside the robot's own work, at the pace of the
// terminal data tick: the reconciliation of the robot's book with the
// terminals, the day's activity from the history, and the day's report
// mailed at `[Mail] ReportAt` (its totals as the text, its PDF attached).
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
    // The report as mail text: the day's totals and a line per strategy,
    // then the name of the PDF attached, or why there is none.
    static QString ReportText(const ActivitySeries &series, const QString &pdfName, const QString &noPdfReason = QString());
    // The name the day's PDF report goes under: Korvina-report-YYYY-MM-DD.pdf.
    static QString ReportFileName(QDate day);
    // Draws the day's report as a PDF and gives its bytes; empty, with the
    // reason in *error, when it cannot. Set where the charts can be drawn
    // (they need a QApplication): by the window, and by the program
    // running without one on the offscreen platform.
    std::function<QByteArray(const ActivitySeries &series, QString *error)> reportRenderer;

signals:
    void notify(const QString &text);
    // The day's report to mail: its text and the files attached (the PDF,
    // when it could be drawn).
    void report(const QString &text, const QList<MailAttachment> &attachments);

private:
    void checkReport(const QDateTime &now);

    Settings &m_settings;
    TDatMod &m_data;
    Reconciliation m_reconcile;
    ActivitySeries m_activity;
    QDateTime m_lastTick;
    bool m_activityFailed = false;
};
