// The intake of the strategy platform's filled orders: the watch step's
// reading, the order taken in turn, the stored place and the resume after a
// crash, the instant-intake watcher.

#include "orderintake.h"

#include "data/databaseaddress.h"
#include "data/schema.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/schema.h"
#include "gateway/gateway.h"

#include <QFileInfo>

#include <limits>

OrderIntake::OrderIntake(Settings &settings, TDatMod &data, Gateway &gateway, Dispatcher &dispatcher, QObject *parent)
    : QObject(parent), m_settings(settings), m_data(data), m_gateway(gateway), m_dispatcher(dispatcher)
{
    setObjectName(QStringLiteral("OrderIntake"));
    m_due.setSingleShot(true);
    m_due.setInterval(0);
    m_due.setTimerType(Qt::PreciseTimer);
    connect(&m_due, &QTimer::timeout, this, [this] {
        const bool orders = m_dueOrders, results = m_dueResults;
        m_dueOrders = m_dueResults = false;
        emit intakeDue(orders, results);
    });
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &OrderIntake::onChange);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &OrderIntake::onChange);
    // A notification comes after the row's commit: one look finds it.
    connect(&m_notifications, &ServerNotifications::notified, this, [this] {
        m_dueOrders = true;
        m_seriesStep = SeriesMs.size();
        m_due.start(0);
    });
}

void OrderIntake::readRunState()
{
    if (m_runStateRead)
        return;
    try {
        if (schema::ensureRobotTables(m_data.conQuikData))
            AddLog(QStringLiteral("В базе данных ") + DatabaseAddress::shown(m_settings.edtQuikData)
                   + QStringLiteral(" созданы таблицы истории транзакций и состояния робота."));
        m_stateKept = m_data.conQuikData.hasTable(QStringLiteral("tRobotState"));
        if (!m_stateKept)
            return;
        m_previousRun = ReadRunState(m_data.conQuikData);
        m_runStateRead = true;
    } catch (const std::exception &e) {
        // Held by another program for the moment: read once it is free.
        if (isTransient(e))
            throw;
        AddLog(QStringLiteral("Состояние робота в базе данных ") + DatabaseAddress::shown(m_settings.edtQuikData) + QStringLiteral(" не читается: ")
               + failureText(e));
        m_stateKept = false;
        return;
    }
    if (!m_previousRun.known) {
        storeState(RunStateCreated());
        return;
    }
    m_gateway.resumeSeries(m_previousRun.session, m_previousRun.filesSession);
    m_placeAlerts = m_previousRun.alerts;
    m_placeHandled = m_previousRun.lastHandled;
    const int window = m_settings.edtResumeWindow;
    const qint64 downFor = m_previousRun.heartbeat.isValid() ? m_previousRun.heartbeat.secsTo(QDateTime::currentDateTime()) : -1;
    if (!m_previousRun.running) {
        AddLog(QStringLiteral("Предыдущий запуск робота завершен штатно."));
    } else if (window > 0 && downFor >= 0 && downFor < window) {
        m_carryFirst = true;
        m_resumeRows = m_previousRun.lastHandled >= 0 && m_previousRun.alerts == DatabaseAddress::shown(m_settings.edtAlerts);
        AddLog(QStringLiteral("Предыдущий запуск робота прерван ") + QString::number(downFor)
               + QStringLiteral(" с назад без штатного завершения: работа продолжается с места остановки."));
    } else {
        AddLog(QStringLiteral("Предыдущий запуск робота прерван без штатного завершения ")
               + (downFor >= 0 ? QString::number(downFor) + QStringLiteral(" с назад") : QStringLiteral("когда-то"))
               + QStringLiteral(", позже окна продолжения (") + QString::number(window)
               + QStringLiteral(" с): работа начинается заново."));
    }
}

void OrderIntake::storeState(WriteQueue::Item item)
{
    if (!m_stateKept)
        return;
    m_data.quikWrites.add(std::move(item));
}

