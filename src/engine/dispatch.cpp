// Order dispatch: one prepared order run over the accounts that are to
// receive it, each turned into a transaction and written to its terminal.

#include "dispatch.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "gateway/transactionfiles.h"
#include "positionbook.h"
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
    if (P.Kind == OrderKind::Strategy) {
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
    // A target position turns the order around for a client who holds more
    // (or less) than the target: the price the operator set was for the other
    // side, so this client's order is priced from its own side of the quotes,
    // a sale from the bid, a buy from the offer, with the order's slippage.
    // The quantity stays as sized.
    if (P.Kind == OrderKind::Operator && !O.StopOrder && O.Operation != P.Operation.str()) {
        if (O.Operation == QLatin1String("S"))
            O.Price = P.Bid * (1 - P.SlipRate);
        else
            O.Price = P.Offer * (1 + P.SlipRate);
    }
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

void Robot::serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination,
                        qint32 terminal, DispatchScope &scope)
{
    // One client's failure costs that client's transaction, never the
    // others'; a transient one is tried again later for that client alone.
    try {
        if (H(m_data, m_settings, O, P, A))
            SendTransaction(O, P, destination);
    } catch (const std::exception &e) {
        if (isTransient(e)) {
            scope.failed.append({terminal, A.Code});
            scope.failure = failureText(e);
            return;
        }
        AddLog(QStringLiteral("Ошибка при подготовке ордера # ") + QString::number(P.Id) + QStringLiteral(" по счету ") + A.Code
               + QStringLiteral(": ") + failureText(e));
    }
}

void Robot::SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination)
{
    qint32 number = TransId;
    // The book's key is the client's code as the order was sized with it
    // (a SmartTrade futures order puts the account in its place).
    const QString bookCode = O.ClientCode;
    try {
        number = m_gateway.SendTransaction(O, P, destination);
        if (P.Kind == OrderKind::Strategy) {
            TOrder booked = O;
            booked.ClientCode = bookCode;
            if (number >= 0) {
                const qint64 serial = ++m_bookSerial;
                auto written = [this, serial](qint64 rowId) {
                    if (rowId >= 0)
                        m_bookRowIds.insert(serial, rowId);
                };
                const QString tag = QStringLiteral("book:") + QString::number(serial);
                if (AddOpenPosition(m_data, booked, P, tag, number, written)) {
                    m_bookEntries.insert(number, serial);
                    // The entry's line waits for its book row too: a robot
                    // killed after the line went out must find the position.
                    m_gateway.requireRow(number, tag);
                }
            }
            DeleteOpenPositions(m_data, booked, P, number);
            if (m_dispatching > 0)
                m_bookChanged = true;
            else
                refreshBook();
        }
    } catch (const std::exception &e) {
        AddLog(QStringLiteral("Произошла ошибка во время отправки тразакции номер  ") + QString::number(number)
               + QStringLiteral(" в терминал.\r\n") + failureText(e));
    }
    UpdateStatusBar();
}

void Robot::refreshBook()
{
    m_bookChanged = false;
    m_data.quikWrites.flush();
    RefreshDataSet(m_data.tClientOpenPositions);
}

void Robot::writeGuarded(const QString &fileName) { m_gateway.WriteTransactionsLogged(fileName); }

void Robot::closeWith(DispatchScope &scope)
{
    // Only an order that nothing stopped is done.
    if (scope.closing && scope.failed.isEmpty()) {
        m_data.quikWrites.add(std::move(*scope.closing));
        scope.closing.reset();
    }
}

QString Robot::DispatchOrder(const TPreOrder &order, TOrderHandler H)
{
    DispatchScope scope;
    dispatch(order, H, scope);
    if (scope.failed.isEmpty())
        return QString();
    const QString line = QStringLiteral("Ошибка при обработке ордера: ") + scope.failure + QStringLiteral(". Не выставлено заявок: ")
        + QString::number(scope.failed.size()) + QStringLiteral(".");
    AddLog(line);
    return line;
}

