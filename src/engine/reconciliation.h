#pragma once

#include "config/settings.h"
#include "data/dataset.h"
#include "data/views.h"
#include "reconcilereader.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

class Database;
class TDatMod;

// One line of the reconciliation: what the robot's book holds for a client
// and security (its net position: long rows less short rows) against what
// the client's terminal says the client holds (`currentbal` of the stock
// limits by client code, of the futures limits by the client's FORTS account).
struct TReconcileRow {
    QString quikName; // the terminal ("Quik" in SINGLE mode)
    QString code;     // client code
    QString secCode;  // the security's code in the terminal (the book's symbol when the directory lacks it)
    QString ticker;   // the strategy platform's ticker the book keeps
    qint64 lots = 0;  // the book, in lots
    double units = 0; // the book, in units (lots × the lot size)
    double terminal = 0;
    double diff = 0;  // terminal − book, in units
    QString key() const;
};

// Reconciles the robot's position book (tClientOpenPositions) with the
// terminals' balances. The rows (ReconcileReader: the tables read apart and
// joined in memory) are read with the other merged views off the window's
// thread (the data module's background reader) at every terminal data tick;
// what this class keeps is since when each difference has lasted. A
// difference that lasts longer than `ReconcileAfter` seconds is logged once
// when it appears and once when it clears, and mailed with `SendReconcile`.
//
// Only the securities of the directory (tSecCode) are compared: a book row
// is matched to its security by the ticker, a terminal row by its code.
// Money limits are not compared.
class Reconciliation : public QObject {
    Q_OBJECT
public:
    Reconciliation(Settings &settings, TDatMod &data, QObject *parent = nullptr);

    // The rows of a result of ReconcileReader.
    static QVector<TReconcileRow> RowsOf(const QStringList &fields, const QVector<QVector<QVariant>> &rows);
    // Reads the reconciliation at once on a connection of its own (the tool).
    static QVector<TReconcileRow> Read(Database &db, AccountMode mode, const QVector<TQuikTerminal> &terminals,
                                       const QString &singleCode, const QString &singleFortsAccount);

    // The rows the window shows (a query of the data module's QuikData).
    DataSet &view() { return m_view; }
    // Sets the reading for the mode and terminals now in force and opens
    // the view (at every connection).
    void Prepare(AccountMode mode, const QVector<TQuikTerminal> &terminals);
    // Only the rows that differ, or every row.
    void setOnlyDifferences(bool only);
    bool onlyDifferences() const { return m_onlyDifferences; }
    // Asks for a new read (the terminal data tick); the result is tracked
    // when it comes back.
    void Refresh();
    // Takes the rows as read at `now`: new differences start their time,
    // differences gone end theirs; the log lines and mail of those that
    // passed ReconcileAfter.
    void Track(const QDateTime &now);
    // Since when the row's difference has lasted; invalid when it has none.
    QDateTime Since(const TReconcileRow &row) const;
    QDateTime Since(int viewRow) const;
    TReconcileRow row(int viewRow) const;
    // The differences now logged as lasting.
    int reported() const;

    // Aligns the book with the terminal for one client and security: the
    // book's rows for it are rewritten so that their net is the terminal's
    // figure in whole lots (a row on the terminal's side takes what is
    // missing, rows are cut down from the newest; a row of the operator's
    // when the book has none on that side), logged, and kept in the history
    // tOrderHistory as an operator action of the series `session`. False
    // with the reason in *error when nothing was changed.
    bool Align(const TReconcileRow &row, qint64 session, QString *error = nullptr);

signals:
    // A line to mail (SendReconcile is on).
    void notify(const QString &text);
    // The rows were read again or their times changed.
    void changed();

private:
    struct Difference {
        QDateTime since;
        bool reported = false;
        TReconcileRow row;
    };
    ReconcileReader reader() const;

    Settings &m_settings;
    TDatMod &m_data;
    DataSet m_view;
    AccountMode m_mode = AccountMode::Single;
    QVector<TQuikTerminal> m_terminals;
    bool m_onlyDifferences = false;
    QHash<QString, Difference> m_differences; // by TReconcileRow::key()
};
