#include "reconciliation.h"

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "data/database.h"
#include "data/datmod.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>

namespace {

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
    const Database::Rows rows = ReconcileReader({mode, terminals, singleCode, singleFortsAccount, false}).read(db);
    return RowsOf(rows.fields, rows.rows);
}

ReconcileReader Reconciliation::reader() const
{
    return ReconcileReader({m_mode, m_terminals, m_settings.edtCode, m_settings.edtAccountFORTS, m_onlyDifferences});
}

void Reconciliation::Prepare(AccountMode mode, const QVector<TQuikTerminal> &terminals)
{
    m_mode = mode;
    m_terminals = terminals;
    m_view.setRowSource(reader());
    m_view.Open();
    Track(QDateTime::currentDateTime());
}

void Reconciliation::setOnlyDifferences(bool only)
{
    if (only == m_onlyDifferences)
        return;
    m_onlyDifferences = only;
    if (!m_view.Active() && !m_view.rowSource())
        return;
    const bool wasOpen = m_view.Active();
    m_view.setRowSource(reader());
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
