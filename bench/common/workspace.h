#pragma once

// A workspace for the benchmarks that run the robot: both databases made by
// the schema code, the transaction folder and a robot connected to it in
// MULTI mode, with its transaction files ready.

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "engine/robot.h"

#include <QTemporaryDir>

#include <memory>

struct BenchWorkspace {
    QTemporaryDir dir;
    OperationLog log;
    Settings settings;
    TDatMod dm;
    std::unique_ptr<Robot> robot;
    QString quikData, alerts;

    // `clients` clients "C0", "C1", ... (account "M<i>") spread over
    // `terminals` active terminals "Q1", "Q2", ... in turn; the security
    // SBER (lot 1) in the directory, the workspace "Demo.orw" and the
    // strategy "Demo" in the filters. alertRows: rows in each alert table.
    // shareSizing: strategy orders are sized on 10 % of each client's
    // assets, read from the merged portfolio of the terminals (one row per
    // client, 1 000 000 + i).
    // serverQuikData and serverAlerts: empty databases on a PostgreSQL
    // server to use instead of files (not with shareSizing).
    BenchWorkspace(int clients, int terminals, int alertRows = 0, bool shareSizing = false, const QString &serverQuikData = {},
                   const QString &serverAlerts = {});

    // A statement run at once on one of the two databases.
    static void sql(Database &db, const QString &statement);

    // The strategy platform's filled "Buy 10 SBER" long entry of the
    // strategy and workspace the filters let through.
    static TPreOrder order();
};
