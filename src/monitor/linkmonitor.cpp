// The robot's watch on the terminal's link to the broker's server, its status
// bar, and its notifications.
//
// The terminal cannot be asked whether it is connected; it keeps appending to
// its own log file info.log while it is. Each tick of timInfoLog compares the
// file's size with the size at the previous tick: grown (or shrunk) means the
// link is up, unchanged means down, no file or an empty one means no data.
// Only the changes between up and down are announced.

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "engine/robot.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

enum : quint8 { LinkDown = 0, LinkUp = 1, LinkNoData = 255 };

const QString LinkLost = QStringLiteral("Соединение разорвано");
const QString LinkRestored = QStringLiteral("Соединение установлено");

} // namespace

qint64 Robot::GetInfoLogSize()
{
    // The size from the file's attributes: the file is never opened for
    // reading, however large it grows and whoever holds it.
    const QString path = m_settings.edtInfoLog;
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

void Robot::timInfoLogTimer()
{
    if (m_settings.chQuikConnect) {
        const qint64 size = GetInfoLogSize();
        auto announce = [this](const QString &text) {
            AddLog(text);
            if (m_settings.chSendQuikConnect)
                Notify(text);
        };
        if (size == 0) {
            QuikLinkState = LinkNoData;
        } else if (size == LastInfoLogSize) {
            if (QuikLinkState == LinkUp)
                announce(LinkLost);
            QuikLinkState = LinkDown;
        } else {
            if (QuikLinkState == LinkDown)
                announce(LinkRestored);
            QuikLinkState = LinkUp;
        }
        LastInfoLogSize = size;
    }
    UpdateStatusBar();
    FlushLog();
}

void Robot::UpdateStatusBar()
{
    auto openText = [](const Database &db) { return db.isOpen() ? QStringLiteral("OK") : QStringLiteral("Нет"); };

    QString link = QStringLiteral("Н/Д");
    if (m_settings.chQuikConnect) {
        if (QuikLinkState == LinkDown)
            link = QStringLiteral("Нет");
        else if (QuikLinkState == LinkUp)
            link = QStringLiteral("ОК"); // Cyrillic О and К
    }

    const QStringList panels{
        QStringLiteral("Подключение к Omega: ") + openText(m_data.conOmega),
        QStringLiteral("Подключение к Quik: ") + openText(m_data.conQuikData),
        QStringLiteral("Связь Quik с сервером: ") + link,
        QStringLiteral("Отправлено транзакций: ") + QString::number(TransId) + QLatin1Char('/') + QString::number(SentCount)
            + QLatin1Char('/') + QString::number(DoneCount),
        m_settings.rgpSingleMulti == 1 ? QStringLiteral("MULTI") : QStringLiteral("SINGLE"),
    };
    emit statusBarChanged(panels);
}

void Robot::Notify(const QString &text)
{
    emit notification(text);
    m_notifier.Notify(text);
}
