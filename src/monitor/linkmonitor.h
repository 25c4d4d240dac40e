#pragma once

#include "config/settings.h"

#include <QString>
#include <QStringList>

// The watch on the terminal's link to the broker's server.
//
// The terminal cannot be asked whether it is connected; it keeps appending to
// its own log file info.log while it is. Each check compares the file's size
// with the size at the previous check: grown (or shrunk) means the link is
// up, unchanged means down, no file or an empty one means no data. Only the
// changes between up and down are announced.
class LinkMonitor {
public:
    enum : quint8 { LinkDown = 0, LinkUp = 1, LinkNoData = 255 };

    // The link as the last check found it, and the file's size then.
    quint8 QuikLinkState() const { return m_state; }
    qint64 LastInfoLogSize() const { return m_lastSize; }
    // The size the next check compares with (taken at start-up).
    void setLastInfoLogSize(qint64 size) { m_lastSize = size; }

    // The size of the file from its attributes (the file is never read);
    // 0 when it is missing or cannot be had. A fault other than a missing or
    // forbidden file is logged.
    static qint64 GetInfoLogSize(const QString &path);

    // One check of the link (the check switched on). Returns the change to
    // announce ("Соединение разорвано", "Соединение установлено"), or an
    // empty text. A missing file is logged once, until it is there again.
    QString Check(const QString &path);

private:
    quint8 m_state = LinkNoData;
    qint64 m_lastSize = 0;
    bool m_missingLogged = false;
};

// The status bar's five panels.
struct TStatusBarState {
    bool omegaConnected = false;
    bool quikDataConnected = false;
    bool linkCheckOn = false;
    quint8 linkState = LinkMonitor::LinkNoData;
    qint32 transId = 0;
    qint32 sentCount = 0;
    qint32 doneCount = 0;
    AccountMode mode = AccountMode::Single;
};
QStringList StatusBarPanels(const TStatusBarState &state);
