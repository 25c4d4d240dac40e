#pragma once

#include "config/settings.h"
#include "data/database.h"
#include "data/views.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// Reads the reconciliation of the robot's book with the terminals' balances:
// the book (tClientOpenPositions), the stock and futures limits of each
// terminal, the clients, the terminal list and the securities directory are
// each read with one plain scan of the columns needed, and joined and summed
// in memory. One statement that joins and groups both sides in SQLite costs
// several times as much (it sorts every row of both sides on text keys).
//
// The rows: for each terminal, client and security, the book's net position
// (long rows less short rows) in lots and in units (lots × the lot size of
// the directory; 1 when the directory has none) against `currentbal` of the
// stock limits (by client code, securities of the directory that are not
// futures) and of the futures limits (by the client's FORTS account); rows
// where both sides are empty are left out. A book row is matched to its
// security by the ticker, a terminal row by its code; a ticker the directory
// lacks is shown under its own name. Texts compare without regard to letter
// case, as the database compares them: a client or security spelled in
// other letters in one table is still the same client or security.
//
// Columns quikname, code, seccode, ticker, lots, units, currentbal, diff
// (terminal less book, in units); the differences first, then by client
// code (letter case aside), security code and terminal.
//
// A copy holds everything it needs: it is the row source of the window's
// reconciliation query, run on the background reader's thread. Copies share
// what the last read left (behind a lock, so one reads at a time): the texts
// already seen, and the rows handed out. A read builds rows only for what
// changed since; the rows of unchanged lines are the same rows again, shared
// with the view that holds them.
class ReconcileReader {
public:
    struct Scope {
        AccountMode mode = AccountMode::Single;
        // MULTI: every terminal of the list, each client on its own
        // terminal's tables (tLimitStockN, tLimitFutN).
        QVector<TQuikTerminal> terminals;
        // SINGLE: the one account of the settings on the base tables, shown
        // as terminal "Quik".
        QString singleCode;
        QString singleFortsAccount;
        // Only the rows whose sides differ.
        bool onlyDifferences = false;
    };

    explicit ReconcileReader(Scope scope);

    static const QStringList &fields();
    // Throws KorvinaError when a table cannot be read (a terminal's table
    // missing, the database busy).
    Database::Rows read(Database &db) const;
    Database::Rows operator()(Database &db) const { return read(db); }

    const Scope &scope() const { return m_scope; }

private:
    struct Memory;
    Scope m_scope;
    std::shared_ptr<Memory> m_memory;
};
