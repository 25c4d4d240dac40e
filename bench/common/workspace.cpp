#include "workspace.h"

#include "data/schema.h"
#include "data/views.h"

#include <QLocale>

void BenchWorkspace::sql(Database &db, const QString &statement) { db.native(statement).finish(); }

BenchWorkspace::BenchWorkspace(int clients, int terminals, int alertRows, bool shareSizing, const QString &serverQuikData,
                               const QString &serverAlerts)
{
    QLocale::setDefault(QLocale::c());
    log.open(dir.filePath(QStringLiteral("Korvina.log")));
    OperationLog::setCurrent(&log);
    quikData = serverQuikData.isEmpty() ? dir.filePath(QStringLiteral("dbQuikData.sqlite")) : serverQuikData;
    alerts = serverAlerts.isEmpty() ? dir.filePath(QStringLiteral("Alerts11.sqlite")) : serverAlerts;
    if (shareSizing && !serverQuikData.isEmpty())
        qFatal("share sizing is benchmarked on files only");
    schema::createDatabaseFile(quikData, schema::Kind::QuikData);
    schema::createDatabaseFile(alerts, schema::Kind::Alerts);
    QString error;
    if (!dm.conQuikData.open(quikData, &error) || !dm.conOmega.open(alerts, &error))
        qFatal("%s", qPrintable(error));
    sql(dm.conQuikData, QStringLiteral("INSERT INTO tSecCode (SecCode, Ticker, Class_Code, Traded, LotSize, Digits, MinMov, PointValue, Slippage) "
                                       "VALUES ('SBER', 'SBER', 'TQBR', 1, 1, 2, 0.01, 1, 0.1)"));
    sql(dm.conQuikData, QStringLiteral("INSERT INTO tWorkSpaces (workspace) VALUES ('Demo.orw')"));
    sql(dm.conQuikData, QStringLiteral("INSERT INTO tStrategy (strategy) VALUES ('Demo')"));
    sql(dm.conQuikData, QStringLiteral("BEGIN"));
    for (int t = 1; t <= terminals; ++t)
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tQuik (id_quik, active, quik, path) VALUES (%1, 1, 'Q%1', '')").arg(t));
    if (shareSizing)
        for (int t = 1; t <= terminals; ++t)
            for (const QString &statement : schema::terminalTableStatements(t))
                sql(dm.conQuikData, statement);
    for (int i = 0; i < clients && shareSizing; ++i)
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tPortfolio%1 (code, curallassets) VALUES ('C%2', %3)")
                                .arg(i % terminals + 1)
                                .arg(i)
                                .arg(1000000 + i));
    for (int i = 0; i < clients; ++i)
        sql(dm.conQuikData, QStringLiteral("INSERT INTO tClients (Code, AccountMicex, AccountFORTS, Active, LongEnb, ShortEnb, MicexEnb, "
                                           "FortsEnb, Ebs, Leverage, id_quik) VALUES ('C%1', 'M%1', 'F%1', 1, 1, 1, 1, 1, 0, 0, %2)")
                                .arg(i)
                                .arg(i % terminals + 1));
    sql(dm.conQuikData, QStringLiteral("COMMIT"));
    if (alertRows > 0) {
        for (const char *table : {"FilledOrders", "ActiveOrders", "CanceledOrders", "OpenPositions"})
            sql(dm.conOmega, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                            "INSERT INTO \"%2\" (ID, Symbol, System) SELECT i, 'SBER', 'Demo(1)' FROM n")
                                     .arg(alertRows)
                                     // (a server's tables are made in lower case)
                                     .arg(serverAlerts.isEmpty() ? QLatin1String(table) : QString::fromLatin1(table).toLower()));
    }
    settings.resetToDefaults();
    settings.rgpSingleMulti = 1;
    settings.edtdirTT = dir.filePath(QStringLiteral("Trans"));
    settings.edtDirSmartTrade = dir.filePath(QStringLiteral("SmartTrade"));
    settings.edtInfoLog = dir.filePath(QStringLiteral("info.log"));
    if (shareSizing) {
        settings.rgpPositionSize = 2;
        settings.edtPart = 10;
    }
    robot = std::make_unique<Robot>(settings, dm);
    for (DataSet *ds : {&dm.tSecCode, &dm.tWorkSpaces, &dm.tStrategy, &dm.tQuik, &dm.tClients, &dm.tOrderNumber, &dm.tClientOpenPositions})
        ds->Open();
    if (shareSizing) {
        const QVector<TQuikTerminal> list = ReadTerminals(dm.tQuik);
        dm.qPortfolioAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolio"), AccountMode::Multi, list));
        dm.qPortfolioFutAll.setSQL(BuildUnionQuery(QStringLiteral("tPortfolioFut"), AccountMode::Multi, list));
    }
    robot->BuildTROFiles();
    robot->PrepareTransactionFiles();
}

TPreOrder BenchWorkspace::order()
{
    TPreOrder P;
    ClearPreOrder(P, OrderKind::Strategy);
    P.Id = 1;
    P.Symbol = QStringLiteral("SBER");
    P.OrderType = QStringLiteral("LE");
    P.OrderText = QStringLiteral("Buy 10 SBER 285.15 ");
    P.System = QStringLiteral("Demo(1)");
    P.Workspace = QStringLiteral("C:\\Demo.orw");
    P.FillPrice = 285.15;
    P.Filled = true;
    return P;
}
