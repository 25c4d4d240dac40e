#pragma once

#include <QByteArray>
#include <QString>

// Windows-1251, the single-byte code page of every file the robot reads and
// writes (log, settings, transaction and result files).
namespace cp1251 {
// Characters that the code page cannot hold become '?'.
QByteArray encode(const QString &text);
QString decode(const QByteArray &bytes);
// The characters of the text that the code page cannot hold, each once, in
// order of appearance; empty when the whole text can be written.
QString unencodable(const QString &text);
}
