#include "operationlog.h"

#include "korvinaerror.h"
#include "textcodec.h"

#include <QRegularExpression>

namespace {
OperationLog *g_current = nullptr;

QString fourDigitYear(QString format)
{
    if (format.contains(QLatin1String("yyyy")))
        return format;
    return format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
}

QString withSeconds(QString format)
{
    if (format.contains(QLatin1String("ss")))
        return format;
    int at = format.indexOf(QLatin1String("mm"));
    if (at < 0)
        return format + QLatin1String(":ss");
    return format.insert(at + 2, QLatin1String(":ss"));
}
} // namespace

OperationLog::OperationLog(QObject *parent)
    : QObject(parent), m_locale(QLocale())
{
}

OperationLog::~OperationLog()
{
    if (g_current == this)
        g_current = nullptr;
    if (m_file.isOpen())
        m_file.close();
}

bool OperationLog::open(const QString &fileName, QString *error)
{
    if (m_file.isOpen())
        m_file.close();
    m_file.setFileName(fileName);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    return true;
}

void OperationLog::close()
{
    if (!m_file.isOpen())
        return;
    try {
        FlushLog();
    } catch (const std::exception &) {
        // The file is closed all the same; the lines stay on screen.
    }
    m_file.close();
}

QString OperationLog::timestamp(const QDateTime &when) const
{
    return m_locale.toString(when.date(), fourDigitYear(m_locale.dateFormat(QLocale::ShortFormat))) + QLatin1Char(' ')
        + m_locale.toString(when.time(), withSeconds(m_locale.timeFormat(QLocale::ShortFormat)));
}

void OperationLog::AddLog(const QString &text)
{
    static const QRegularExpression breaks(QStringLiteral("\r\n|\n|\r"));
    const bool oneLine = !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'));
    const QStringList parts = oneLine ? QStringList{text} : text.split(breaks);
    // Lines come in bursts: the stamp is formatted once per second.
    // (The local time is worked out only when the second has changed.)
    const qint64 second = m_clock ? m_clock().toSecsSinceEpoch() : QDateTime::currentSecsSinceEpoch();
    if (second != m_stampSecond || m_stampText.isEmpty()) {
        m_stampSecond = second;
        m_stampText = timestamp(m_clock ? m_clock() : QDateTime::currentDateTime());
    }
    for (int i = 0; i < parts.size(); ++i) {
        QString line = i == 0 ? m_stampText + QLatin1Char(' ') + parts[i] : parts[i];
        m_lines.append(line);
        emit lineAdded(line);
    }
}

void OperationLog::FlushLog()
{
    if (m_loggedLines >= m_lines.size())
        return;
    if (!m_file.isOpen())
        throw KorvinaError(QStringLiteral("Файл журнала ") + m_file.fileName() + QStringLiteral(" не открыт"));
    QByteArray batch;
    for (int i = m_loggedLines; i < m_lines.size(); ++i) {
        batch += cp1251::encode(m_lines[i]);
        batch += "\r\n";
    }
    if (m_file.write(batch) != batch.size() || !m_file.flush())
        throw KorvinaError(QStringLiteral("Ошибка записи в файл журнала ") + m_file.fileName() + QStringLiteral(": ")
                           + m_file.errorString());
    m_loggedLines = m_lines.size();
}

OperationLog *OperationLog::current() { return g_current; }
void OperationLog::setCurrent(OperationLog *log) { g_current = log; }

void AddLog(const QString &text)
{
    if (g_current)
        g_current->AddLog(text);
}

void FlushLog()
{
    if (g_current)
        g_current->FlushLog();
}
