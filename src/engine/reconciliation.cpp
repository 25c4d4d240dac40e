#include "reconciliation.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "data/database.h"
#include "data/datmod.h"
#include "data/jetsql.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>

namespace {

const QString CRLF = QStringLiteral("\r\n");

QString quotedText(const QString &s) { return QLatin1Char('"') + jetsql::quoted(s) + QLatin1Char('"'); }

// A whole number of units as the log writes it; a fraction with its decimals.
QString unitsText(double v)
{
    if (v == std::trunc(v) && std::fabs(v) < 1e15)
        return QString::number(qint64(v));
    return QString::number(v, 'f', 4).remove(QRegularExpression(QStringLiteral("0+$")));
}

QString whoText(const TReconcileRow &r)
{
    return QStringLiteral("клиент ") + r.code + QStringLiteral(", бумага ") + r.secCode + QStringLiteral(" (") + r.quikName
        + QLatin1Char(')');
}

// The terminal rows of one terminal's tables: stock holdings by the client's
// code, futures positions by the client's FORTS account, each security of the
// directory only.
QString terminalRows(const QString &quikName, const QString &suffix, const QString &stockClients, const QString &fortsAccounts)
{
    const QString head = QStringLiteral("SELECT ") + quotedText(quikName) + QStringLiteral(" AS quikname, ");
    return head + QStringLiteral("L.code AS code, L.seccode AS seccode, D.Ticker AS ticker, 0 AS lots, 0 AS units, L.currentbal AS bal") + CRLF
        + QStringLiteral("FROM tLimitStock") + suffix + QStringLiteral(" AS L INNER JOIN tSecCode AS D ON D.SecCode = L.seccode") + CRLF
        + QStringLiteral("WHERE D.Class_Code <> \"SPBFUT\" AND L.code IN (") + stockClients + QStringLiteral(")") + CRLF
        + QStringLiteral("UNION ALL") + CRLF
        + head + QStringLiteral("A.code AS code, L.seccode AS seccode, D.Ticker AS ticker, 0 AS lots, 0 AS units, L.currentbal AS bal") + CRLF
        + QStringLiteral("FROM (tLimitFut") + suffix + QStringLiteral(" AS L INNER JOIN (") + fortsAccounts
        + QStringLiteral(") AS A ON A.account = L.account) INNER JOIN tSecCode AS D ON D.SecCode = L.seccode") + CRLF;
}

} // namespace

QString TReconcileRow::key() const { return quikName + QChar(0x1f) + code.toUpper() + QChar(0x1f) + secCode.toUpper(); }

Reconciliation::Reconciliation(Settings &settings, TDatMod &data, QObject *parent)
    : QObject(parent), m_settings(settings), m_data(data),
      m_view(QStringLiteral("qReconcile"), &data.conQuikData, DataSet::Kind::Query)
{
    setObjectName(QStringLiteral("Reconciliation"));
    connect(&m_data.quikReader, &BackgroundReader::finished, this, [this](DataSet *query) {
        if (query == &m_view)
            Track(QDateTime::currentDateTime());
    });
}

