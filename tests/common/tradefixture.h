#pragma once

#include "data/datmod.h"
#include "workspace.h"

#include <QVariantMap>

// A workspace whose QuikData the data module is connected to, with short
// ways to fill the directory, the clients, the terminals and their exports,
// and to build the merged views as a connection does.
class TradeFixture {
public:
    TradeFixture();

    TestWorkspace ws;
    TDatMod dm;
    Settings &settings() { return ws.settings; }

    // A statement on QuikData as the engine gets it.
    void sql(const QString &native, const QVariantMap &params = {});

    struct Security {
        QString ticker;
        QString secCode;
        QString classCode = QStringLiteral("TQBR");
        QVariant digits = 2;
        QVariant lotSize = 1;
        QVariant pointValue = 1;
        QVariant minMov = 0.01;
        QVariant traded = true;
        QVariant slippage = 0.0;
        QVariant part = 0.0;
        QVariant fixVol = 0.0;
    };
    void addSecurity(const Security &s);

    void addClient(const QString &code, const QString &accountForts, int idQuik = 0, double leverage = 0, bool ebs = false);
    // A terminal row and its own copies of the export tables.
    void addTerminal(int idQuik, const QString &name, bool active = true);

    // Rows of the exports; suffix is the terminal number, or "" for SINGLE.
    void addPortfolio(const QString &suffix, const QString &code, const QVariant &curallassets);
    void addPortfolioFut(const QString &suffix, const QString &account, const QVariant &openlimit);
    void addLimitStock(const QString &suffix, const QString &code, const QString &secCode, double openbal, double currentbal);
    void addLimitFut(const QString &suffix, const QString &account, const QString &secCode, double openbal, double currentbal);
    void addLimitMoney(const QString &suffix, const QString &code, const QString &tag, const QString &currency, double openbal,
                       double currentbal);
    void addQuote(const QString &secCode, double last, const QVariant &pointValue = 1, const QVariant &minMov = 0.01,
                  const QVariant &digits = 2);

    // The portfolio views for the mode and the terminals now listed.
    void buildPortfolioViews(int mode);
};
