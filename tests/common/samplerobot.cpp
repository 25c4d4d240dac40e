#include "samplerobot.h"

#include "workspace.h"

#include "config/textcodec.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

sample::Paths openSampleWorkspace(const QTemporaryDir &dir, OperationLog &log, Settings &settings, int mode)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    log.setLocale(QLocale(QLocale::Russian, QLocale::Russia));
    log.open(dir.filePath(QStringLiteral("Korvina.log")));
    OperationLog::setCurrent(&log);
    const sample::Paths paths = sample::createWorkspace(dir.filePath(QStringLiteral("ws"))).paths;
    settings.setFileName(paths.settings);
    settings.LoadSettings();
    settings.rgpSingleMulti = mode;
    return paths;
}

SampleRobot::SampleRobot(int mode, int terminal)
{
    paths = openSampleWorkspace(dir, log, settings, mode);
    settings.rgpTerminal = terminal;
    robot = new Robot(settings, data);
    robot->ConnectAndStart();
    robot->BuildTROFiles();
    robot->PrepareTransactionFiles();
}

SampleRobot::~SampleRobot()
{
    delete robot;
    if (OperationLog::current() == &log)
        OperationLog::setCurrent(nullptr);
}

void SampleRobot::addFilled(int id, const QString &symbol, const QString &orderType, const QString &orderText, double fillPrice,
                            const QString &system, const QString &workspace)
{
    exec(paths.alerts,
         QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace, Signal, \"Interval\") "
                        "VALUES (:id, :symbol, :type, :text, :fill, :system, :workspace, 'MA', '5 min')"),
         {{QStringLiteral("id"), id},
          {QStringLiteral("symbol"), symbol},
          {QStringLiteral("type"), orderType},
          {QStringLiteral("text"), orderText},
          {QStringLiteral("fill"), fillPrice},
          {QStringLiteral("system"), system},
          {QStringLiteral("workspace"), workspace}});
}

void SampleRobot::exec(const QString &database, const QString &sql, const QVariantMap &params)
{
    execOnDatabase(database, sql, params);
}

QList<QVariantMap> SampleRobot::rows(const QString &database, const QString &sql)
{
    QList<QVariantMap> out;
    const QString name = QStringLiteral("sample-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(database);
        if (!db.open())
            qFatal("cannot open %s", qPrintable(database));
        QSqlQuery q(db);
        if (!q.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
        while (q.next()) {
            QVariantMap row;
            for (int i = 0; i < q.record().count(); ++i)
                row.insert(q.record().fieldName(i).toLower(), q.value(i));
            out << row;
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

QStringList SampleRobot::fileLines(const QString &path) const
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {QStringLiteral("<missing>")};
    const QByteArray bytes = f.readAll();
    if (bytes.isEmpty())
        return {};
    if (!bytes.endsWith("\r\n"))
        return {QStringLiteral("<no CR LF at the end>")};
    QStringList lines = cp1251::decode(bytes).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

QString SampleRobot::tri(const QString &name) const { return paths.trans + QLatin1Char('/') + name + QStringLiteral(".tri"); }

QStringList SampleRobot::messages() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "));
    QStringList out;
    for (QString l : log.lines())
        out << l.remove(stamp);
    return out;
}
