#pragma once

#include <QString>
#include <QVector>
#include <optional>

class DataSet;

// One row of the terminal list tQuik.
struct TQuikTerminal {
    int id_quik = 0;
    bool active = false;
    QString quik;
    QString path;
};

// The terminal list from its first row to its last, in the table's order.
QVector<TQuikTerminal> ReadTerminals(DataSet &tQuik);

// The merged view of one terminal export table: SINGLE (mode 0) reads the
// base table, MULTI (mode 1) unites every terminal's copy.
QString BuildUnionQuery(const QString &table, int mode, const QVector<TQuikTerminal> &terminals);

// The positions view: stock holdings, futures positions and money limits of
// the clients, optionally only one group, one client or one security.
QString BuildLimitsQuery(bool allLimits, std::optional<int> group, const QString &client, const QString &security,
                         int mode, const QVector<TQuikTerminal> &terminals);
