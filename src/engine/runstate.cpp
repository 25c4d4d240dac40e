#include "runstate.h"

#include "config/operationlog.h"
#include "data/database.h"

namespace {

WriteQueue::Item item(const QString &jet, const QVariantMap &params, const QString &tag)
{
    WriteQueue::Item i;
    i.jet = jet;
    i.params = params;
    i.tag = tag;
    // The last state written is the state: an older one still queued goes.
    i.supersede = true;
    i.retry = true;
    return i;
}

} // namespace

TRunState ReadRunState(Database &db)
{
    TRunState s;
    const Database::Rows rows = db.fetch(
        QStringLiteral("SELECT session, alerts, last_handled, place_session, running, heartbeat, files_session\r\nFROM tRobotState\r\n"
                       "WHERE id = 1"));
    if (rows.rows.isEmpty())
        return s;
    const auto &r = rows.rows.first();
    s.known = true;
    s.session = r.value(0).toLongLong();
    s.alerts = r.value(1).toString();
    s.lastHandled = r.value(2).isNull() ? -1 : r.value(2).toLongLong();
    s.placeSession = r.value(3).toLongLong();
    s.running = r.value(4).toBool();
    s.heartbeat = dateTimeValue(r.value(5));
    s.filesSession = r.value(6).toLongLong();
    return s;
}

WriteQueue::Item RunStateCreated()
{
    WriteQueue::Item i = item(QStringLiteral("INSERT INTO tRobotState (id, session, files_session, last_handled, place_session, running)\r\n"
                                             "VALUES (1, 0, 0, -1, 0, False)"),
                              {}, QStringLiteral("state:created"));
    i.supersede = false;
    i.retry = false;
    return i;
}

WriteQueue::Item RunStarted(qint64 session)
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET session = :session, running = True, heartbeat = :now\r\nWHERE id = 1"),
                {{QStringLiteral("session"), session}, {QStringLiteral("now"), QDateTime::currentDateTime()}},
                QStringLiteral("state:run"));
}

WriteQueue::Item SessionStarted(qint64 session)
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET session = :session\r\nWHERE id = 1"), {{QStringLiteral("session"), session}},
                QStringLiteral("state:session"));
}

WriteQueue::Item FilesMade(qint64 session)
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET files_session = :session\r\nWHERE id = 1"),
                {{QStringLiteral("session"), session}}, QStringLiteral("state:files"));
}

WriteQueue::Item PlaceStored(qint64 lastHandled, qint64 session, const QString &alerts)
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET last_handled = :last_handled, place_session = :place_session, alerts = :alerts\r\n"
                               "WHERE id = 1"),
                {{QStringLiteral("last_handled"), lastHandled},
                 {QStringLiteral("place_session"), session},
                 {QStringLiteral("alerts"), alerts}},
                QStringLiteral("state:place"));
}

WriteQueue::Item Heartbeat()
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET heartbeat = :now\r\nWHERE id = 1"),
                {{QStringLiteral("now"), QDateTime::currentDateTime()}}, QStringLiteral("state:heartbeat"));
}

WriteQueue::Item CleanStop()
{
    return item(QStringLiteral("UPDATE tRobotState\r\nSET running = False, heartbeat = :now\r\nWHERE id = 1"),
                {{QStringLiteral("now"), QDateTime::currentDateTime()}}, QStringLiteral("state:run"));
}