void OrderIntake::startWatching()
{
    const qint64 last = m_data.GetLastId(m_data.tFilledOrders);
    const int window = m_settings.edtResumeWindow;
    const qint64 downFor = m_previousRun.heartbeat.isValid() ? m_previousRun.heartbeat.secsTo(QDateTime::currentDateTime()) : -1;
    if (m_resumeRows && window > 0 && downFor >= 0 && downFor < window) {
        // Going on from the stored place: the rows after it were filled
        // before the robot stopped or while it was down.
        m_lastFilledId = m_previousRun.lastHandled;
        m_baselinePending = false;
        m_resumeUpTo = last >= 0 ? last : std::numeric_limits<qint64>::max();
        AddLog(QStringLiteral("Загрузка ордеров продолжается после перезапуска с ордера, следующего за # ")
               + QString::number(m_lastFilledId) + QStringLiteral("."));
    } else {
        m_lastFilledId = last;
        m_baselinePending = last < 0;
        m_resumeUpTo = -1;
        // Nothing is skipped silently: the rows since the place this run
        // (or, at its first start, the run before) last stored.
        const bool samePlace = m_placeHandled >= 0 && m_placeAlerts == DatabaseAddress::shown(m_settings.edtAlerts);
        if (samePlace && last > m_placeHandled)
            tellSkipped(m_placeHandled, last,
                        !m_watchedBefore && m_previousRun.running ? QStringLiteral("пока робот был остановлен дольше окна продолжения")
                                                                  : QStringLiteral("пока робот не загружал ордера"));
        if (last >= 0)
            storePlace(last);
    }
    m_resumeRows = false;
    m_watchedBefore = true;
}

void OrderIntake::storePlace(qint64 lastHandled, Dispatcher::Scope *scope)
{
    m_placeAlerts = DatabaseAddress::shown(m_settings.edtAlerts);
    m_placeHandled = lastHandled;
    if (!m_stateKept)
        return;
    WriteQueue::Item item = PlaceStored(lastHandled, m_gateway.session(), DatabaseAddress::shown(m_settings.edtAlerts));
    if (scope)
        scope->closing = std::move(item);
    else
        m_data.quikWrites.add(std::move(item));
}

QSet<QString> OrderIntake::servedBefore(qint64 orderId)
{
    QSet<QString> codes;
    if (!m_gateway.historyKept())
        return codes;
    m_data.quikWrites.flush(true);
    const Database::Rows rows = m_data.conQuikData.fetch(
        QStringLiteral("SELECT code\r\nFROM tOrderHistory\r\nWHERE id_order = :id_order AND session >= :session"),
        {{QStringLiteral("id_order"), orderId}, {QStringLiteral("session"), m_previousRun.placeSession}});
    for (const auto &r : rows.rows)
        codes.insert(r.value(0).toString());
    return codes;
}

void OrderIntake::tellSkipped(qint64 after, qint64 upTo, const QString &why)
{
    if (upTo <= after)
        return;
    try {
        const Database::Rows rows = m_data.conOmega.fetch(
            QStringLiteral("SELECT ID\r\nFROM FilledOrders\r\nWHERE ID > :after AND ID <= :up_to\r\nORDER BY ID"),
            {{QStringLiteral("after"), after}, {QStringLiteral("up_to"), upTo}});
        if (rows.rows.isEmpty())
            return;
        QStringList ids;
        for (const auto &r : rows.rows) {
            if (ids.size() == 100) {
                ids << QStringLiteral("и еще ") + QString::number(rows.rows.size() - 100);
                break;
            }
            ids << r.value(0).toString();
        }
        AddLog(QStringLiteral("Ордера стратегий, исполненные ") + why + QStringLiteral(", не загружаются: ")
               + QString::number(rows.rows.size()) + QStringLiteral(" (# ") + ids.join(QStringLiteral(", ")) + QStringLiteral(")."));
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Пропущенные ордера стратегий не прочитаны: ") + failureText(e));
    }
}

