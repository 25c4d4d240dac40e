// Order dispatch: one prepared order run over the accounts that are to
// receive it, each turned into a transaction and written to its terminal.

#include "dispatch.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "gateway/transactionfiles.h"
#include "robot.h"

#include <optional>

namespace {

void setAccount(TOrder &O, const TClientAccount &A)
{
    O.Account = A.AccountMicex;
    if (O.SecData.ClassCode == QLatin1String("SPBFUT"))
        O.Account = A.AccountForts;
    else if (O.SecData.ClassCode == QLatin1String("GTS"))
        O.Account = A.Code;
}

struct Terminal {
    int idQuik = 0;
    QString quik;
    QString path;
};

} // namespace

bool MakeNewOrder(TDatMod &dm, const Settings &settings, TOrder &O, const TPreOrder &P, const TClientAccount &A)
{
    ClearOrder(O);
    O.ClientCode = A.Code;
    O.OrderType = P.OrderType;
    O.SecData.Ticker = P.Symbol;
    O.SecData.SecCode = P.SecData.SecCode;
    if (!LookupSecurity(dm, O.SecData, P.Kind))
        return false;
    if (P.Kind == 0) {
        // A strategy order's text is read and its slippage applied.
        O.OrderId = P.Id;
        ParseOrderText(O, P);
        PriceOrder(O);
    } else {
        // An operator order carries its prices, direction and stop flag.
        O.Price = P.Price;
        O.StopPrice = P.StopPrice;
        O.Operation = P.Operation;
        O.StopOrder = P.StopOrder;
    }
    SizeOrder(dm, settings, O, P, A);
    O.Action = O.StopOrder ? QStringLiteral("NEW_STOP_ORDER") : QStringLiteral("NEW_ORDER");
    setAccount(O, A);
    return true;
}

bool MakeKillOrders(TDatMod &dm, const Settings &, TOrder &O, const TPreOrder &P, const TClientAccount &A)
{
    ClearOrder(O);
    O.ClientCode = A.Code;
    O.SecData = P.SecData;
    LookupSecurity(dm, O.SecData, P.Kind);
    O.StopOrder = P.StopOrder;
    O.Action = QStringLiteral("KILL_ALL_ORDERS");
    if (O.SecData.ClassCode == QLatin1String("SPBFUT"))
        O.Action = QStringLiteral("KILL_ALL_FUTURES_ORDERS");
    if (O.StopOrder)
        O.Action = QStringLiteral("KILL_ALL_STOP_ORDERS");
    setAccount(O, A);
    FlushLog();
    return true;
}

QString ActiveClientsCondition(const QString &classCode, const QString &orderType, int idQuik)
{
    QString w = QStringLiteral("WHERE [tClients].[Active] = True  ");
    w += classCode == QLatin1String("SPBFUT") ? QStringLiteral("AND [tClients].[FortsEnb]=True ") : QStringLiteral("AND [tClients].[MicexEnb]=True ");
    if (orderType == QLatin1String("LE") || orderType == QLatin1String("LX"))
        w += QStringLiteral("AND [tClients].[LongEnb]=True ");
    if (orderType == QLatin1String("SE") || orderType == QLatin1String("SX"))
        w += QStringLiteral("AND [tClients].[ShortEnb]=True ");
    w += QStringLiteral(" AND [tClients].[id_quik] = ") + QString::number(idQuik);
    return w;
}

void Robot::serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination)
{
    // One client's failure costs that client's transaction, never the others'.
    try {
        if (H(m_data, m_settings, O, P, A))
            SendTransaction(O, P, destination);
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Ошибка при подготовке ордера # ") + QString::number(P.Id) + QStringLiteral(" по счету ") + A.Code
               + QStringLiteral(": ") + failureText(e));
    }
}

void Robot::writeGuarded(const QString &fileName)
{
    try {
        WriteTransactions(fileName);
    } catch (const std::exception &e) {
        AddLog(failureText(e));
    }
}

