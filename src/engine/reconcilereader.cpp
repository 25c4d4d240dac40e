#include "reconcilereader.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <mutex>
#include <tuple>
#include <vector>

namespace {

// Every text read gets a number, once per spelling, and so does its form
// without letter case: rows join and sum on numbers, and a text is folded
// once however many rows repeat it. A text is kept as its UTF-8 bytes, the
// form SQLite reads fastest; the numbers last from read to read.
class Spellings {
public:
    // -1 for a null value. `hint`: the number this value had last time.
    int id(const QVariant &value, int hint = -1)
    {
        if (value.isNull())
            return -1;
        if (value.typeId() == QMetaType::QByteArray)
            return id(*static_cast<const QByteArray *>(value.constData()), hint);
        return id(value.toString().toUtf8(), hint);
    }
    int id(const QString &text) { return id(text.toUtf8()); }
    int id(const QByteArray &bytes, int hint = -1)
    {
        if (hint >= 0 && hint < m_bytes.size() && m_bytes[hint] == bytes)
            return hint;
        auto it = m_ids.constFind(bytes);
        if (it != m_ids.cend())
            return *it;
        const QString text = QString::fromUtf8(bytes);
        const QString folded = text.toCaseFolded();
        auto f = m_folds.constFind(folded);
        if (f == m_folds.cend())
            f = m_folds.insert(folded, int(m_folds.size()));
        m_text.append(text);
        m_bytes.append(bytes);
        m_fold.append(*f);
        return *m_ids.insert(bytes, int(m_text.size() - 1));
    }
    // The number of the text's form without letter case; -1 for null.
    int fold(int id) const { return id < 0 ? -1 : m_fold[id]; }
    const QString &text(int id) const { return id < 0 ? m_null : m_text[id]; }
    int size() const { return int(m_text.size()); }
    int folds() const { return int(m_folds.size()); }

private:
    QHash<QByteArray, int> m_ids;
    QHash<QString, int> m_folds;
    QVector<QString> m_text;
    QVector<QByteArray> m_bytes;
    QVector<int> m_fold;
    QString m_null;
};

// As SQLite's NOCASE: ASCII letters without regard to case, every other
// character by its code.
int compareNoCase(const QString &a, const QString &b)
{
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = a[i].unicode(), y = b[i].unicode();
        if (x >= u'A' && x <= u'Z')
            x += 32;
        if (y >= u'A' && y <= u'Z')
            y += 32;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int compareExact(const QString &a, const QString &b) { return a.compare(b); }

// Runs a plain SELECT and hands each row to `row`.
template <typename Row>
void scan(Database &db, const QString &jet, Row &&row)
{
    QSqlQuery q = db.exec(jet);
    while (q.next())
        row(q);
    const QSqlError error = q.lastError();
    q.finish();
    if (error.isValid())
        throw sqlFailure(error);
}

// Lists of numbers by a small key (a fold), kept in two arrays: the last
// entry of each key, and before each entry the one added before it.
class Chains {
public:
    void add(int key, int value)
    {
        if (key < 0)
            return;
        if (size_t(key) >= m_head.size())
            m_head.resize(size_t(key) + 1, -1);
        m_value.push_back(value);
        m_next.push_back(m_head[size_t(key)]);
        m_head[size_t(key)] = int(m_value.size() - 1);
    }
    bool has(int key) const { return key >= 0 && size_t(key) < m_head.size() && m_head[size_t(key)] >= 0; }
    // Calls f for every value of the key, the last added first.
    template <typename F>
    void each(int key, F &&f) const
    {
        if (!has(key))
            return;
        for (int i = m_head[size_t(key)]; i >= 0; i = m_next[size_t(i)])
            f(m_value[size_t(i)]);
    }

private:
    std::vector<int> m_head, m_next, m_value;
};

struct Security {
    int secCode = -1; // spellings
    int ticker = -1;
    double lotSize = 1;
    bool stock = false; // not futures: its holdings are in the stock limits
};

// A client as a book row or a terminal row finds it.
struct Owner {
    int quik = -1; // spelling of the terminal's name
    int code = -1; // spelling of the client's code
};

struct Key {
    int quik, code, secCode; // folds
    bool operator==(const Key &o) const { return quik == o.quik && code == o.code && secCode == o.secCode; }
};
size_t qHash(const Key &k, size_t seed = 0) { return qHashMulti(seed, k.quik, k.code, k.secCode); }

// One line of the result: numbers only, the lines are many.
struct Line {
    Key key{-1, -1, -1};
    int quik = -1, code = -1, secCode = -1; // spellings, as the first row of the line has them
    int ticker = -1;
    qint64 lots = 0;
    double units = 0;
    double terminal = 0;
    bool read = false; // a row of this read counted in it

    bool sameAs(const Line &o) const
    {
        return quik == o.quik && code == o.code && secCode == o.secCode && ticker == o.ticker && lots == o.lots && units == o.units
            && terminal == o.terminal;
    }
};

// What one scan of a table found at each step last time, in the order it
// found it: the spellings of its rows' texts and the lines it added to. A
// table read again mostly gives the same rows in the same order; each
// guess is checked before it is used.
struct ScanHints {
    std::vector<int> texts;
    std::vector<int> lines;
    size_t text = 0, line = 0; // where this scan is

    void start()
    {
        text = line = 0;
    }
    int &nextText()
    {
        if (text == texts.size())
            texts.push_back(-1);
        return texts[text++];
    }
    int &nextLine()
    {
        if (line == lines.size())
            lines.push_back(-1);
        return lines[line++];
    }
    void end()
    {
        texts.resize(text);
        lines.resize(line);
    }
};

struct TerminalSide {
    int idQuik = 0;
    QString suffix;
    int quik = -1;
    std::vector<char> clientCode; // by fold: a code of one of its clients
    Chains accounts;              // FORTS account fold -> owners
};

} // namespace

// What one read leaves for the next: the spellings, the lines, the hints of
// each table's scan, and the rows handed out with what each line showed in
// them, so that a line found as it was gives the same row again (shared,
// not copied), and a read that finds every line as it was gives the same
// rows.
struct ReconcileReader::Memory {
    std::mutex mutex;
    Spellings names;
    QVector<Line> lines;
    QHash<Key, int> lineOf;
    QHash<QString, ScanHints> hints; // by table
    QVector<Line> shown;             // by line: what it showed in its row
    QVector<int> rowOf;              // by line: its row, -1 for none
    Database::Rows rows;
    QVector<int> rowLines;           // by row: its line
    std::vector<int> byName;         // the lines of the rows by client, security and terminal