void OrderIntake::PollFilledOrders()
{
    const qint64 last = m_lastFilledId;
    const qint64 max = m_data.GetLastId(m_data.tFilledOrders);
    // A table that cannot be read is reported once, and again when it can.
    if (max < 0) {
        const QString why = m_data.tFilledOrders.lastError().isEmpty()
            ? (m_data.conOmega.isOpen() ? QStringLiteral("таблица не открыта") : QStringLiteral("нет подключения к базе данных ") + DatabaseAddress::shown(m_settings.edtAlerts))
            : m_data.tFilledOrders.lastError();
        if (!m_filledOrdersFailed || why != m_filledOrdersFailure)
            AddLog(QStringLiteral("Таблица FilledOrders не читается (") + why + QStringLiteral("): новые ордера не загружаются."));
        m_filledOrdersFailed = true;
        m_filledOrdersFailure = why;
    } else if (m_filledOrdersFailed) {
        m_filledOrdersFailed = false;
        m_filledOrdersFailure.clear();
        AddLog(QStringLiteral("Таблица FilledOrders снова читается."));
    }
    if (m_baselinePending) {
        // Watching began while the table could not be read: the rows it holds
        // now were there before watching, so none of them is taken.
        if (max >= 0) {
            m_lastFilledId = max;
            m_baselinePending = false;
        }
        handleBacklog();
        FlushLog();
        return;
    }
    if (max <= last) {
        handleBacklog();
        FlushLog();
        return;
    }
    m_lastFilledId = max;

    DataSet &q = m_data.qFilledOrders;
    q.Close();
    q.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM FilledOrders"),
                         QStringLiteral("WHERE id >") + QString::number(last) + QStringLiteral(" and id <=") + QString::number(max)});
    q.Open();
    q.First();
    while (!q.Eof()) {
        PendingOrder order;
        try {
            ReadStrategyOrder(order.P, q);
            order.fillPrice = q.FieldByName(QStringLiteral("Fill Price"));
            m_backlog.push_back(std::move(order));
        } catch (const std::exception &e) {
            AddLog(QStringLiteral("Ошибка при обработке ордера # ") + q.FieldByName(QStringLiteral("ID")).toString() + QStringLiteral(": ")
                   + failureText(e));
        }
        q.Next();
    }
    handleBacklog();
    if (!m_resumeSkipped.isEmpty()) {
        QStringList ids;
        for (qint64 id : std::as_const(m_resumeSkipped))
            ids << QString::number(id);
        AddLog(QStringLiteral("Ордера стратегий, исполненные раньше окна продолжения (") + QString::number(m_settings.edtResumeWindow)
               + QStringLiteral(" с), не загружаются после перезапуска: ") + QString::number(ids.size()) + QStringLiteral(" (# ")
               + ids.join(QStringLiteral(", ")) + QStringLiteral(")."));
        m_resumeSkipped.clear();
    }
    FlushLog();
}

void OrderIntake::handleBacklog()
{
    // In the order they were filled: an order waiting for a database to be
    // free holds back the ones after it, so an exit never overtakes its entry.
    while (!m_backlog.empty()) {
        if (!handleOrder(m_backlog.front()))
            return;
        m_backlog.pop_front();
    }
}

bool OrderIntake::handleOrder(PendingOrder &order)
{
    TPreOrder &P = order.P;
    const bool retry = order.started;
    if (!order.started) {
        order.started = true;
        order.resumed = P.Id <= m_resumeUpTo;
        if (order.resumed) {
            // Filled longer ago than the window: too old to be placed now.
            const int window = m_settings.edtResumeWindow;
            if (P.TimeFilled.isValid() && P.TimeFilled.secsTo(QDateTime::currentDateTime()) >= window) {
                m_resumeSkipped << P.Id;
                storePlace(P.Id);
                return true;
            }
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" взят после перезапуска робота."));
        }
        AddLog(QStringLiteral("Обрабатываю ордер # ") + QString::number(P.Id) + QStringLiteral(" ..."));
        // An order without a price it can be sized and priced on is refused
        // for every client.
        const QString refusal = UnusableOrder(P, order.fillPrice);
        if (!refusal.isEmpty()) {
            AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" отклонен: ") + refusal
                   + QStringLiteral(" Транзакции не сформированы."));
            storePlace(P.Id);
            return true;
        }
    }
    auto waitAgain = [&](const QString &error) {
        if (!order.failureLogged) {
            order.failureLogged = true;
            const bool stop = error.endsWith(QLatin1Char('.')) || error.endsWith(QLatin1Char('!'));
            AddLog(QStringLiteral("Ошибка при обработке ордера # ") + QString::number(P.Id) + QStringLiteral(": ") + error
                   + (stop ? QString() : QStringLiteral(".")) + QStringLiteral(" Ордер будет обработан повторно."));
        }
        return false;
    };
    try {
        if (!order.filtersPassed) {
            QString reasons;
            if (!CheckFilters(m_data, P, reasons)) {
                AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" не прошел фильтры. / ") + reasons
                       + QStringLiteral("/"));
                storePlace(P.Id);
                return true;
            }
            order.filtersPassed = true;
        }
        Dispatcher::Scope scope;
        const QList<QPair<qint32, QString>> left = order.left;
        if (!left.isEmpty())
            scope.only = &left;
        // Clients whose transactions were journalled before the restart
        // have them already (sent, or carried into the new files).
        if (order.resumed)
            scope.except = servedBefore(P.Id);
        // The place goes with the order's last journal rows.
        storePlace(P.Id, &scope);
        m_dispatcher.dispatch(P, MakeNewOrder, scope);
        if (!scope.failed.isEmpty()) {
            order.left = scope.failed;
            return waitAgain(scope.failure);
        }
        if (scope.closing)
            m_data.quikWrites.add(std::move(*scope.closing));
    } catch (const std::exception &e) {
        if (isTransient(e))
            return waitAgain(failureText(e));
        AddLog(QStringLiteral("Ошибка при обработке ордера # ") + QString::number(P.Id) + QStringLiteral(": ") + failureText(e));
        storePlace(P.Id);
        return true;
    }
    if (retry)
        AddLog(QStringLiteral("Ордер # ") + QString::number(P.Id) + QStringLiteral(" обработан повторно."));
    return true;
}

