#include "mailqueue.h"

#include "config/operationlog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

MailQueue::MailQueue(SmtpNotifier::Source source, QObject *parent) : QObject(parent), m_source(std::move(source))
{
    m_worker = std::thread([this] { work(); });
}

MailQueue::~MailQueue() { shutdown(std::chrono::milliseconds::zero()); }

void MailQueue::setSource(SmtpNotifier::Source source) { m_source = std::move(source); }

void MailQueue::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds exchange)
{
    m_connectTimeout = connect;
    m_exchangeTimeout = exchange;
}

quint64 MailQueue::enqueue(Kind kind, const QString &text, const QList<MailAttachment> &attachments)
{
    Job job;
    job.id = m_nextId++;
    job.kind = kind;
    job.text = text;
    job.attachments = attachments;
    // The settings are read here, on the owner's thread: the worker gets its
    // own copy, whatever the operator edits meanwhile.
    job.settings = m_source ? m_source() : MailSettings{};
    job.connectTimeout = m_connectTimeout;
    job.exchangeTimeout = m_exchangeTimeout;
    ++m_unfinished;
    if (kind == Kind::Message || kind == Kind::Test)
        ++m_pendingMessages;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    return m_nextId - 1;
}

void MailQueue::Notify(const QString &text, const QList<MailAttachment> &attachments)
{
    if (m_closing) {
        logNotSent(text);
        flushLog();
        return;
    }
    enqueue(Kind::Message, text, attachments);
}

MailOutcome MailQueue::Test(const QString &text)
{
    if (m_closing) {
        logNotSent(text);
        flushLog();
        return MailOutcome(MailOutcome::Kind::Cancelled, QString());
    }
    return runAndWait(Kind::Test, text);
}

bool MailQueue::SmtpConnect(MailOutcome *outcome)
{
    const MailOutcome o = runAndWait(Kind::Connect);
    if (outcome)
        *outcome = o;
    return o.kind() == MailOutcome::Kind::Connected;
}

bool MailQueue::SmtpDisconnect(MailOutcome *outcome)
{
    const MailOutcome o = runAndWait(Kind::Disconnect);
    if (outcome)
        *outcome = o;
    return o.kind() == MailOutcome::Kind::Disconnected;
}

MailOutcome MailQueue::runAndWait(Kind kind, const QString &text)
{
    if (m_closing)
        return MailOutcome(MailOutcome::Kind::Cancelled, QString());
    const quint64 id = enqueue(kind, text);
    m_answers[id];
    // Every job is either served (each bounded by the client's timeouts) or
    // dropped at shutdown, which answers it: the wait ends either way.
    runUntil([this, id] { return m_answers[id].has_value(); }, QDeadlineTimer(QDeadlineTimer::Forever));
    const MailOutcome outcome = m_answers[id].value_or(MailOutcome(MailOutcome::Kind::Cancelled, QString()));
    m_answers.erase(id);
    return outcome;
}

bool MailQueue::waitIdle(std::chrono::milliseconds timeout)
{
    return runUntil([this] { return m_unfinished == 0; }, QDeadlineTimer(timeout));
}

bool MailQueue::runUntil(const std::function<bool()> &done, QDeadlineTimer deadline)
{
    if (done())
        return true;
    if (deadline.hasExpired())
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &MailQueue::jobDone, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (!deadline.isForever())
        timer.start(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));
    loop.exec();
    return done();
}

void MailQueue::shutdown(std::chrono::milliseconds grace)
{
    if (m_closing)
        return;
    m_closing = true;
    if (grace > std::chrono::milliseconds::zero())
        runUntil([this] { return m_unfinished == 0; }, QDeadlineTimer(grace));

    m_abort = true;
    std::deque<Job> left;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        left.swap(m_jobs);
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    // What the worker reported on its way out: the last lines, and the end
    // of the job it was on (logged as not sent when it was cut short).
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);

    for (const Job &job : left) {
        --m_unfinished;
        if (job.kind == Kind::Message || job.kind == Kind::Test) {
            --m_pendingMessages;
            logNotSent(job.text);
        }
        if (auto it = m_answers.find(job.id); it != m_answers.end())
            it->second = MailOutcome(MailOutcome::Kind::Cancelled, QString());
    }
    flushLog();
    m_connected = false;
    emit jobDone(QPrivateSignal());
}

void MailQueue::work()
{
    SmtpNotifier notifier{SmtpNotifier::Source()};
    notifier.setAbortFlag(&m_abort);
    // The operation log is the owner's: lines travel there in order.
    notifier.setLog(
        [this](const QString &line) { QMetaObject::invokeMethod(this, [this, line] { addLine(line); }, Qt::QueuedConnection); },
        [this] { QMetaObject::invokeMethod(this, [this] { flushLog(); }, Qt::QueuedConnection); });

    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                break;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        notifier.setSource([settings = job.settings] { return settings; });
        notifier.setTimeouts(job.connectTimeout, job.exchangeTimeout);
        // The robot's messages tell a failure once while it repeats; what
        // the operator asked for is always told.
        notifier.setQuietRepeats(job.kind == Kind::Message);
        bool ok = false;
        try {
            switch (job.kind) {
            case Kind::Message:
            case Kind::Test:
                ok = notifier.Notify(job.text, job.attachments);
                break;
            case Kind::Connect:
                ok = notifier.SmtpConnect();
                break;
            case Kind::Disconnect:
                ok = notifier.SmtpDisconnect();
                break;
            }
        } catch (...) {
            ok = false; // the client logs its failures; nothing else is expected here
        }
        m_connected = notifier.Connected();
        const bool aborted = !ok && notifier.aborting();
        QMetaObject::invokeMethod(
            this,
            [this, id = job.id, kind = job.kind, text = job.text, aborted, outcome = notifier.lastOutcome()] {
                finished(id, kind, text, aborted, outcome);
            },
            Qt::QueuedConnection);
    }
    // Leaving drops a session the operator left open: QUIT, or, when cut
    // short, just the connection.
}

void MailQueue::addLine(const QString &line) { AddLog(line); }

void MailQueue::flushLog()
{
    try {
        FlushLog();
    } catch (...) {
        // The lines stay unwritten; the next write of the log takes them.
    }
}

void MailQueue::finished(quint64 id, Kind kind, const QString &text, bool aborted, const MailOutcome &outcome)
{
    --m_unfinished;
    if (kind == Kind::Message || kind == Kind::Test) {
        --m_pendingMessages;
        if (aborted) {
            logNotSent(text);
            flushLog();
        }
    }
    if (auto it = m_answers.find(id); it != m_answers.end())
        it->second = aborted ? MailOutcome(MailOutcome::Kind::Cancelled, outcome.server()) : outcome;
    emit jobDone(QPrivateSignal());
}

void MailQueue::logNotSent(const QString &text)
{
    AddLog(QStringLiteral("Сообщение \"") + text + QStringLiteral("\" не отправлено: программа завершает работу."));
}
