#include "historyexport.h"

#include "database.h"

#include "config/korvinaerror.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

namespace {

// The columns that hold times; every other column is written as it is.
bool isTimeColumn(const QString &column)
{
    return column == QLatin1String("sent_at") || column == QLatin1String("result_at");
}

QString csvField(QString text)
{
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}

} // namespace

QString HistoryTimeText(const QVariant &value)
{
    if (value.isNull())
        return QString();
    const QDateTime t = dateTimeValue(value);
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : value.toString();
}

QStringList HistoryCsvColumns()
{
    return {QStringLiteral("id"),           QStringLiteral("session"),     QStringLiteral("sent_at"),
            QStringLiteral("trans_id"),     QStringLiteral("id_order"),    QStringLiteral("code"),
            QStringLiteral("terminal_file"), QStringLiteral("trans_text"), QStringLiteral("status"),
            QStringLiteral("trans_name"),   QStringLiteral("description"), QStringLiteral("order_number"),
            QStringLiteral("result_at"),    QStringLiteral("carried_from")};
}

int ExportHistoryCsv(Database &db, QIODevice &out, std::optional<QDate> from, std::optional<QDate> to)
{
    const QStringList columns = HistoryCsvColumns();
    QStringList where;
    QVariantMap params;
    if (from) {
        where << QStringLiteral("sent_at >= :from_day");
        params.insert(QStringLiteral("from_day"), from->toString(Qt::ISODate));
    }
    if (to) {
        where << QStringLiteral("sent_at < :after_day");
        params.insert(QStringLiteral("after_day"), to->addDays(1).toString(Qt::ISODate));
    }
    const QString statement = QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral("\r\nFROM tOrderHistory\r\n")
        + (where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where.join(QStringLiteral(" AND ")) + QStringLiteral("\r\n"))
        + QStringLiteral("ORDER BY id");
    const Database::Rows rows = db.fetch(statement, params);

    auto put = [&out](const QString &line) {
        const QByteArray bytes = line.toUtf8() + "\r\n";
        if (out.write(bytes) != bytes.size())
            throw KorvinaError(QStringLiteral("Ошибка записи: ") + out.errorString());
    };
    if (out.write("\xEF\xBB\xBF", 3) != 3)
        throw KorvinaError(QStringLiteral("Ошибка записи: ") + out.errorString());
    put(columns.join(QLatin1Char(',')));
    QVector<bool> times(columns.size());
    for (int i = 0; i < columns.size(); ++i)
        times[i] = isTimeColumn(columns[i]);
    for (const auto &r : rows.rows) {
        QStringList fields;
        for (int i = 0; i < r.size(); ++i)
            fields << csvField(times.value(i) ? HistoryTimeText(r[i]) : (r[i].isNull() ? QString() : r[i].toString()));
        put(fields.join(QLatin1Char(',')));
    }
    return rows.rows.size();
}

int ExportHistoryCsvFile(Database &db, const QString &path, bool replace, std::optional<QDate> from, std::optional<QDate> to)
{
    const QFileInfo info(path);
    const QString shown = QFileInfo(path).absoluteFilePath();
    auto refuseLink = [&shown] {
        if (QFileInfo(shown).isSymLink())
            throw KorvinaError(QStringLiteral("Файл ") + shown
                               + QStringLiteral(" — символическая ссылка; по ссылке ничего не записывается."));
    };
    refuseLink();
    if (info.exists()) {
        if (!info.isFile())
            throw KorvinaError(QStringLiteral("Путь ") + shown + QStringLiteral(" занят, и это не файл; ничего не записано."));
        if (!replace)
            throw KorvinaError(QStringLiteral("Файл ") + shown
                               + QStringLiteral(" уже существует; он не будет перезаписан (--force заменяет его)."));
    }

    // Written whole beside the file, then put in its place.
    QTemporaryFile part(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    if (!part.open())
        throw KorvinaError(QStringLiteral("Не удается записать файл ") + shown + QStringLiteral(": ") + part.errorString());
    part.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const int written = ExportHistoryCsv(db, part, from, to);
    if (!part.flush())
        throw KorvinaError(QStringLiteral("Не удается записать файл ") + shown + QStringLiteral(": ") + part.errorString());
    part.close();

    if (replace) {
        // A rename replaces whatever has the name (a link itself, never the
        // file it points to); a link put there meanwhile is still refused.
        refuseLink();
        std::error_code ec;
        std::filesystem::rename(QFileInfo(part.fileName()).filesystemAbsoluteFilePath(), info.filesystemAbsoluteFilePath(), ec);
        if (ec)
            throw KorvinaError(QStringLiteral("Не удается записать файл ") + shown + QStringLiteral(": ")
                               + QString::fromStdString(ec.message()));
    } else if (!QFile::rename(part.fileName(), shown)) {
        // Never over a file (or link) that appeared meanwhile.
        if (QFileInfo::exists(shown) || QFileInfo(shown).isSymLink())
            throw KorvinaError(QStringLiteral("Файл ") + shown
                               + QStringLiteral(" уже существует; он не будет перезаписан (--force заменяет его)."));
        throw KorvinaError(QStringLiteral("Не удается записать файл ") + shown);
    }
    part.setAutoRemove(false);
    return written;
}
