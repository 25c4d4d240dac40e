// Order dispatch: one prepared order run over the accounts that are to
// receive it, each turned into a transaction and written to its terminal.

#include "dispatcher.h"

#include "positionbook.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "gateway/gateway.h"

namespace {

struct Terminal {
    int idQuik = 0;
    QString quik;
    QString path;
};

} // namespace

Dispatcher::Dispatcher(Settings &settings, TDatMod &data, Gateway &gateway, QObject *parent)
    : QObject(parent), m_settings(settings), m_data(data), m_gateway(gateway)
{
    setObjectName(QStringLiteral("Dispatcher"));
    connect(&m_gateway, &Gateway::refused, this, &Dispatcher::onRefused);
    connect(&m_gateway, &Gateway::executed, this, &Dispatcher::onExecuted);
    connect(&m_gateway, &Gateway::numberingRestarted, this, &Dispatcher::onNumberingRestarted);
}

void Dispatcher::refreshBookIfChanged()
{
    // Book rows of refused entries go as soon as they can.
    if (m_bookChanged && m_dispatching == 0)
        refreshBook();
}

void Dispatcher::serveClient(TOrderHandler H, TOrder &O, const TPreOrder &P, const TClientAccount &A, const QString &destination,
                        qint32 terminal, Scope &scope)
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

void Dispatcher::SendTransaction(TOrder &O, const TPreOrder &P, const QString &destination)
{
    qint32 number = m_gateway.TransId();
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
    emit transactionHandled();
}

QVector<TClientAccount> Dispatcher::activeClients(const QString &condition, qint32 terminal, qint64 others)
{
    static const QStringList tables{QStringLiteral("tClients"), QStringLiteral("tQuik")};
    const qint64 own = m_data.conQuikData.ownWritesTo(tables);
    const auto known = m_clientLists.constFind(condition);
    if (others >= 0 && known != m_clientLists.cend() && known->others == others && known->own == own)
        return known->accounts;
    DataSet &q = m_data.qActiveClients;
    q.Close();
    q.clearParams();
    q.setSQL(QStringList{QStringLiteral("SELECT *"), QStringLiteral("FROM tClients INNER JOIN tQuik ON [tclients].[id_quik] = [tQuik].[id_quik]"),
                         condition});
    q.Open();
    ClientList list{others, own, {}};
    list.accounts.reserve(q.RecordCount());
    for (int r = 0; r < q.RecordCount(); ++r) {
        q.setRecNo(r + 1);
        TClientAccount A;
        A.IdQuik = terminal; // the terminal being walked is the client's own
        ReadClientAccount(m_data, A);
        list.accounts << A;
    }
    if (m_clientLists.size() >= 64)
        m_clientLists.clear();
    return m_clientLists.insert(condition, std::move(list))->accounts;
}

void Dispatcher::refreshBook()
{
    m_bookChanged = false;
    m_data.quikWrites.flush();
    RefreshDataSet(m_data.tClientOpenPositions);
}

void Dispatcher::closeWith(Scope &scope)
{
    // Only an order that nothing stopped is done.
    if (scope.closing && scope.failed.isEmpty()) {
        m_data.quikWrites.add(std::move(*scope.closing));
        scope.closing.reset();
    }
}

QString Dispatcher::DispatchOrder(const TPreOrder &order, TOrderHandler H)
{
    Scope scope;
    dispatch(order, H, scope);
    if (scope.failed.isEmpty())
        return QString();
    const QString line = QStringLiteral("Ошибка при обработке ордера: ") + scope.failure + QStringLiteral(". Не выставлено заявок: ")
        + QString::number(scope.failed.size()) + QStringLiteral(".");
    AddLog(line);
    return line;
}