void Robot::dispatch(const TPreOrder &order, TOrderHandler H, DispatchScope &scope)
{
    const TPreOrder P = order; // the caller's record stays as it is
    TOrder O;
    TClientAccount A;
    const bool smartTrade = m_settings.terminalKind() == TerminalKind::SmartTrade;
    // A terminal, or one of its clients, that this dispatch serves.
    auto serves = [&scope](qint32 terminal, const QString &code) {
        if (!code.isNull() && scope.except.contains(code))
            return false;
        if (!scope.only)
            return true;
        for (const auto &[t, c] : *scope.only)
            if (t == terminal && (c.isEmpty() || code.isNull() || c == code))
                return true;
        return false;
    };
    // A strategy order sized on a setting that is no number goes nowhere.
    if (P.Kind == OrderKind::Strategy)
        RequireSizingSettings(m_settings);

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
            if (--r.m_dispatching == 0 && r.m_bookChanged)
                r.refreshBook();
        }
    } dispatching(*this);

    if (m_settings.accountMode() == AccountMode::Single) {
        A.Code = m_settings.edtCode;
        A.AccountMicex = m_settings.edtAccountMicex;
        A.AccountForts = m_settings.edtAccountFORTS;
        const QString quikFile = PathInFolder(m_settings.edtdirTT, QStringLiteral("trans") + QStringLiteral(".tri"));
        if (serves(0, A.Code)) {
            // The journal and book rows are in the database before the file
            // gets the lines (or wait in the queue while it cannot take them).
            WriteQueue::Batch batch(m_data.quikWrites, true);
            serveClient(H, O, P, A, smartTrade ? m_settings.edtDirSmartTrade : quikFile, 0, scope);
            closeWith(scope);
        }
        writeGuarded(smartTrade ? SmartTradeFileName(m_settings.edtDirSmartTrade) : quikFile);
    } else if (P.Kind == OrderKind::Strategy || P.Kind == OrderKind::Operator) {
        DataSet &terminals = m_data.qActiveQuik;
        terminals.Close();
        terminals.Open();
        QVector<Terminal> list;
        for (int r = 0; r < terminals.RecordCount(); ++r)
            list.append({terminals.value(r, QStringLiteral("id_quik")).toInt(), terminals.value(r, QStringLiteral("quik")).toString(),
                         terminals.value(r, QStringLiteral("path")).toString()});
        const QString classCode = P.Kind == OrderKind::Strategy ? m_data.ClassCodeByTicker(P.Symbol) : QString();
        // The last terminal served writes the order's closing row with its
        // own rows (a SmartTrade order, written client by client, after).
        int lastServed = -1;
        for (int i = 0; i < list.size(); ++i)
            if (serves(list[i].idQuik, QString()))
                lastServed = i;
        for (int i = 0; i < list.size(); ++i) {
            const Terminal &t = list[i];
            if (!serves(t.idQuik, QString()))
                continue;
            const QString quikFile = PathInFolder(m_settings.edtdirTT, t.quik + QStringLiteral(".tri"));
            const QString destination = smartTrade ? t.path : quikFile;
            try {
                // The terminal's journal and book rows are written together,
                // before its file gets the lines. SmartTrade gets a file per
                // client as each is served, so there every row is written on
                // its own, before its client's file.
                std::optional<WriteQueue::Batch> batch;
                if (!smartTrade)
                    batch.emplace(m_data.quikWrites, true);
                if (P.Kind == OrderKind::Strategy) {
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
                        if (!serves(t.idQuik, A.Code))
                            continue;
                        serveClient(H, O, P, A, destination, t.idQuik, scope);
                        if (smartTrade)
                            writeGuarded(SmartTradeFileName(t.path));
                    }
                } else {
                    // The members' accounts come with the group's rows (each
                    // member's own row, not one looked up again by its code).
                    DataSet &q = m_data.qGroupClients;
                    q.Close();
                    q.setSQL(QStringList{QStringLiteral("SELECT [tClients].*"),
                                         QStringLiteral("FROM  tGroupClients INNER JOIN (tclients INNER JOIN tQuik ON [tclients].[id_quik] = "
                                                        "[tQuik].[id_quik]) ON [tGroupClients].[id_client] = [tclients].[id]"),
                                         QStringLiteral("WHERE [tGroupClients].[id_group] = ") + QString::number(P.GroupId)
                                             + QStringLiteral(" AND [tClients].[id_quik] = ") + QString::number(t.idQuik)});
                    q.Open();
                    QVector<TClientAccount> members;
                    for (int r = 0; r < q.RecordCount(); ++r) {
                        q.setRecNo(r + 1);
                        TClientAccount member;
                        member.IdQuik = t.idQuik;
                        ReadClientAccount(q, member);
                        members << member;
                    }
                    for (const TClientAccount &member : members) {
                        if (!serves(t.idQuik, member.Code))
                            continue;
                        A = member;
                        serveClient(H, O, P, A, destination, t.idQuik, scope);
                        if (smartTrade)
                            writeGuarded(SmartTradeFileName(t.path));
                    }
                }
                if (i == lastServed && !smartTrade)
                    closeWith(scope);
            } catch (const std::exception &e) {
                if (isTransient(e)) {
                    // None of this terminal's clients was reached by this
                    // failure's point onward: the terminal is tried again
                    // for the clients it had left.
                    scope.failed.append({t.idQuik, QString()});
                    scope.failure = failureText(e);
                } else {
                    AddLog(QStringLiteral("Ошибка при выборе клиентов терминала ") + t.quik + QStringLiteral(": ") + failureText(e));
                }
            }
            if (!smartTrade)
                writeGuarded(quikFile);
        }
    }
    FlushLog();
    emit beep();
}
