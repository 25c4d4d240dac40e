#include "activityreport.h"

#include "activitycharts.h"

#include "engine/activityseries.h"

#include <QBuffer>
#include <QChart>
#include <QGraphicsScene>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

namespace {

int tablePages(int rows) { return std::max(1, (rows + ActivityReport::RowsPerPage - 1) / ActivityReport::RowsPerPage); }

QString ms(qint64 v) { return v < 0 ? QStringLiteral("—") : QString::number(v); }

} // namespace

namespace ActivityReport {

int pageCount(int strategies, int clients) { return 2 + tablePages(strategies + 1) + tablePages(clients); }

bool write(const ActivitySeries &series, QIODevice &out, QString *error)
{
    QPdfWriter pdf(&out);
    pdf.setTitle(QStringLiteral("Korvina: отчет за ") + series.day().toString(QStringLiteral("dd.MM.yyyy")));
    pdf.setCreator(QStringLiteral("Korvina"));
    pdf.setResolution(96);
    pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter));
    QPainter p;
    if (!p.begin(&pdf)) {
        if (error)
            *error = QStringLiteral("не удалось начать PDF");
        return false;
    }
    const QRect page = pdf.pageLayout().paintRectPixels(pdf.resolution()).translated(0, 0);
    const QRect area(0, 0, page.width(), page.height());
    const QString day = series.day().toString(QStringLiteral("dd.MM.yyyy"));
    QFont titleFont = p.font();
    titleFont.setPointSizeF(14);
    titleFont.setBold(true);
    QFont textFont = p.font();
    textFont.setPointSizeF(9);
    QFont boldFont = textFont;
    boldFont.setBold(true);
    int pageNo = 0;
    auto header = [&](const QString &title) {
        if (pageNo++ > 0)
            pdf.newPage();
        p.setFont(titleFont);
        p.drawText(QRect(area.left(), area.top(), area.width(), 30), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Korvina — ") + title + QStringLiteral(", ") + day);
        p.setFont(textFont);
        p.drawText(QRect(area.left(), area.top(), area.width(), 30), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("стр. ") + QString::number(pageNo));
        return area.top() + 36;
    };

    // The charts, two a page.
    ActivityCharts charts;
    charts.update(series, QString());
    QGraphicsScene scene;
    for (int k = 0; k < 2; ++k) {
        const int top = header(QStringLiteral("активность за день"));
        const int h = (area.bottom() - top - 10) / 2;
        for (int i = 0; i < 2; ++i) {
            QChart *c = charts.charts()[k * 2 + i];
            scene.addItem(c);
            c->resize(area.width(), h);
            const QRectF source(0, 0, area.width(), h);
            scene.setSceneRect(source);
            c->setPos(0, 0);
            scene.render(&p, QRectF(area.left(), top + i * (h + 10), area.width(), h), source);
            scene.removeItem(c);
        }
    }

    // The tables.
    const QStringList columns{QStringLiteral("Заявок"), QStringLiteral("Транзакций"), QStringLiteral("Отвергнуто"),
                              QStringLiteral("Худшая до строки, мс"), QStringLiteral("Худшая до ответа, мс")};
    auto table = [&](const QString &title, const QString &first, QVector<ActivitySeries::Tally> rows) {
        int i = 0;
        const int nameWidth = area.width() * 3 / 10;
        const int colWidth = (area.width() - nameWidth) / int(columns.size());
        const int rowHeight = 20;
        do {
            int y = header(title);
            p.setFont(boldFont);
            p.drawText(QRect(area.left(), y, nameWidth, rowHeight), Qt::AlignLeft | Qt::AlignVCenter, first);
            for (int c = 0; c < columns.size(); ++c)
                p.drawText(QRect(area.left() + nameWidth + c * colWidth, y, colWidth - 6, rowHeight), Qt::AlignRight | Qt::AlignVCenter, columns[c]);
            y += rowHeight;
            p.drawLine(area.left(), y, area.right(), y);
            p.setFont(textFont);
            for (int n = 0; n < ActivityReport::RowsPerPage && i < rows.size(); ++n, ++i) {
                const ActivitySeries::Tally &t = rows[i];
                if (t.refused > 0)
                    p.fillRect(QRect(area.left(), y, area.width(), rowHeight), QColor(0xff, 0xe4, 0xe4));
                const QStringList cells{QString::number(t.orders), QString::number(t.transactions), QString::number(t.refused),
                                        ms(t.worstFillToLine), ms(t.worstLineToAnswer)};
                p.drawText(QRect(area.left() + 4, y, nameWidth - 4, rowHeight), Qt::AlignLeft | Qt::AlignVCenter, t.name);
                for (int c = 0; c < cells.size(); ++c)
                    p.drawText(QRect(area.left() + nameWidth + c * colWidth, y, colWidth - 6, rowHeight), Qt::AlignRight | Qt::AlignVCenter,
                               cells[c]);
                y += rowHeight;
            }
        } while (i < rows.size());
    };
    QVector<ActivitySeries::Tally> strategies = series.byStrategy();
    strategies.append(series.total());
    table(QStringLiteral("по стратегиям"), QStringLiteral("Стратегия"), strategies);
    table(QStringLiteral("по клиентам"), QStringLiteral("Клиент"), series.byClient());
    if (!p.end()) {
        if (error)
            *error = QStringLiteral("PDF не дописан");
        return false;
    }
    return true;
}

QByteArray render(const ActivitySeries &series, QString *error)
{
    QByteArray pdf;
    QBuffer out(&pdf);
    out.open(QIODevice::WriteOnly);
    if (!write(series, out, error))
        return {};
    return pdf;
}

bool writeFile(const ActivitySeries &series, const QString &path, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!write(series, file, error)) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace ActivityReport
