#pragma once

#include "transactionfile.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QTimer>

#include <memory>

class Database;
class QTextStream;

namespace termsim {

struct Config {
    QString dir;          // folder of the transaction file set
    QString name;         // base name of the set: "trans", or the terminal's name
    QString db;           // QuikData file; empty: no tables are touched
    int terminal = 0;     // 0: the base export tables; N: tLimitStockN ... tTradesN
    QString infoLog;      // the terminal's log file; empty: none is written
    int paceMs = 500;     // import poll period, and the delay before the final result
    int quotesMs = 1000;  // period of the quote moves; 0: quotes stand still
    int infoMs = 1000;    // period of the log lines while connected
    double rejectShare = 0;  // share (0..1) of transactions the server refuses
    double cutEverySec = 0;  // link cut after this long connected; 0: never
    double cutForSec = 0;    // and restored after this long
    quint64 seed = 0;
    bool quiet = false;
};

// A QUIK terminal as the robot meets it: it imports the transaction lines
// appended to "<dir>/<name>.tri", answers each in "<dir>/<name>.tro", keeps
// the quotes of tParam moving, records its orders and trades (and the limits
// and portfolios they change) in its export tables, and appends to info.log
// while its link to the server is up.
//
// Every database write is one short autocommit statement; nothing is held
// open between them, so the robot can read and write the file at any time.
class Terminal : public QObject {
    Q_OBJECT
public:
    Terminal(Config config, QTextStream &out, QTextStream &err, QObject *parent = nullptr);
    ~Terminal() override;

    // Opens the database, reads the quotes and starts the timers. False with
    // a message when the terminal cannot run.
    bool start(QString *error);
    void stop();

    QString importPath() const;
    QString resultPath() const;

    int taken() const { return m_taken; }
    int answered() const { return m_answered; }

private:
    struct Quote {
        qint64 id = 0;
        QString seccode;
        QString stock;
        QString classCode;
        double bid = 0, offer = 0, last = 0, high = 0, low = 0, prev = 0;
        double step = 0;
        int digits = 0;
        int lotSize = 1;
        double pointValue = 1;
        qint64 numTrades = 0;
        double volToday = 0;
    };

    struct Pending {
        qint64 transId = 0;
        QMap<QString, QString> items;
        bool refused = false;
    };

    struct StopOrder {
        qint64 number = 0;
        QString account;
        QString client;
        QString seccode;
    };

    void tick();
    void moveQuotes();
    void writeInfoLog(const QString &text);
    void cutLink();
    void restoreLink();

    void take(const QByteArray &raw);
    QString check(const QMap<QString, QString> &items) const;
    Result finish(const Pending &p);
    void recordFill(const QMap<QString, QString> &items, qint64 orderNumber);
    int killOrders(const QMap<QString, QString> &items);
    void updateStockPortfolio(const QString &client);
    void updateFuturesPortfolio(const QString &account);
    void post(const Result &r);
    void flushResults();

    bool loadQuotes(QString *error);
    const Quote *quote(const QString &seccode) const;
    QString table(const char *base) const;

    void say(const QString &text);
    void warn(const QString &text);

    Config m_config;
    QTextStream &m_out;
    QTextStream &m_err;
    QRandomGenerator m_rng;
    std::unique_ptr<Database> m_db;
    ImportFollower m_import;

    QTimer m_tickTimer;
    QTimer m_quoteTimer;
    QTimer m_infoTimer;
    QTimer m_linkTimer;
    bool m_linkUp = true;

    QList<Pending> m_pending;       // answered with STATUS 0, final result due at the next tick
    QByteArray m_outbox;            // result lines not yet appended to the result file
    QList<Quote> m_quotes;
    QHash<QString, int> m_quoteIndex; // upper-cased seccode -> m_quotes index
    QList<StopOrder> m_stopOrders;
    qint64 m_nextOrderNumber = 0;
    int m_taken = 0;
    int m_answered = 0;
};

} // namespace termsim
