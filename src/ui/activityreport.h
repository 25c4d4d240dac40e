#pragma once

#include <QByteArray>
#include <QString>

class ActivitySeries;
class QIODevice;

// The day's report as a PDF: the activity charts on the first two pages (two
// charts a page), then a table per strategy and a table per client (orders,
// transactions, refusals, worst latencies), each table from a new page and
// RowsPerPage rows a page. Drawn with Qt Charts and QPainter onto a
// QPdfWriter; needs a QApplication (offscreen will do).
namespace ActivityReport {

constexpr int RowsPerPage = 30;

// The number of pages a report of that many strategies and clients has.
int pageCount(int strategies, int clients);
// Writes the report; false with the reason in *error.
bool write(const ActivitySeries &series, QIODevice &out, QString *error = nullptr);

} // namespace ActivityReport

namespace ActivityReport {
// The report's bytes, for the day's mail; empty with the reason in *error
// when it could not be drawn.
QByteArray render(const ActivitySeries &series, QString *error = nullptr);
// Writes the report into a file readable and writable by its owner only,
// through a temporary file renamed over the path (a symbolic link there is
// replaced, never followed); false with the reason in *error.
bool writeFile(const ActivitySeries &series, const QString &path, QString *error = nullptr);
} // namespace ActivityReport
