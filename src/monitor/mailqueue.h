#pragma once

#include "smtpnotifier.h"

#include <QDeadlineTimer>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

// The robot's mail: notifications are queued and sent one after another, in
// the order they came, by a worker thread that owns the SMTP client, so a
// slow or silent mail server never holds up the caller (the timer tick,
// with its database transaction open).
//
// Created and used on one thread, the owner's (the user interface's): the
// settings are read there when a job is queued, and the worker's log lines
// are added to the operation log there, in order, each batch followed by a
// write of the log file.
//
// "Коннект" and "Дисконнект" run on the worker too, behind what is queued,
// so the session "Коннект" opens is the one the next notification uses (and
// then closes). They wait for their answer, keeping the owner's events
// going meanwhile.
class MailQueue : public QObject {
    Q_OBJECT
public:
    explicit MailQueue(SmtpNotifier::Source source, QObject *parent = nullptr);
    // Shuts down without grace, unless shutdown has run.
    ~MailQueue() override;
    MailQueue(const MailQueue &) = delete;
    MailQueue &operator=(const MailQueue &) = delete;

    // Where the settings come from; read on this thread when a job is queued.
    void setSource(SmtpNotifier::Source source);
    // For the jobs queued from now on.
    void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds exchange);
    std::chrono::milliseconds connectTimeout() const { return m_connectTimeout; }
    std::chrono::milliseconds exchangeTimeout() const { return m_exchangeTimeout; }

    // Queues one event text for both recipients, with the files attached,
    // and returns at once; the worker connects (unless the session is open),
    // sends and disconnects. These are the robot's messages: a failure is
    // logged once while it repeats and once when it clears
    // (SmtpNotifier::setQuietRepeats).
    void Notify(const QString &text, const QList<MailAttachment> &attachments = {});
    // The operator's "Тест", "Коннект" and "Дисконнект": SmtpNotifier's,
    // once the jobs queued before have been served, each outcome logged.
    // False (Cancelled) at once after shutdown.
    MailOutcome Test(const QString &text);
    bool SmtpConnect(MailOutcome *outcome = nullptr);
    bool SmtpDisconnect(MailOutcome *outcome = nullptr);

    // Whether the worker's client held an open session after its last job.
    bool Connected() const { return m_connected.load(); }
    // Messages queued and not yet finished (the one being sent included).
    int pending() const { return m_pendingMessages; }

    // Keeps the owner's events going until every job is finished and its
    // log lines are in the log, or until the timeout; true when idle.
    bool waitIdle(std::chrono::milliseconds timeout);
    // Takes no more jobs, gives those queued up to `grace` to go out, then
    // cuts short the exchange under way and ends the worker (within about a
    // second more). Each message that did not go out is logged as
    // "Сообщение "<text>" не отправлено: программа завершает работу.".
    void shutdown(std::chrono::milliseconds grace);

signals:
    // A job finished or was dropped: the waits look again.
    void jobDone(QPrivateSignal);

private:
    enum class Kind { Message, Test, Connect, Disconnect };
    struct Job {
        quint64 id = 0;
        Kind kind = Kind::Message;
        QString text;
        QList<MailAttachment> attachments;
        MailSettings settings;
        std::chrono::milliseconds connectTimeout{};
        std::chrono::milliseconds exchangeTimeout{};
    };

    quint64 enqueue(Kind kind, const QString &text, const QList<MailAttachment> &attachments = {});
    MailOutcome runAndWait(Kind kind, const QString &text = QString());
    // Runs a local event loop until done() holds or the deadline passes.
    bool runUntil(const std::function<bool()> &done, QDeadlineTimer deadline);
    void work(); // the worker thread

    // Owner thread: what the worker reports.
    void addLine(const QString &line);
    void flushLog();
    void finished(quint64 id, Kind kind, const QString &text, bool aborted, const MailOutcome &outcome);
    void logNotSent(const QString &text);

    SmtpNotifier::Source m_source;
    std::chrono::milliseconds m_connectTimeout = SmtpNotifier::DefaultConnectTimeout;
    std::chrono::milliseconds m_exchangeTimeout = SmtpNotifier::DefaultExchangeTimeout;

    // Owner thread only.
    quint64 m_nextId = 1;
    int m_unfinished = 0;      // jobs queued or running
    int m_pendingMessages = 0; // of which messages
    std::map<quint64, std::optional<MailOutcome>> m_answers; // the operator's jobs waiting for their outcome
    bool m_closing = false;

    // Shared with the worker.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stop = false;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_connected{false};

    std::thread m_worker;
};
