#include "smtpserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {
// Debian's interpreter, which has python3-aiosmtpd; another python3 first
// on PATH may not.
QString python()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3");
}
} // namespace

SmtpTestServer::SmtpTestServer(const Options &options)
{
    QStringList args{QStringLiteral(KORVINA_TESTS_DIR "/smtpserver.py"), QStringLiteral("--record"),
                     m_dir.filePath(QStringLiteral("events.jsonl"))};
    if (!options.auth.isEmpty())
        args << QStringLiteral("--auth") << options.auth;
    if (!options.stall.isEmpty())
        args << QStringLiteral("--stall") << options.stall;
    if (options.starttls)
        args << QStringLiteral("--starttls");
    if (!options.refuseRcpt.isEmpty())
        args << QStringLiteral("--refuse-rcpt") << options.refuseRcpt;
    if (options.port)
        args << QStringLiteral("--port") << QString::number(options.port);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(python(), args);
    QElapsedTimer t;
    t.start();
    QByteArray out;
    while (t.elapsed() < 15000 && m_process.state() != QProcess::NotRunning) {
        m_process.waitForReadyRead(200);
        out += m_process.readAllStandardOutput();
        const qsizetype at = out.indexOf("PORT ");
        const qsizetype end = out.indexOf('\n', at);
        if (at >= 0 && end > at) {
            m_port = static_cast<quint16>(out.mid(at + 5, end - at - 5).trimmed().toUInt());
            return;
        }
    }
    m_error = QStringLiteral("the SMTP test server did not start (python3-aiosmtpd installed?): ")
              + QString::fromUtf8(m_process.readAllStandardError());
}

SmtpTestServer::~SmtpTestServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
}

QList<QJsonObject> SmtpTestServer::events() const
{
    QList<QJsonObject> out;
    QFile f(m_dir.filePath(QStringLiteral("events.jsonl")));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

QList<QJsonObject> SmtpTestServer::messages() const
{
    QList<QJsonObject> out;
    for (const QJsonObject &e : events())
        if (e.value(QStringLiteral("event")).toString() == QStringLiteral("message"))
            out << e;
    return out;
}

int SmtpTestServer::connections() const
{
    int n = 0;
    for (const QJsonObject &e : events())
        n += e.value(QStringLiteral("event")).toString() == QStringLiteral("connect");
    return n;
}

QStringList SmtpTestServer::commands() const
{
    QStringList out;
    for (const QJsonObject &e : events()) {
        if (e.value(QStringLiteral("event")).toString() != QStringLiteral("command"))
            continue;
        QString c = e.value(QStringLiteral("command")).toString();
        if (e.contains(QStringLiteral("mechanism")))
            c += QLatin1Char(' ') + e.value(QStringLiteral("mechanism")).toString();
        out << c;
    }
    return out;
}

bool SmtpTestServer::waitFor(const std::function<bool(const QList<QJsonObject> &)> &condition, int ms) const
{
    QElapsedTimer t;
    t.start();
    while (!condition(events())) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

QByteArray messageBody(const QJsonObject &message)
{
    return QByteArray::fromBase64(message.value(QStringLiteral("body")).toString().toLatin1());
}

QList<QJsonObject> messageParts(const QJsonObject &message)
{
    QList<QJsonObject> out;
    for (const QJsonValue &p : message.value(QStringLiteral("parts")).toArray())
        out << p.toObject();
    return out;
}