QString Reconciliation::BuildStatement(AccountMode mode, const QVector<TQuikTerminal> &terminals, const QString &singleCode,
                                       const QString &singleFortsAccount, bool onlyDifferences)
{
    // The book's net position per client and ticker, in lots.
    const QString book = QStringLiteral("SELECT code, symbol, SUM(IIF([Position] = \"Short\", -quantity, quantity)) AS lots "
                                        "FROM tClientOpenPositions GROUP BY code, symbol");
    QString accounts; // the clients whose book is compared: code, quikname
    QString terminalPart;
    if (mode == AccountMode::Single) {
        accounts = QStringLiteral("SELECT ") + quotedText(singleCode) + QStringLiteral(" AS code, \"Quik\" AS quikname");
        terminalPart = terminalRows(QStringLiteral("Quik"), QString(), quotedText(singleCode),
                                    QStringLiteral("SELECT ") + quotedText(singleCode) + QStringLiteral(" AS code, ")
                                        + quotedText(singleFortsAccount) + QStringLiteral(" AS account"));
    } else {
        accounts = QStringLiteral("SELECT tClients.code AS code, tQuik.quik AS quikname FROM tClients INNER JOIN tQuik ON tClients.id_quik = tQuik.id_quik");
        for (const TQuikTerminal &t : terminals) {
            const QString n = QString::number(t.id_quik);
            terminalPart += QStringLiteral("UNION ALL") + CRLF
                + terminalRows(t.quik, n, QStringLiteral("SELECT code FROM tClients WHERE id_quik = ") + n,
                               QStringLiteral("SELECT code, AccountFORTS AS account FROM tClients WHERE id_quik = ") + n);
        }
        terminalPart.remove(0, QStringLiteral("UNION ALL").size() + CRLF.size());
    }
    // From the book's side, each row finding its client by the code's index.
    const QString bookFrom = mode == AccountMode::Single
        ? QStringLiteral("FROM ((") + book + QStringLiteral(") AS B INNER JOIN (") + accounts + QStringLiteral(") AS A ON A.code = B.code)")
        : QStringLiteral("FROM (((") + book + QStringLiteral(") AS B INNER JOIN tClients ON tClients.code = B.code) "
                                                             "INNER JOIN tQuik ON tQuik.id_quik = tClients.id_quik)");
    const QString who = mode == AccountMode::Single ? QStringLiteral("A.quikname AS quikname, A.code AS code")
                                                    : QStringLiteral("tQuik.quik AS quikname, tClients.code AS code");
    const QString bookPart =
        QStringLiteral("SELECT ") + who + QStringLiteral(", IIF(D.SecCode IS NULL, B.symbol, D.SecCode) AS seccode, "
                       "B.symbol AS ticker, B.lots AS lots, B.lots * IIF(D.LotSize IS NULL OR D.LotSize = 0, 1, D.LotSize) AS units, 0 AS bal")
        + CRLF + bookFrom + QStringLiteral(" LEFT JOIN tSecCode AS D ON D.Ticker = B.symbol") + CRLF;

    QString having = QStringLiteral("HAVING (SUM(lots) <> 0 OR SUM(bal) <> 0)");
    if (onlyDifferences)
        having += QStringLiteral(" AND SUM(bal) - SUM(units) <> 0");
    return QStringLiteral("SELECT quikname, code, seccode, MAX(ticker) AS ticker, SUM(lots) AS lots, SUM(units) AS units, "
                          "SUM(bal) AS currentbal, SUM(bal) - SUM(units) AS diff")
        + CRLF + QStringLiteral("FROM (") + CRLF + bookPart + QStringLiteral("UNION ALL") + CRLF + terminalPart + QStringLiteral(") AS R")
        + CRLF + QStringLiteral("GROUP BY quikname, code, seccode") + CRLF + having + CRLF
        + QStringLiteral("ORDER BY IIF(SUM(bal) - SUM(units) <> 0, 0, 1), code, seccode, quikname");
}

