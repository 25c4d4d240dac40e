#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <optional>

// Statements are built as text in the Jet SQL dialect. This layer turns such
// a text into what the engine understands.
namespace jetsql {

// Doubles every double quote of a value that is pasted between double quotes
// in a statement, so the value can neither end the literal nor change the
// statement. Ordinary values come back unchanged.
QString quoted(const QString &value);

// Jet -> SQLite: double-quoted text literals become string literals,
// [bracketed] names quoted identifiers, True/False 1/0; single-quoted
// literals, :named parameters and everything else pass unchanged.
// Throws KorvinaError on an unterminated literal or bracket.
QString toSqlite(const QString &jet);

// The engines a Jet statement is translated for.
enum class Dialect { SQLite, PostgreSQL };

// Jet -> PostgreSQL: as toSqlite, with every [name] in lower case (the
// tables and columns on PostgreSQL are made in lower case, so names compare
// without regard to case as in Jet).
QString toPostgres(const QString &jet);
QString translate(const QString &jet, Dialect dialect);
// Both also take Jet's TOP n (as LIMIT n), #date# literals, Now() (local
// time, as the robot stores it) and IIF(c, a, b) (as CASE).

// "SELECT * INTO Target FROM Source <tail>": Jet's make-table statement.
struct SelectInto {
    QString target;
    QString source;
    QString tail; // WHERE ... in Jet, untranslated
};
std::optional<SelectInto> parseSelectInto(const QString &jet);

// The names of the :parameters of a statement, in order of appearance, each once.
QStringList parameterNames(const QString &jet);

// A query or data change (SELECT, INSERT, UPDATE, DELETE) translated with
// the values it compares taken out: every text literal and whole number that
// directly follows =, < or > becomes a parameter ":" FoldedPrefix "1", "2"...
// Statements that differ only in such values then share one prepared form.
// Other statements are translated as toSqlite does.
inline constexpr const char FoldedPrefix[] = "__jet_value_";
struct Shape {
    QString target;      // as writeTarget gives it
    QString sqlite;      // the text SQLite prepares
    QStringList names;   // the statement's own :parameters, as parameterNames
    QVariantList values; // the values taken out, in order
};
Shape shape(const QString &jet, Dialect dialect = Dialect::SQLite);

// The table a statement writes to, in lower case: the target of INSERT INTO,
// UPDATE and DELETE FROM; empty for a SELECT (which writes nothing); "*" for
// every other statement (it may change anything, the tables' shapes too).
QString writeTarget(const QString &statement);

} // namespace jetsql
