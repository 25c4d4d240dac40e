#include "operationlog.h"

#include "korvinaerror.h"
#include <algorithm>
#include "textcodec.h"

#include <QFileInfo>
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
    // Kept with its full path: the working directory may change later.
    m_file.setFileName(QFileInfo(fileName).absoluteFilePath());
    // Unbuffered: after a failed write the file's size tells exactly what
    // reached it.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    // The log names clients, accounts and orders: its owner's alone, also
    // when an older one was readable by others.
    m_file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

void OperationLog::close()
{
    if (!m_file.isOpen())
        return;
    FlushLog(); // what cannot be written stays on screen
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
    // A run of weeks does not keep every line in memory: the oldest lines
    // already in the file go, a thousand at a time.
    if (m_lines.size() > MaxScreenLines + 1000) {
        const int drop = std::min<int>(m_lines.size() - MaxScreenLines, m_loggedLines);
        if (drop > 0) {
            m_lines.remove(0, drop);
            m_loggedLines -= drop;
        }
    }
}

bool OperationLog::FlushLog()
{
    if (m_loggedLines >= m_lines.size() && m_partial.isEmpty())
        return true;
    QString error;
    if (!m_file.isOpen()) {
        error = QStringLiteral("Файл журнала ") + m_file.fileName() + QStringLiteral(" не открыт");
    } else {
        // The bytes of every line not yet in the file, and where each ends.
        QByteArray batch = m_partial;
        QList<qsizetype> ends;
        int first = m_loggedLines;
        if (!m_partial.isEmpty()) {
            ends << batch.size();
            ++first;
        }
        for (int i = first; i < m_lines.size(); ++i) {
            batch += cp1251::encode(m_lines[i]);
            batch += "\r\n";
            ends << batch.size();
        }
        const qint64 before = m_file.size();
        // A short write says nothing of why; the next one fails with the reason.
        qint64 n = 0;
        while (n < batch.size()) {
            const qint64 w = m_file.write(batch.constData() + n, batch.size() - n);
            if (w <= 0)
                break;
            n += w;
        }
        if (n == batch.size() && m_file.flush()) {
            m_loggedLines = m_lines.size();
            m_partial.clear();
            if (!m_failure.isEmpty()) {
                m_failure.clear();
                emit writeRecovered();
            }
            return true;
        }
        error = QStringLiteral("Ошибка записи в файл журнала ") + m_file.fileName() + QStringLiteral(": ") + m_file.errorString();
        // What reached the file stays there and is not written again: the
        // lines written whole count as written, the rest of a line cut short
        // is what the next write starts with.
        const qint64 written = std::clamp<qint64>(m_file.size() - before, 0, batch.size());
        int whole = 0;
        while (whole < ends.size() && ends[whole] <= written)
            ++whole;
        const qsizetype lineStart = whole == 0 ? 0 : ends[whole - 1];
        if (whole > 0) {
            m_loggedLines += whole;
            m_partial.clear();
        }
        if (whole < ends.size() && written > lineStart)
            m_partial = batch.mid(written, ends[whole] - written);
    }
    if (m_failure != error) {
        m_failure = error;
        emit writeFailed(error);
    }
    return false;
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