void OrderIntake::watch(bool on, const QVector<TTROData> &troFiles)
{
    if (!on) {
        const QStringList watched = intakePaths();
        if (!watched.isEmpty())
            m_watcher.removePaths(watched);
        m_notifications.stop();
        return;
    }
    // The database, its WAL file (commits land there) and their folder
    // (a WAL file made later); each terminal's result file and the folder.
    QStringList wanted;
    if (DatabaseAddress::isServer(m_settings.edtAlerts)) {
        QString error;
        if (!m_notifications.listen(m_settings.edtAlerts, QString::fromLatin1(schema::FilledOrdersChannel), &error)) {
            if (!m_notificationsFailed)
                AddLog(QStringLiteral("Уведомления о новых ордерах базы данных ") + DatabaseAddress::shown(m_settings.edtAlerts)
                       + QStringLiteral(" не получены (") + error + QStringLiteral("): она проверяется по таймеру."));
            m_notificationsFailed = true;
        } else {
            m_notificationsFailed = false;
        }
    } else {
        const QString alerts = QFileInfo(m_settings.edtAlerts).absoluteFilePath();
        wanted << alerts << alerts + QStringLiteral("-wal") << QFileInfo(alerts).absolutePath();
    }
    if (!m_settings.edtdirTT.trimmed().isEmpty()) {
        const QString folder = PathInFolder(m_settings.edtdirTT, QString());
        for (const TTROData &tro : troFiles)
            wanted << QFileInfo(PathInFolder(m_settings.edtdirTT, tro.FileName + QStringLiteral(".tro"))).absoluteFilePath();
        wanted << QFileInfo(folder).absoluteFilePath();
    }
    const QStringList watched = intakePaths();
    for (const QString &path : wanted) {
        if (watched.contains(path) || !QFileInfo::exists(path))
            continue;
        // A watcher that cannot be installed leaves the timer to do it.
        if (!m_watcher.addPath(path) && !m_blind.contains(path)) {
            m_blind.insert(path);
            AddLog(QStringLiteral("Изменения файла ") + path + QStringLiteral(" не отслеживаются: он проверяется по таймеру."));
        }
    }
}

void OrderIntake::onChange(const QString &path)
{
    if (path.endsWith(QLatin1String(".tro"), Qt::CaseInsensitive))
        m_dueResults = true;
    else if (QFileInfo(path).isDir()) {
        m_dueOrders = m_dueResults = true; // a file made or replaced
    } else
        m_dueOrders = true;
    // A change of the alert database begins a series of looks: the write
    // that woke the watcher may come before the commit is visible (SQLite
    // publishes a commit in its shared memory after writing it, and a
    // commit that waits for the disk's sync comes later still), and
    // nothing wakes the watcher when it is published.
    if (m_dueOrders)
        m_seriesStep = 0;
    // At once, also when a look of a series is waiting (the step looks for
    // orders too when one is due; a burst of changes makes one step).
    m_due.start(0);
}

void OrderIntake::stepDone(bool lookedForOrders, bool foundOrders)
{
    if (!lookedForOrders)
        return;
    // Found what woke it, or the series is over: the next change begins a
    // new one. Otherwise the next look comes a little later.
    if (foundOrders || m_seriesStep >= SeriesMs.size()) {
        m_seriesStep = SeriesMs.size();
        return;
    }
    m_dueOrders = true;
    m_due.start(SeriesMs[m_seriesStep++]);
}

QList<qint64> OrderIntake::idsWaiting() const
{
    QList<qint64> ids;
    for (const PendingOrder &o : m_backlog)
        ids << o.P.Id;
    return ids;
}

void OrderIntake::putBack(bool orders, bool results)
{
    // A tick is running: the change is taken right after it.
    m_dueOrders |= orders;
    m_dueResults |= results;
    m_due.start(5);
}

void OrderIntake::stop()
{
    m_due.stop();
    if (!intakePaths().isEmpty())
        m_watcher.removePaths(intakePaths());
}
