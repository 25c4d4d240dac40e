// The robot's watch on the terminal's link to the broker's server, and its
// status bar.

#include "linkmonitor.h"

#include "config/operationlog.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {
const QString LinkLost = QStringLiteral("Соединение разорвано");
const QString LinkRestored = QStringLiteral("Соединение установлено");
} // namespace

qint64 LinkMonitor::GetInfoLogSize(const QString &path)
{
    // The size from the file's attributes: the file is never opened for
    // reading, however large it grows and whoever holds it.
    qint64 size = 0;
    if (!path.isEmpty()) {
        struct stat st {};
        const QByteArray name = QFile::encodeName(path);
        if (::stat(name.constData(), &st) == 0) {
            if (S_ISREG(st.st_mode))
                size = static_cast<qint64>(st.st_size);
        } else if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
            // Missing or forbidden is simply no data; anything else is a
            // fault worth a line (a loop of links, an I/O error).
            AddLog(QStringLiteral("Невозможно открыть файл ") + path);
        }
    }
    FlushLog();
    return size;
}

QString LinkMonitor::Check(const QString &path)
{
    const qint64 size = GetInfoLogSize(path);
    const bool missing = path.isEmpty() || !QFileInfo::exists(path);
    if (missing && !m_missingLogged) {
        m_missingLogged = true;
        AddLog(QStringLiteral("Файл info.log терминала не найден: ") + (path.isEmpty() ? QStringLiteral("путь не задан") : path)
               + QStringLiteral("; связь терминала с сервером не определяется."));
    } else if (!missing && m_missingLogged) {
        m_missingLogged = false;
        AddLog(QStringLiteral("Файл info.log терминала найден: ") + path);
    }
    QString announce;
    if (size == 0) {
        m_state = LinkNoData;
    } else if (size == m_lastSize) {
        if (m_state == LinkUp)
            announce = LinkLost;
        m_state = LinkDown;
    } else {
        if (m_state == LinkDown)
            announce = LinkRestored;
        m_state = LinkUp;
    }
    m_lastSize = size;
    return announce;
}

QStringList StatusBarPanels(const TStatusBarState &s)
{
    auto openText = [](bool open) { return open ? QStringLiteral("OK") : QStringLiteral("Нет"); };
    QString link = QStringLiteral("Н/Д");
    if (s.linkCheckOn) {
        if (s.linkState == LinkMonitor::LinkDown)
            link = QStringLiteral("Нет");
        else if (s.linkState == LinkMonitor::LinkUp)
            link = QStringLiteral("ОК"); // Cyrillic О and К
    }
    return {
        QStringLiteral("Подключение к Omega: ") + openText(s.omegaConnected),
        QStringLiteral("Подключение к Quik: ") + openText(s.quikDataConnected),
        QStringLiteral("Связь Quik с сервером: ") + link,
        QStringLiteral("Отправлено транзакций: ") + QString::number(s.transId) + QLatin1Char('/') + QString::number(s.sentCount)
            + QLatin1Char('/') + QString::number(s.doneCount),
        s.mode == AccountMode::Multi ? QStringLiteral("MULTI") : QStringLiteral("SINGLE"),
    };
}
