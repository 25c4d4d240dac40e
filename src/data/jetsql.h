#pragma once

#include <QString>
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

// "SELECT * INTO Target FROM Source <tail>": Jet's make-table statement.
struct SelectInto {
    QString target;
    QString source;
    QString tail; // WHERE ... in Jet, untranslated
};
std::optional<SelectInto> parseSelectInto(const QString &jet);

// The names of the :parameters of a statement, in order of appearance, each once.
QStringList parameterNames(const QString &jet);

} // namespace jetsql