void Dispatcher::dispatch(const TPreOrder &order, TOrderHandler H, Scope &scope)
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
        Dispatcher &r;
        explicit Dispatching(Dispatcher &d) : r(d)
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
    // Every transaction of the dispatch is stamped with its moment.
    const Gateway::TimeBatch batchTime(m_gateway);
    // Every client's assets are read from one reading of the portfolios.
    const ViewKeyCache::Hold portfolios(m_data.portfolioLookups);

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
        m_gateway.WriteTransactionsLogged(smartTrade ? m_gateway.SmartTradeFileName(m_settings.edtDirSmartTrade) : quikFile);
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
        // Every terminal's journal and book rows are written in one commit,
        // before any of their files gets its lines (the files follow, each
        // with its own lines, once the rows are in). SmartTrade gets a file
        // per client as each is served, so there every row is written on
        // its own, before its client's file.
        QStringList quikFiles;
        constexpr qint64 kUnread = std::numeric_limits<qint64>::min();
        qint64 othersStamp = kUnread; // read once, at the first terminal that needs it
        {
        std::optional<WriteQueue::Batch> batch;
        if (!smartTrade)
            batch.emplace(m_data.quikWrites, true);
        for (int i = 0; i < list.size(); ++i) {
            const Terminal &t = list[i];
            if (!serves(t.idQuik, QString()))
                continue;
            const QString quikFile = PathInFolder(m_settings.edtdirTT, t.quik + QStringLiteral(".tri"));
            const QString destination = smartTrade ? t.path : quikFile;
            try {
                if (P.Kind == OrderKind::Strategy) {
                    if (othersStamp == kUnread)
                        othersStamp = m_data.conQuikData.othersStampOf({QStringLiteral("tClients"), QStringLiteral("tQuik")});
                    for (const TClientAccount &account :
                         activeClients(ActiveClientsCondition(classCode, P.OrderType, t.idQuik), t.idQuik, othersStamp)) {
                        A = account;
                        if (!serves(t.idQuik, A.Code))
                            continue;
                        serveClient(H, O, P, A, destination, t.idQuik, scope);
                        if (smartTrade)
                            m_gateway.WriteTransactionsLogged(m_gateway.SmartTradeFileName(t.path));
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
                            m_gateway.WriteTransactionsLogged(m_gateway.SmartTradeFileName(t.path));
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
                quikFiles << quikFile;
        }
        }
        for (const QString &quikFile : std::as_const(quikFiles))
            m_gateway.WriteTransactionsLogged(quikFile);
    }
    FlushLog();
    emit beep();
}

void Dispatcher::onNumberingRestarted(const QHash<qint32, qint32> &carried)
{
    // The links of the old numbers go; a text carried over keeps its book
    // entry under its new number.
    QHash<qint32, qint64> entries;
    for (auto it = carried.cbegin(); it != carried.cend(); ++it)
        if (m_bookEntries.contains(it.key()))
            entries.insert(it.value(), m_bookEntries.value(it.key()));
    m_bookEntries = entries;
    QHash<qint64, qint64> rows;
    for (const qint64 serial : std::as_const(m_bookEntries))
        if (m_bookRowIds.contains(serial))
            rows.insert(serial, m_bookRowIds.value(serial));
    m_bookRowIds = rows;
}

void Dispatcher::onExecuted(qint32 transId)
{
    // An executed entry stays what it is: its links go.
    const auto entry = m_bookEntries.constFind(transId);
    if (entry == m_bookEntries.cend())
        return;
    m_bookRowIds.remove(*entry);
    m_bookEntries.erase(entry);
}

void Dispatcher::onRefused(qint32 transId)
{
    // The entry this transaction booked is no position: it goes from the
    // book, so that the exit is sized on what is really held.
    const auto entry = m_bookEntries.constFind(transId);
    if (entry == m_bookEntries.cend())
        return;
    const qint64 serial = *entry;
    m_bookEntries.erase(entry);
    // The entry stays in the book with nothing held, so that its exit closes
    // nothing (without any row the exit would fall back to the strategy's
    // quantity and sell what was never bought).
    AddLog(QStringLiteral("Вход в позицию транзакции # ") + QString::number(transId)
           + QStringLiteral(" не исполнен: в книге робота он оставлен с количеством 0, и выход по нему ничего не отправит."));
    if (WriteQueue::Item *waiting = m_data.quikWrites.find(QStringLiteral("book:") + QString::number(serial))) {
        waiting->params.insert(QStringLiteral("quantity"), 0);
        return; // not written yet
    }
    const auto row = m_bookRowIds.constFind(serial);
    if (row == m_bookRowIds.cend())
        return;
    const qint64 rowId = *row;
    m_bookRowIds.erase(row);
    MarkEntryRefused(m_data, rowId, transId);
    m_bookChanged = true;
}

TManualDispatch Dispatcher::DispatchManualOrder(const TPreOrder &P)
{
    if (P.Kind == OrderKind::Strategy) {
        AddLog(QStringLiteral("Исполняю ордер # ") + QString::number(P.Id) + QStringLiteral(" ..."));
    } else {
        // The group the order goes to, by its number (not whatever row a
        // list of groups happens to be on).
        QString name;
        DataSet &groups = m_data.tGroup;
        const int key = groups.fieldIndex(QStringLiteral("id_group"));
        const int shown = groups.fieldIndex(QStringLiteral("group"));
        if (groups.Active() && key >= 0 && shown >= 0)
            for (int r = 0; r < groups.RecordCount(); ++r)
                if (groups.value(r, key).toInt() == P.GroupId)
                    name = groups.value(r, shown).toString();
        AddLog(QStringLiteral("Формирую заявки по инструменту ") + P.SecData.SecCode + QStringLiteral(" для группы #")
               + QString::number(P.GroupId) + QStringLiteral(" \"") + name + QStringLiteral("\"   ..."));
    }
    const qint32 before = m_gateway.TransId();
    TManualDispatch result;
    try {
        result.failure = DispatchOrder(P, MakeNewOrder);
    } catch (...) {
        FlushLog();
        throw;
    }
    result.formed = m_gateway.TransId() - before;
    FlushLog();
    return result;
}

QString Dispatcher::KillManualOrders(const TPreOrder &P)
{
    AddLog(QStringLiteral("Снимаю заявки по инструменту ") + P.SecData.SecCode + QStringLiteral(" ..."));
    QString failure;
    try {
        failure = DispatchOrder(P, MakeKillOrders);
    } catch (...) {
        FlushLog();
        throw;
    }
    FlushLog();
    return failure;
}