    // Starts afresh (the spellings' numbers go with everything else).
    void forget()
    {
        names = Spellings();
        lines.clear();
        lineOf.clear();
        hints.clear();
        shown.clear();
        rowOf.clear();
        rows = {};
        rowLines.clear();
        byName.clear();
    }
};

ReconcileReader::ReconcileReader(Scope scope) : m_scope(std::move(scope)), m_memory(std::make_shared<Memory>()) {}

const QStringList &ReconcileReader::fields()
{
    static const QStringList f{QStringLiteral("quikname"), QStringLiteral("code"),  QStringLiteral("seccode"),
                               QStringLiteral("ticker"),   QStringLiteral("lots"),  QStringLiteral("units"),
                               QStringLiteral("currentbal"), QStringLiteral("diff")};
    return f;
}

Database::Rows ReconcileReader::read(Database &db) const
{
    std::lock_guard lock(m_memory->mutex);
    Memory &m = *m_memory;
    // Texts seen long ago are let go once they are many.
    if (m.names.size() > 4 * m.lines.size() + 65536)
        m.forget();
    Spellings &names = m.names;
    const bool multi = m_scope.mode == AccountMode::Multi;
    // SQLite gives a text fastest as its bytes.
    const bool asBytes = db.engine() == Database::Engine::SQLite;
    auto text = [asBytes](const char *column) {
        return asBytes ? QStringLiteral("CAST(") + QLatin1String(column) + QStringLiteral(" AS BLOB)") : QString::fromLatin1(column);
    };

    // The directory, by ticker (the book's side) and by code (the terminal's).
    std::vector<Security> directory;
    Chains byTicker, bySecCode; // folds -> directory rows
    scan(db, QStringLiteral("SELECT SecCode, Ticker, Class_Code, LotSize FROM tSecCode"), [&](const QSqlQuery &q) {
        Security s;
        s.secCode = names.id(q.value(0));
        s.ticker = names.id(q.value(1));
        const QVariant cls = q.value(2);
        s.stock = !cls.isNull() && cls.toString().compare(QLatin1String("SPBFUT"), Qt::CaseInsensitive) != 0;
        const double lot = q.value(3).toDouble();
        s.lotSize = lot == 0 ? 1 : lot; // null too
        directory.push_back(s);
        byTicker.add(names.fold(s.ticker), int(directory.size() - 1));
        bySecCode.add(names.fold(s.secCode), int(directory.size() - 1));
    });

    // Whose book rows and whose limits are compared: by client code for
    // the book and the stock limits, by FORTS account for the futures
    // limits, each on the client's terminal.
    std::vector<Owner> owners;
    Chains bookOwners; // code fold -> owners
    std::vector<TerminalSide> sides;
    auto member = [](std::vector<char> &set, int fold) {
        if (fold < 0)
            return;
        if (size_t(fold) >= set.size())
            set.resize(size_t(fold) + 1, 0);
        set[size_t(fold)] = 1;
    };
    if (!multi) {
        TerminalSide t;
        t.quik = names.id(QStringLiteral("Quik"));
        owners.push_back(Owner{t.quik, names.id(m_scope.singleCode)});
        bookOwners.add(names.fold(owners.back().code), 0);
        member(t.clientCode, names.fold(owners.back().code));
        t.accounts.add(names.fold(names.id(m_scope.singleFortsAccount)), 0);
        sides.push_back(std::move(t));
    } else {
        Chains quikNames; // row of tQuik -> spelling of its name
        std::vector<int> quikIds;
        scan(db, QStringLiteral("SELECT id_quik, quik FROM tQuik"), [&](const QSqlQuery &q) {
            if (q.value(0).isNull())
                return;
            quikIds.push_back(q.value(0).toInt());
            quikNames.add(int(quikIds.size() - 1), names.id(q.value(1)));
        });
        for (const TQuikTerminal &t : m_scope.terminals) {
            TerminalSide s;
            s.idQuik = t.id_quik;
            s.suffix = QString::number(t.id_quik);
            s.quik = names.id(t.quik);
            sides.push_back(std::move(s));
        }
        scan(db, QStringLiteral("SELECT code, AccountFORTS, id_quik FROM tClients"), [&](const QSqlQuery &q) {
            const int code = names.id(q.value(0));
            if (code < 0 || q.value(2).isNull())
                return;
            const int idQuik = q.value(2).toInt();
            for (size_t i = 0; i < quikIds.size(); ++i)
                if (quikIds[i] == idQuik)
                    quikNames.each(int(i), [&](int quik) {
                        owners.push_back(Owner{quik, code});
                        bookOwners.add(names.fold(code), int(owners.size() - 1));
                    });
            const int account = names.id(q.value(1));
            for (TerminalSide &s : sides) {
                if (s.idQuik != idQuik)
                    continue;
                member(s.clientCode, names.fold(code));
                if (account >= 0) {
                    owners.push_back(Owner{s.quik, code});
                    s.accounts.add(names.fold(account), int(owners.size() - 1));
                }
            }
        });
    }

    // The lines start empty; a line no row of this read finds is not shown.
    for (Line &l : m.lines) {
        l.quik = l.code = l.secCode = l.ticker = -1;
        l.lots = 0;
        l.units = l.terminal = 0;
        l.read = false;
    }
    ScanHints *hints = nullptr; // of the table being read
    auto add = [&](int quik, int code, int secCode, int ticker, qint64 lots, double units, double terminal) {
        const Key key{names.fold(quik), names.fold(code), names.fold(secCode)};
        int &at = hints->nextLine();
        if (at < 0 || at >= m.lines.size() || !(m.lines[at].key == key)) {
            auto it = m.lineOf.constFind(key);
            if (it == m.lineOf.cend()) {
                it = m.lineOf.insert(key, int(m.lines.size()));
                m.lines.append(Line{key});
            }
            at = *it;
        }
        Line &l = m.lines[at];
        if (!l.read) {
            l.read = true;
            l.quik = quik;
            l.code = code;
            l.secCode = secCode;
            l.ticker = ticker;
        } else if (ticker >= 0 && ticker != l.ticker
                   && (l.ticker < 0 || names.text(l.ticker).compare(names.text(ticker), Qt::CaseInsensitive) < 0)) {
            // The greatest ticker, letter case aside.
            l.ticker = ticker;
        }
        l.lots += lots;
        l.units += units;
        l.terminal += terminal;
    };
    // A scan of a table whose rows hold two texts and a number.
    auto scanTable = [&](const QString &table, const QString &select, auto &&row) {
        hints = &m.hints[table];
        hints->start();
        scan(db, select, [&](const QSqlQuery &q) {
            int &firstHint = hints->nextText();
            const int first = firstHint = names.id(q.value(0), firstHint);
            int &secondHint = hints->nextText();
            const int second = secondHint = names.id(q.value(1), secondHint);
            row(first, second, q.value(2));
        });
        hints->end();
    };

    // The book's net position per client and ticker, in lots.
    scanTable(QStringLiteral("tClientOpenPositions"),
              QStringLiteral("SELECT ") + text("code") + QStringLiteral(", ") + text("symbol")
                  + QStringLiteral(", IIF([Position] = \"Short\", -quantity, quantity) FROM tClientOpenPositions"),
              [&](int code, int symbol, const QVariant &quantity) {
                  const int codeFold = names.fold(code);
                  if (!bookOwners.has(codeFold))
                      return;
                  const qint64 lots = quantity.toLongLong();
                  const int tickerFold = names.fold(symbol);
                  bookOwners.each(codeFold, [&](int o) {
                      const Owner &owner = owners[size_t(o)];
                      if (!byTicker.has(tickerFold)) {
                          add(owner.quik, owner.code, symbol, symbol, lots, double(lots), 0);
                          return;
                      }
                      byTicker.each(tickerFold, [&](int d) {
                          const Security &s = directory[size_t(d)];
                          add(owner.quik, owner.code, s.secCode, symbol, lots, double(lots) * s.lotSize, 0);
                      });
                  });
              });

    // What each terminal says its clients hold, of the directory's securities.
    for (const TerminalSide &t : sides) {
        const QString stock = QStringLiteral("tLimitStock") + t.suffix;
        scanTable(stock, QStringLiteral("SELECT ") + text("code") + QStringLiteral(", ") + text("seccode") + QStringLiteral(", currentbal FROM ") + stock,
                  [&](int code, int secCode, const QVariant &balance) {
                      const int fold = names.fold(code);
                      if (fold < 0 || size_t(fold) >= t.clientCode.size() || !t.clientCode[size_t(fold)])
                          return;
                      bySecCode.each(names.fold(secCode), [&](int d) {
                          if (directory[size_t(d)].stock)
                              add(t.quik, code, secCode, directory[size_t(d)].ticker, 0, 0, balance.toDouble());
                      });
                  });
        const QString futures = QStringLiteral("tLimitFut") + t.suffix;
        scanTable(futures,
                  QStringLiteral("SELECT ") + text("account") + QStringLiteral(", ") + text("seccode") + QStringLiteral(", currentbal FROM ") + futures,
                  [&](int account, int secCode, const QVariant &balance) {
                      t.accounts.each(names.fold(account), [&](int o) {
                          bySecCode.each(names.fold(secCode), [&](int d) {
                              add(t.quik, owners[size_t(o)].code, secCode, directory[size_t(d)].ticker, 0, 0, balance.toDouble());
                          });
                      });
                  });
    }

    // The lines with something on either side.
    std::vector<int> shown;
    shown.reserve(size_t(m.lines.size()));
    for (int i = 0; i < m.lines.size(); ++i) {
        const Line &l = m.lines[i];
        if (!l.read || (l.lots == 0 && l.terminal == 0))
            continue;
        if (m_scope.onlyDifferences && l.terminal - l.units == 0)
            continue;
        shown.push_back(i);
    }
    m.shown.resize(m.lines.size());
    m.rowOf.resize(m.lines.size(), -1);

    // By client code (letter case aside), security code and terminal: the
    // last order again when the same lines are shown under the same names,
    // otherwise sorted anew, each text ranked once.
    bool sameNames = m.byName.size() == shown.size();
    if (sameNames) {
        for (int i : shown) {
            const Line &l = m.lines[i];
            const Line &was = m.shown[i];
            if (m.rowOf[i] < 0 || l.code != was.code || l.secCode != was.secCode || l.quik != was.quik) {
                sameNames = false;
                break;
            }
        }
    }
    if (!sameNames) {
        auto ranks = [&](int Line::*field, int (*compare)(const QString &, const QString &)) {
            std::vector<int> rank(size_t(names.size()), -1);
            std::vector<int> distinct;
            for (int i : shown) {
                const int id = m.lines[i].*field;
                if (id >= 0 && rank[size_t(id)] < 0) {
                    rank[size_t(id)] = 0;
                    distinct.push_back(id);
                }
            }
            std::sort(distinct.begin(), distinct.end(), [&](int a, int b) { return compare(names.text(a), names.text(b)) < 0; });
            for (size_t r = 0; r < distinct.size(); ++r)
                rank[size_t(distinct[r])] = int(r) + 1;
            return rank;
        };
        const std::vector<int> codeRank = ranks(&Line::code, compareNoCase);
        const std::vector<int> secRank = ranks(&Line::secCode, compareExact);
        const std::vector<int> quikRank = ranks(&Line::quik, compareNoCase);
        auto rankOf = [](const std::vector<int> &rank, int id) { return id < 0 ? 0 : rank[size_t(id)]; };
        struct ByName {
            int code, secCode, quik, line;
        };
        std::vector<ByName> order;
        order.reserve(shown.size());
        for (int i : shown) {
            const Line &l = m.lines[i];
            order.push_back(ByName{rankOf(codeRank, l.code), rankOf(secRank, l.secCode), rankOf(quikRank, l.quik), i});
        }
        std::sort(order.begin(), order.end(), [](const ByName &a, const ByName &b) {
            return std::tie(a.code, a.secCode, a.quik) < std::tie(b.code, b.secCode, b.quik);
        });
        m.byName.resize(order.size());
        for (size_t i = 0; i < order.size(); ++i)
            m.byName[i] = order[i].line;
    }
    // The differences first.
    std::vector<int> rowLines(m.byName);
    std::stable_partition(rowLines.begin(), rowLines.end(), [&](int i) { return m.lines[i].terminal - m.lines[i].units != 0; });

    // The rows: those of the last read where their lines are as they were.
    bool same = m.rows.fields == fields() && m.rowLines.size() == qsizetype(rowLines.size());
    for (size_t i = 0; i < rowLines.size() && same; ++i)
        same = m.rowLines[qsizetype(i)] == rowLines[i] && m.shown[rowLines[i]].sameAs(m.lines[rowLines[i]]);
    if (!same) {
        Database::Rows out;
        out.fields = fields();
        out.rows.reserve(qsizetype(rowLines.size()));
        for (int i : rowLines) {
            const Line &l = m.lines[i];
            const int last = m.rowOf[i];
            if (last >= 0 && m.shown[i].sameAs(l)) {
                out.rows.append(m.rows.rows[last]);
                continue;
            }
            QVector<QVariant> r;
            r.reserve(8);
            r.emplaceBack(names.text(l.quik));
            r.emplaceBack(names.text(l.code));
            r.emplaceBack(names.text(l.secCode));
            r.emplaceBack(names.text(l.ticker));
            r.emplaceBack(l.lots);
            r.emplaceBack(l.units);
            r.emplaceBack(l.terminal);
            r.emplaceBack(l.terminal - l.units);
            out.rows.append(std::move(r));
        }
        for (int line : std::as_const(m.rowLines))
            m.rowOf[line] = -1;
        m.rowLines.resize(qsizetype(rowLines.size()));
        for (size_t r = 0; r < rowLines.size(); ++r) {
            m.rowLines[qsizetype(r)] = rowLines[r];
            m.rowOf[rowLines[r]] = int(r);
            m.shown[rowLines[r]] = m.lines[rowLines[r]];
        }
        m.rows = std::move(out);
    }

    // Lines no row found this time are dropped once they are many (the rows
    // are then built afresh next time).
    const qsizetype found = std::count_if(m.lines.cbegin(), m.lines.cend(), [](const Line &l) { return l.read; });
    if (m.lines.size() - found > found + 1024) {
        QVector<Line> kept;
        QHash<Key, int> keptOf;
        for (const Line &l : std::as_const(m.lines)) {
            if (!l.read)
                continue;
            keptOf.insert(l.key, int(kept.size()));
            kept.append(l);
        }
        m.lines = std::move(kept);
        m.lineOf = std::move(keptOf);
        m.hints.clear();
        m.shown.clear();
        m.rowOf.clear();
        m.rowLines.clear();
        m.byName.clear();
    }
    return m.rows;
}
