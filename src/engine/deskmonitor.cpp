#include "deskmonitor.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"

namespace {

QString msText(qint64 ms) { return ms < 0 ? QStringLiteral("—") : QString::number(ms) + QStringLiteral(" мс"); }

} // namespace

DeskMonitor::DeskMonitor(Settings &settings, TDatMod &data, QObject *parent)
    : QObject(parent), m_settings(settings), m_data(data), m_reconcile(settings, data)
{
    setObjectName(QStringLiteral("DeskMonitor"));
    connect(&m_reconcile, &Reconciliation::notify, this, &DeskMonitor::notify);
}

void DeskMonitor::Prepare(AccountMode mode, const QVector<TQuikTerminal> &terminals)
{
    try {
        m_reconcile.Prepare(mode, terminals);
    } catch (const std::exception &e) {
        // The robot trades on without it.
        AddLog(QStringLiteral("Сверка позиций робота с терминалами не открыта: ") + failureText(e));
    }
    m_activity.reset(QDate::currentDate());
    Tick();
}

void DeskMonitor::Tick(const QDateTime &now)
{
    if (!m_data.conQuikData.isOpen())
        return;
    m_reconcile.Refresh();
    try {
        m_activity.Update(m_data.conQuikData, &m_data.conOmega, true);
        if (m_activityFailed)
            AddLog(QStringLiteral("История транзакций снова читается для страницы \"Активность\"."));
        m_activityFailed = false;
    } catch (const std::exception &e) {
        // Told once while it lasts; the series stay as they were.
        if (!m_activityFailed)
            AddLog(QStringLiteral("История транзакций не прочитана для страницы \"Активность\": ") + failureText(e));
        m_activityFailed = true;
    }
    checkReport(now);
}

QTime DeskMonitor::reportTime(const QString &setting)
{
    const QString s = setting.trimmed();
    if (s.isEmpty())
        return {};
    return QTime::fromString(s, QStringLiteral("H:mm"));
}

void DeskMonitor::checkReport(const QDateTime &now)
{
    const QDateTime last = m_lastTick;
    m_lastTick = now;
    const QTime at = reportTime(m_settings.edtReportAt);
    if (!at.isValid() || !last.isValid())
        return;
    // Once a day, when a tick passes the time (not at a start after it).
    const QDateTime due(now.date(), at);
    if (!(last < due && due <= now))
        return;
    const QString day = m_activity.day().toString(QStringLiteral("dd.MM.yyyy"));
    const QString name = ReportFileName(m_activity.day());
    QString error;
    QByteArray pdf;
    if (!reportRenderer) {
        error = QStringLiteral("отчет в PDF здесь не рисуется");
    } else {
        try {
            pdf = reportRenderer(m_activity, &error);
        } catch (const std::exception &e) {
            pdf.clear();
            error = failureText(e);
        }
        if (pdf.isEmpty() && error.isEmpty())
            error = QStringLiteral("отчет в PDF не нарисован");
    }
    if (pdf.isEmpty()) {
        AddLog(QStringLiteral("Дневной отчет за ") + day + QStringLiteral(" отправляется по почте без PDF: ") + error + QLatin1Char('.'));
        emit report(ReportText(m_activity, QString(), error), {});
    } else {
        AddLog(QStringLiteral("Дневной отчет за ") + day + QStringLiteral(" отправляется по почте, PDF во вложении: ") + name
               + QLatin1Char('.'));
        emit report(ReportText(m_activity, name), {MailAttachment{name, "application/pdf", pdf}});
    }
    FlushLog();
}

QString DeskMonitor::ReportFileName(QDate day)
{
    return QStringLiteral("Korvina-report-") + day.toString(Qt::ISODate) + QStringLiteral(".pdf");
}

QString DeskMonitor::ReportText(const ActivitySeries &series, const QString &pdfName, const QString &noPdfReason)
{
    const ActivitySeries::Tally t = series.total();
    QString text = QStringLiteral("Дневной отчет Korvina за ") + series.day().toString(QStringLiteral("dd.MM.yyyy")) + QStringLiteral(": заявок ")
        + QString::number(t.orders) + QStringLiteral(", транзакций ") + QString::number(t.transactions) + QStringLiteral(", отвергнуто ")
        + QString::number(t.refused) + QStringLiteral(", худшая задержка до строки ") + msText(t.worstFillToLine)
        + QStringLiteral(", до ответа терминала ") + msText(t.worstLineToAnswer) + QLatin1Char('.');
    for (const ActivitySeries::Tally &s : series.byStrategy())
        text += QStringLiteral("\r\n") + s.name + QStringLiteral(": заявок ") + QString::number(s.orders) + QStringLiteral(", транзакций ")
            + QString::number(s.transactions) + QStringLiteral(", отвергнуто ") + QString::number(s.refused) + QLatin1Char('.');
    if (!pdfName.isEmpty())
        text += QStringLiteral("\r\nОтчет в PDF во вложении: ") + pdfName + QLatin1Char('.');
    else if (!noPdfReason.isEmpty())
        text += QStringLiteral("\r\nОтчет в PDF не приложен: ") + noPdfReason + QLatin1Char('.');
    return text;
}
