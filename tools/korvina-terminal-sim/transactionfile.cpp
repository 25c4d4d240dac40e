#include "transactionfile.h"

#include "config/textcodec.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace termsim {

QByteArray fileIdentity(const QString &path)
{
    // A file deleted and made anew often gets the number of the old one back,
    // so its birth time (where the file system keeps one) is part of it.
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    const QDateTime born = info.birthTime();
    QByteArray id = born.isValid() ? QByteArray::number(born.toMSecsSinceEpoch()) : QByteArray("-");
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    id += ':' + QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ':'
        + QByteArray::number(static_cast<qulonglong>(st.st_ino));
#endif
    return id;
}

QList<QByteArray> ImportFollower::poll(bool *restarted, QString *error)
{
    *restarted = false;
    const QByteArray identity = fileIdentity(m_path);
    if (identity.isEmpty()) {
        // Gone (the robot recreates its file sets at every connection).
        if (m_seen)
            *restarted = true;
        m_seen = false;
        m_offset = 0;
        return {};
    }
    const qint64 size = QFileInfo(m_path).size();
    if (!m_seen || identity != m_identity || size < m_offset) {
        if (m_seen)
            *restarted = true;
        m_seen = true;
        m_identity = identity;
        m_offset = 0;
    }
    if (size == m_offset)
        return {};

    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    if (!file.seek(m_offset)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    const QByteArray tail = file.readAll();
    file.close();

    const qsizetype end = tail.lastIndexOf('\n');
    if (end < 0)
        return {};
    m_offset += end + 1;

    QList<QByteArray> lines = tail.left(end).split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    return lines;
}

QMap<QString, QString> parseItems(const QString &line)
{
    QMap<QString, QString> items;
    for (const QString &item : line.split(QLatin1Char(';'))) {
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = item.left(eq).trimmed().toUpper();
        if (key.isEmpty())
            continue;
        items.insert(key, item.mid(eq + 1).trimmed());
    }
    return items;
}

namespace {

QString plainText(QString text)
{
    text.replace(QLatin1Char(';'), QLatin1Char(','));
    text.replace(QLatin1Char('='), QLatin1Char(' '));
    text.replace(QLatin1Char('"'), QLatin1Char('\''));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace

QByteArray resultLine(const Result &r)
{
    const QString line = QStringLiteral("TRANS_ID=") + QString::number(r.transId) + QStringLiteral(";STATUS=")
        + QString::number(r.status) + QStringLiteral(";TRANS_NAME=\"") + plainText(r.transName)
        + QStringLiteral("\";DESCRIPTION=\"") + plainText(r.description) + QStringLiteral("\";ORDER_NUMBER=")
        + QString::number(r.orderNumber) + QStringLiteral(";\r\n");
    return cp1251::encode(line);
}

bool parseNumber(const QString &text, double *value)
{
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (ok)
        *value = v;
    return ok;
}

} // namespace termsim
