#pragma once

#include "backgroundreader.h"
#include "changecounters.h"
#include "database.h"
#include "dataset.h"
#include "pricedigits.h"
#include "secdirectory.h"
#include "viewcache.h"
#include "writequeue.h"
#include "views.h"

#include <QHash>
#include <QObject>
#include <QVariantMap>
#include <QVector>

#include <optional>

// The data module: both database connections and one long-lived dataset per
// table and query the program uses. Every other part of the program reaches
// the databases through these objects.
class TDatMod : public QObject {
    Q_OBJECT
public:
    explicit TDatMod(QObject *parent = nullptr);

    // Connections
    Database conOmega;    // the strategy platform's alert database
    Database conQuikData; // QuikData

    // Alert database: tables shown in the main window, queries of the watch cycle
    DataSet tFilledOrders, tActiveOrders, tCanceledOrders, tOpenPisitions;
    DataSet qFilledOrders, qActiveOrders, qCanceledOrders, qUpdateOrderNumber;

    // QuikData: tables
    DataSet tParam, tSecCode, tWorkSpaces, tStrategy, tClients, tGroup, tGroupClients, tQuik, tOrderNumber,
        tClientOpenPositions;
    // QuikData: fixed queries
    DataSet qSecCodeSum, qExitQty, qActiveClients, qActiveQuik, qClientsByGroup;
    // QuikData: merged terminal views, built at every connection
    DataSet qPortfolioAll, qPortfolioFutAll, qQuikOrdersAll, qTradesAll, qLimits, qSecCodeList, qPortfolioSum,
        qPortfolioFutSum;
    // QuikData: work queries
    DataSet qSecCode, qGroupClients, qQuikData;
    // Rows on their way into each database: the journal, the position book
    // and the result updates into QuikData, order numbers into the alerts.
    WriteQueue quikWrites{conQuikData};
    WriteQueue alertWrites{conOmega};
    // Clients' rows of the merged portfolio views, read once per change of QuikData.
    ViewKeyCache portfolioLookups;
    // Whether the terminals' tables changed since a view was read (a
    // QuikData on a server with change counters).
    ChangeCounters quikChanges{conQuikData};
    // The same for the platform's alert tables (alerts on a server).
    ChangeCounters alertChanges{conOmega, QStringLiteral("таблицы Omega")};
    // Re-reads the merged terminal views off the windows' thread (on a
    // server: in this thread, when quikChanges says they changed).
    BackgroundReader quikReader;
    // The decimals of the securities that the rows of other tables name,
    // for their price cells.
    PriceDigits priceDigits{tParam, tSecCode};
    // Securities found in the directory while a dispatch runs, by statement:
    // every client of one order needs the same row, and the dispatch holds
    // QuikData's write lock, so the directory cannot change meanwhile.
    // Kept only while securityMemoDepth > 0.
    QHash<QString, QVariantMap> securityMemo;
    int securityMemoDepth = 0;

    // The alert tables in the connection's order.
    QVector<DataSet *> alertTables();
    // Every dataset of the module.
    QVector<DataSet *> all();

    // The id of the table's last row in its natural order; 0 when the table
    // is empty, -1 when it is not open (or cannot be read).
    qint64 GetLastId(DataSet &table);

    // Empties the transaction journal tOrderNumber (rows still queued for it
    // are dropped too: they belong to the journal being emptied).
    void ClearOrderNumbers();

    // The securities directory by the strategy platform's ticker: the Traded
    // flag (false without a row) and the class code ("" without a row).
    bool IsTraded(const QString &T);
    QString ClassCodeByTicker(const QString &T);

    // The window's commands on the merged views (the window passes what
    // the operator chose).
    // The clients of a group, or of every group (the group box's list).
    void FilterClientsByGroup(std::optional<int> group);
    // The positions view for the filter chosen: the group's key as text
    // ("" none), a client code and a security ("" none), all limits or not.
    void SelectLimits(AccountMode mode, const QString &group, const QString &client, const QString &security, bool allLimits);
    // The instrument list of the positions filter, current again.
    void ReopenSecCodeList();
    // The portfolio views re-read, and their totals.
    void RefreshPortfolios();

    // The footer values under the portfolio grids, as last read.
    TPortfolioTotals PortfolioTotals;
    void setPortfolioTotals(const TPortfolioTotals &totals);
    // ... read again (nothing when QuikData is not connected).
    void UpdatePortfolioTotals();

    // The totals under the securities directory's grid, as last read.
    TSumList SumList;
    void setSumList(const TSumList &sums);

signals:
    void portfolioTotalsChanged();
    void sumListChanged();

private:
    // The first row's column of the directory row whose Ticker is T.
    QVariant SecCodeColumnByTicker(const QString &column, const QString &T);
};
