#pragma once

#include "monitor/smtpnotifier.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class Settings;

// A look, before trading for real, at everything the robot needs around it:
// both databases with the tables and columns it reads, the transaction
// folder, the terminal's answers, the freshness of the quotes and limits,
// the watched workspaces and strategies, the clients' accounts and the mail
// server. Each look gives one line saying OK or what to do.
//
// The check takes what it needs from the settings when it is made and opens
// connections of its own, so it may run on another thread than the one that
// made it, beside a running robot; it writes nothing anywhere.
class ConnectionCheck {
public:
    enum class Status {
        Ok,
        Problem, // something to put right before trading
        Unknown, // it cannot be told from here (nothing sent yet, no time kept)
    };
    struct Line {
        QString id;    // which look: "alerts", "quikdata", "folder", "terminal", "quotes", "limits", "filters", "clients", "mail"
        QString title; // as the operator reads it: "Папка транзакций"
        Status status = Status::Unknown;
        QString text;  // what was found; what to do when it is not OK
    };

    explicit ConnectionCheck(const Settings &settings);

    // Every look, in the order above.
    QList<Line> run() const;

    // Runs the check on a thread of its own and hands its lines to `done`
    // on `receiver`'s thread (nothing when the receiver is gone by then).
    void runInBackground(QObject *receiver, std::function<void(const QList<Line> &)> done) const;

    // The clock the freshness is measured on (tests pin it).
    void setNow(const QDateTime &now) { m_now = now; }
    // How long the mail server has to answer.
    void setMailTimeout(std::chrono::milliseconds timeout) { m_mailTimeout = timeout; }

    // Nothing to put right (lines that cannot be told do not count).
    static bool passed(const QList<Line> &lines);
    // "OK", "ОШИБКА" or "НЕТ ДАННЫХ", the title and the text.
    static QString lineText(const Line &line);
    static QString report(const QList<Line> &lines);

    // The tables the terminals export that the robot reads: the quotes
    // tParam and the base names of the seven per-terminal tables.
    static QStringList exportTablesRead();

    // Quotes whose last trade is older than this are not being refreshed.
    static constexpr int QuotesFreshMinutes = 5;
    static constexpr std::chrono::milliseconds DefaultMailTimeout{5000};

private:
    QDateTime now() const { return m_now.isValid() ? m_now : QDateTime::currentDateTime(); }

    QString m_alerts;
    QString m_quikData;
    bool m_multi = false;
    bool m_smartTrade = false;
    QString m_dirTT;
    QString m_dirSmartTrade;
    QString m_code;
    QString m_accountMicex;
    QString m_accountForts;
    bool m_notify = false; // any notification switched on
    MailSettings m_mail;
    QDateTime m_now;
    std::chrono::milliseconds m_mailTimeout = DefaultMailTimeout;
};