void Robot::DispatchOrder(const TPreOrder &order, TOrderHandler H)
{
    const TPreOrder P = order; // the caller's record stays as it is
    TOrder O;
    TClientAccount A;
    const bool smartTrade = m_settings.rgpTerminal == 1;

    // The book's dataset is re-read once when the dispatch ends, whatever
    // way it ends, instead of after every client; securities looked up for
    // the first client serve the others.
    struct Dispatching {
        Robot &r;
        explicit Dispatching(Robot &robot) : r(robot)
        {
            ++r.m_dispatching;
            ++r.m_data.securityMemoDepth;
        }
        ~Dispatching()
        {
            if (--r.m_data.securityMemoDepth == 0)
                r.m_data.securityMemo.clear();
            if (--r.m_dispatching == 0 && r.m_bookChanged) {
                r.m_bookChanged = false;
                RefreshDataSet(r.m_data.tClientOpenPositions);
            }
        }
    } dispatching(*this);

    if (m_settings.rgpSingleMulti == 0) {
        A.Code = m_settings.edtCode;
        A.AccountMicex = m_settings.edtAccountMicex;
        A.AccountForts = m_settings.edtAccountFORTS;
        const QString quikFile = PathInFolder(m_settings.edtdirTT, QStringLiteral("trans") + QStringLiteral(".tri"));
        {
            Database::WriteBatch batch(m_data.conQuikData);
            serveClient(H, O, P, A, smartTrade ? m_settings.edtDirSmartTrade : quikFile);
        }
        writeGuarded(smartTrade ? SmartTradeFileName(m_settings.edtDirSmartTrade) : quikFile);
    } else if (P.Kind == 0 || P.Kind == 1) {
        DataSet &terminals = m_data.qActiveQuik;
        terminals.Close();
        terminals.Open();
        QVector<Terminal> list;
        for (int r = 0; r < terminals.RecordCount(); ++r)
            list.append({terminals.value(r, QStringLiteral("id_quik")).toInt(), terminals.value(r, QStringLiteral("quik")).toString(),
                         terminals.value(r, QStringLiteral("path")).toString()});
        const QString classCode = P.Kind == 0 ? m_data.ClassCodeByTicker(P.Symbol) : QString();
        for (const Terminal &t : list) {
            const QString quikFile = PathInFolder(m_settings.edtdirTT, t.quik + QStringLiteral(".tri"));
            const QString destination = smartTrade ? t.path : quikFile;
            try {
                // The terminal's journal and book rows are committed
                // together, before its file gets the lines. SmartTrade gets
                // a file per client as each is served, so there every row
                // is committed on its own, before its client's file.
                std::optional<Database::WriteBatch> batch;
                if (!smartTrade)
                    batch.emplace(m_data.conQuikData);
                if (P.Kind == 0) {
                    DataSet &q = m_data.qActiveClients;
                    q.Close();
                    q.clearParams();
                    q.setSQL(QStringList{QStringLiteral("SELECT *"),
                                         QStringLiteral("FROM tClients INNER JOIN tQuik ON [tclients].[id_quik] = [tQuik].[id_quik]"),
                                         ActiveClientsCondition(classCode, P.OrderType, t.idQuik)});
                    q.Open();
                    for (int r = 0; r < q.RecordCount(); ++r) {
                        q.setRecNo(r + 1);
                        A = TClientAccount();
                        A.IdQuik = t.idQuik; // the terminal being walked is the client's own
                        ReadClientAccount(m_data, A);
                        serveClient(H, O, P, A, destination);
                        if (smartTrade)
                            writeGuarded(SmartTradeFileName(t.path));
                    }
                } else {
                    DataSet &q = m_data.qGroupClients;
                    q.Close();
                    q.setSQL(QStringList{QStringLiteral("SELECT [tClients].[code]"),
                                         QStringLiteral("FROM  tGroupClients INNER JOIN (tclients INNER JOIN tQuik ON [tclients].[id_quik] = "
                                                        "[tQuik].[id_quik]) ON [tGroupClients].[id_client] = [tclients].[id]"),
                                         QStringLiteral("WHERE [tGroupClients].[id_group] = ") + QString::number(P.GroupId)
                                             + QStringLiteral(" AND [tClients].[id_quik] = ") + QString::number(t.idQuik)});
                    q.Open();
                    QStringList codes;
                    for (int r = 0; r < q.RecordCount(); ++r)
                        codes << q.value(r, 0).toString();
                    for (const QString &code : codes) {
                        A = TClientAccount();
                        LoadClientAccount(m_data, A, code);
                        serveClient(H, O, P, A, destination);
                        if (smartTrade)
                            writeGuarded(SmartTradeFileName(t.path));
                    }
                }
            } catch (const std::exception &e) {
                AddLog(QStringLiteral("Ошибка при выборе клиентов терминала ") + t.quik + QStringLiteral(": ") + failureText(e));
            }
            if (!smartTrade)
                writeGuarded(quikFile);
        }
    }
    FlushLog();
    emit beep();
}