QVector<TReconcileRow> Reconciliation::RowsOf(const QStringList &fields, const QVector<QVector<QVariant>> &rows)
{
    auto at = [&fields](const char *name) {
        const int i = fields.indexOf(QLatin1String(name), 0);
        if (i >= 0)
            return i;
        for (int k = 0; k < fields.size(); ++k)
            if (fields[k].compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return k;
        throw KorvinaError(QStringLiteral("Сверка: нет поля ") + QLatin1String(name));
    };
    const int q = at("quikname"), c = at("code"), s = at("seccode"), t = at("ticker"), l = at("lots"), u = at("units"),
              b = at("currentbal"), d = at("diff");
    QVector<TReconcileRow> out;
    out.reserve(rows.size());
    for (const auto &r : rows) {
        TReconcileRow x;
        x.quikName = r.value(q).toString();
        x.code = r.value(c).toString();
        x.secCode = r.value(s).toString();
        x.ticker = r.value(t).toString();
        x.lots = r.value(l).toLongLong();
        x.units = r.value(u).toDouble();
        x.terminal = r.value(b).toDouble();
        x.diff = r.value(d).toDouble();
        out.append(x);
    }
    return out;
}

QVector<TReconcileRow> Reconciliation::Read(Database &db, AccountMode mode, const QVector<TQuikTerminal> &terminals,
                                            const QString &singleCode, const QString &singleFortsAccount)
{
    const Database::Rows rows = db.fetch(BuildStatement(mode, terminals, singleCode, singleFortsAccount, false));
    return RowsOf(rows.fields, rows.rows);
}

QString Reconciliation::rebuild() const
{
    return BuildStatement(m_mode, m_terminals, m_settings.edtCode, m_settings.edtAccountFORTS, m_onlyDifferences);
}

void Reconciliation::Prepare(AccountMode mode, const QVector<TQuikTerminal> &terminals)
{
    m_mode = mode;
    m_terminals = terminals;
    m_view.Close();
    m_view.setSQL(rebuild());
    m_view.Open();
    Track(QDateTime::currentDateTime());
}

void Reconciliation::setOnlyDifferences(bool only)
{
    if (only == m_onlyDifferences)
        return;
    m_onlyDifferences = only;
    if (!m_view.Active() && m_view.SQL().isEmpty())
        return;
    const bool wasOpen = m_view.Active();
    m_view.Close();
    m_view.setSQL(rebuild());
    if (wasOpen)
        m_view.Open();
    emit changed();
}

void Reconciliation::Refresh()
{
    if (!m_view.Active())
        return;
    m_data.quikReader.refresh(m_view);
    // Another engine is read at once, in this thread.
    if (m_data.conQuikData.engine() != Database::Engine::SQLite)
        Track(QDateTime::currentDateTime());
}

TReconcileRow Reconciliation::row(int viewRow) const
{
    TReconcileRow x;
    x.quikName = m_view.value(viewRow, QStringLiteral("quikname")).toString();
    x.code = m_view.value(viewRow, QStringLiteral("code")).toString();
    x.secCode = m_view.value(viewRow, QStringLiteral("seccode")).toString();
    x.ticker = m_view.value(viewRow, QStringLiteral("ticker")).toString();
    x.lots = m_view.value(viewRow, QStringLiteral("lots")).toLongLong();
    x.units = m_view.value(viewRow, QStringLiteral("units")).toDouble();
    x.terminal = m_view.value(viewRow, QStringLiteral("currentbal")).toDouble();
    x.diff = m_view.value(viewRow, QStringLiteral("diff")).toDouble();
    return x;
}

void Reconciliation::Track(const QDateTime &now)
{
    // Nothing is known of rows that could not be read: times go on.
    if (!m_view.Active() || !m_view.lastError().isEmpty())
        return;
    QHash<QString, Difference> seen;
    const int n = m_view.RecordCount();
    for (int i = 0; i < n; ++i) {
        const double diff = m_view.value(i, QStringLiteral("diff")).toDouble();
        if (diff == 0)
            continue; // the differences come first
        const TReconcileRow r = row(i);
        const QString k = r.key();
        auto it = m_differences.find(k);
        Difference d = it != m_differences.end() ? *it : Difference{now, false, r};
        d.row = r;
        seen.insert(k, d);
    }
    const int after = std::max(0, m_settings.edtReconcileAfter);
    QStringList lines;
    for (auto it = m_differences.cbegin(); it != m_differences.cend(); ++it) {
        if (!seen.contains(it.key()) && it->reported)
            lines << QStringLiteral("Сверка: позиция робота сходится с терминалом, ") + whoText(it->row) + QLatin1Char('.');
    }
    for (auto it = seen.begin(); it != seen.end(); ++it) {
        if (it->reported || it->since.secsTo(now) < after)
            continue;
        it->reported = true;
        const TReconcileRow &r = it->row;
        lines << QStringLiteral("Сверка: позиция робота расходится с терминалом, ") + whoText(r) + QStringLiteral(": у робота ")
                + QString::number(r.lots) + QStringLiteral(" лот (") + unitsText(r.units) + QStringLiteral(" шт.), в терминале ")
                + unitsText(r.terminal) + QStringLiteral(" шт., разница ") + unitsText(r.diff) + QStringLiteral(" шт., с ")
                + it->since.toString(QStringLiteral("HH:mm:ss")) + QLatin1Char('.');
    }
    m_differences = std::move(seen);
    for (const QString &line : lines) {
        AddLog(line);
        if (m_settings.chSendReconcile)
            emit notify(line);
    }
    if (!lines.isEmpty())
        FlushLog();
    emit changed();
}

QDateTime Reconciliation::Since(const TReconcileRow &row) const
{
    const auto it = m_differences.constFind(row.key());
    return it == m_differences.cend() ? QDateTime() : it->since;
}

QDateTime Reconciliation::Since(int viewRow) const
{
    if (viewRow < 0 || viewRow >= m_view.RecordCount())
        return {};
    return Since(row(viewRow));
}

int Reconciliation::reported() const
{
    int n = 0;
    for (const Difference &d : m_differences)
        n += d.reported ? 1 : 0;
    return n;
}

bool Reconciliation::Align(const TReconcileRow &r, qint64 session, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    Database &db = m_data.conQuikData;
    if (!db.isOpen())
        return fail(QStringLiteral("База данных QuikData не подключена."));
    if (r.ticker.isEmpty())
        return fail(QStringLiteral("Бумаги ") + r.secCode + QStringLiteral(" нет в справочнике инструментов."));
    try {
        // The book's rows still on their way go in first: they are part of it.
        m_data.quikWrites.flush(true);
        const Database::Rows lot = db.fetch(QStringLiteral("SELECT LotSize FROM tSecCode WHERE Ticker = :ticker"),
                                            {{QStringLiteral("ticker"), r.ticker}});
        qint64 lotSize = lot.rows.isEmpty() ? 1 : lot.rows.first().value(0).toLongLong();
        if (lotSize <= 0)
            lotSize = 1;
        const qint64 target = qint64(std::trunc(r.terminal / double(lotSize))); // whole lots, toward zero

        // One write transaction: the book's rows and the history's row go in
        // together or not at all.
        db.begin();
        struct Open {
            Database &db;
            bool done = false;
            ~Open()
            {
                if (!done)
                    db.rollback();
            }
        } tx{db};
        const Database::Rows rows = db.fetch(
            QStringLiteral("SELECT id, quantity, [Position], [System], [Signal], [Workspace], [Interval] FROM tClientOpenPositions "
                           "WHERE code = :code AND symbol = :symbol ORDER BY id"),
            {{QStringLiteral("code"), r.code}, {QStringLiteral("symbol"), r.ticker}});
        qint64 net = 0;
        for (const auto &row : rows.rows)
            net += (row.value(2).toString().compare(QLatin1String("Short"), Qt::CaseInsensitive) == 0 ? -1 : 1) * row.value(1).toLongLong();
        if (net == target)
            return fail(QStringLiteral("Позиция робота уже равна позиции терминала: ") + QString::number(target) + QStringLiteral(" лот."));

        // What the book lacks goes onto the terminal's side; rows of the
        // other side are cut down first, the newest first.
        const bool longSide = target > net;
        qint64 change = std::llabs(target - net);
        const QString against = longSide ? QStringLiteral("Short") : QStringLiteral("Long");
        const QString with = longSide ? QStringLiteral("Long") : QStringLiteral("Short");
        for (int i = rows.rows.size() - 1; i >= 0 && change > 0; --i) {
            const auto &row = rows.rows[i];
            if (row.value(2).toString().compare(against, Qt::CaseInsensitive) != 0)
                continue;
            const qint64 q = row.value(1).toLongLong();
            const qint64 cut = std::min(q, change);
            if (cut <= 0)
                continue;
            db.execute(QStringLiteral("UPDATE tClientOpenPositions SET quantity = :quantity WHERE id = :id"),
                       {{QStringLiteral("quantity"), q - cut}, {QStringLiteral("id"), row.value(0)}});
            change -= cut;
        }
        if (change > 0) {
            int newest = -1;
            for (int i = rows.rows.size() - 1; i >= 0 && newest < 0; --i)
                if (rows.rows[i].value(2).toString().compare(with, Qt::CaseInsensitive) == 0)
                    newest = i;
            if (newest >= 0) {
                const auto &row = rows.rows[newest];
                db.execute(QStringLiteral("UPDATE tClientOpenPositions SET quantity = :quantity WHERE id = :id"),
                           {{QStringLiteral("quantity"), row.value(1).toLongLong() + change}, {QStringLiteral("id"), row.value(0)}});
            } else {
                db.execute(QStringLiteral("INSERT INTO tClientOpenPositions (quantity, symbol, code, [System], [Signal], [Workspace], [Interval], "
                                          "[Position]) VALUES (:quantity, :symbol, :code, :system, :signal, \"\", \"\", :position)"),
                           {{QStringLiteral("quantity"), change},
                            {QStringLiteral("symbol"), r.ticker},
                            {QStringLiteral("code"), r.code},
                            {QStringLiteral("system"), QStringLiteral("Сверка")},
                            {QStringLiteral("signal"), QStringLiteral("Оператор")},
                            {QStringLiteral("position"), with}});
            }
        }
        const QString text = QStringLiteral("Позиция робота выровнена по терминалу оператором, ") + whoText(r) + QStringLiteral(": было ")
            + QString::number(net) + QStringLiteral(" лот, стало ") + QString::number(target) + QStringLiteral(" лот (в терминале ")
            + unitsText(r.terminal) + QStringLiteral(" шт.).");
        const QDateTime now = QDateTime::currentDateTime();
        db.execute(QStringLiteral("INSERT INTO tOrderHistory (session, sent_at, trans_id, trans_text, id_order, filled, code, terminal_file, "
                                  "trans_name, description, result_at) VALUES (:session, :sent_at, -1, :text, 0, 0, :code, \"\", "
                                  ":trans_name, :text, :sent_at)"),
                   {{QStringLiteral("session"), session},
                    {QStringLiteral("sent_at"), now},
                    {QStringLiteral("text"), text},
                    {QStringLiteral("code"), r.code},
                    {QStringLiteral("trans_name"), QStringLiteral("Выравнивание позиции")}});
        db.commit();
        tx.done = true;
        AddLog(text);
        FlushLog();
    } catch (const std::exception &e) {
        return fail(failureText(e));
    }
    RefreshDataSet(m_data.tClientOpenPositions);
    if (m_view.Active())
        RefreshQuery(m_view);
    Track(QDateTime::currentDateTime());
    return true;
}
