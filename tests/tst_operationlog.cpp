// The operation log: the line format in the user's locale, continuation
// lines, what FlushLog appends and when, write failures.

#include "config/korvinaerror.h"
#include "config/operationlog.h"
#include "config/textcodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>

#include <csignal>
#include <sys/resource.h>

class TestOperationLog : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineFormat_data();
    void lineFormat();
    void flushAppendsOnlyNewLines();
    void continuationLines();
    void appendsAcrossRuns();
    void fileIsItsOwnersAlone_data();
    void fileIsItsOwnersAlone();
    void closeWritesWhatIsLeft();
    void writeFailureKeepsMark();
    void cutWriteIsFinishedNotRepeated_data();
    void cutWriteIsFinishedNotRepeated();
    void unopenableFileIsReported();

private:
    QByteArray fileBytes();
    QTemporaryDir *m_dir = nullptr;
    OperationLog *m_log = nullptr;
    QString m_path;
};

void TestOperationLog::init()
{
    m_dir = new QTemporaryDir;
    m_path = m_dir->filePath(QStringLiteral("Korvina.log"));
    m_log = new OperationLog;
    m_log->setLocale(QLocale(QLocale::Russian, QLocale::Russia));
    m_log->setClock([] { return QDateTime(QDate(2026, 12, 9), QTime(9, 5, 7)); });
    QVERIFY(m_log->open(m_path));
}

void TestOperationLog::cleanup()
{
    delete m_log;
    delete m_dir;
}

QByteArray TestOperationLog::fileBytes()
{
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void TestOperationLog::lineFormat_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("line");
    QTest::newRow("Russian") << QLocale(QLocale::Russian, QLocale::Russia) << "09.12.2026 09:05:07 Загрузка ордеров включена.";
    QTest::newRow("US English") << QLocale(QLocale::English, QLocale::UnitedStates) << "12/9/2026 9:05:07 AM Загрузка ордеров включена.";
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "09.12.2026 09:05:07 Загрузка ордеров включена.";
}

void TestOperationLog::lineFormat()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, line);
    m_log->setLocale(locale);
    m_log->AddLog(QStringLiteral("Загрузка ордеров включена."));
    QCOMPARE(m_log->lines(), QStringList{line});
}

void TestOperationLog::flushAppendsOnlyNewLines()
{
    QSignalSpy added(m_log, &OperationLog::lineAdded);
    m_log->AddLog(QStringLiteral("первая"));
    m_log->AddLog(QStringLiteral("second"));
    QCOMPARE(added.count(), 2);
    QCOMPARE(fileBytes(), QByteArray()); // nothing before FlushLog
    m_log->FlushLog();
    const QByteArray expected = cp1251::encode(QStringLiteral("09.12.2026 09:05:07 первая\r\n09.12.2026 09:05:07 second\r\n"));
    QCOMPARE(fileBytes(), expected);
    QCOMPARE(m_log->LoggedLines(), 2);
    m_log->FlushLog();
    QCOMPARE(fileBytes(), expected);
    m_log->AddLog(QStringLiteral("third"));
    m_log->FlushLog();
    QCOMPARE(fileBytes(), expected + "09.12.2026 09:05:07 third\r\n");
}

void TestOperationLog::continuationLines()
{
    m_log->AddLog(QStringLiteral("При подключении к базе данных /x.sqlite произошла ошибка:\r\nФайл не найден"));
    QCOMPARE(m_log->lines().size(), 2);
    QCOMPARE(m_log->lines().at(1), QStringLiteral("Файл не найден"));
    m_log->FlushLog();
    QCOMPARE(fileBytes(), cp1251::encode(QStringLiteral("09.12.2026 09:05:07 При подключении к базе данных /x.sqlite произошла ошибка:\r\n"
                                                        "Файл не найден\r\n")));
}

void TestOperationLog::appendsAcrossRuns()
{
    m_log->AddLog(QStringLiteral("run 1"));
    m_log->close();
    OperationLog second;
    second.setLocale(m_log->locale());
    second.setClock([] { return QDateTime(QDate(2026, 12, 10), QTime(10, 0, 0)); });
    QVERIFY(second.open(m_path));
    second.AddLog(QStringLiteral("run 2"));
    second.FlushLog();
    QCOMPARE(fileBytes(), QByteArray("09.12.2026 09:05:07 run 1\r\n10.12.2026 10:00:00 run 2\r\n"));
}

void TestOperationLog::fileIsItsOwnersAlone_data()
{
    QTest::addColumn<int>("mode"); // an older log's permissions; 0: none there
    QTest::newRow("new log") << 0;
    QTest::newRow("older log readable by all") << 0644;
    QTest::newRow("older log writable by all") << 0666;
}

void TestOperationLog::fileIsItsOwnersAlone()
{
    QFETCH(int, mode);
    const QString path = m_dir->filePath(QStringLiteral("other/Korvina.log"));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (mode) {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("09.12.2026 09:00:00 old\r\n");
        old.close();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
    }
    OperationLog log;
    QVERIFY(log.open(path));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    // An older log is kept and appended to.
    log.AddLog(QStringLiteral("new"));
    log.FlushLog();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().startsWith("09.12.2026 09:00:00 old"), mode != 0);
}

void TestOperationLog::closeWritesWhatIsLeft()
{
    m_log->AddLog(QStringLiteral("flushed"));
    m_log->FlushLog();
    m_log->AddLog(QStringLiteral("last words"));
    m_log->close();
    QVERIFY(fileBytes().endsWith("last words\r\n"));
}

void TestOperationLog::writeFailureKeepsMark()
{
#ifdef Q_OS_LINUX
    // A failed write does not throw: the line is kept for the next write,
    // and the failure is told once.
    OperationLog full;
    QVERIFY(full.open(QStringLiteral("/dev/full")));
    QSignalSpy failed(&full, &OperationLog::writeFailed);
    full.AddLog(QStringLiteral("lost?"));
    QVERIFY(!full.FlushLog());
    QVERIFY(!full.FlushLog());
    QCOMPARE(full.LoggedLines(), 0);
    QCOMPARE(failed.count(), 1);
    QVERIFY(!full.writeFailure().isEmpty());
#else
    QSKIP("needs /dev/full");
#endif
}

void TestOperationLog::cutWriteIsFinishedNotRepeated_data()
{
    // Where the disk fills up: within the first line, at the end of it, or
    // within the second.
    QTest::addColumn<int>("room");
    QTest::newRow("within the first line") << 10;
    QTest::newRow("after the first line") << 32;
    QTest::newRow("within the second line") << 40;
}

void TestOperationLog::cutWriteIsFinishedNotRepeated()
{
#ifdef Q_OS_LINUX
    QFETCH(int, room);
    m_log->AddLog(QStringLiteral("before"));
    QVERIFY(m_log->FlushLog());
    const qint64 size = fileBytes().size();
    m_log->AddLog(QStringLiteral("first line"));  // 31 bytes with stamp and CR LF
    m_log->AddLog(QStringLiteral("second line"));
    {
        // The file may grow by `room` bytes only, as on a disk that fills.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = static_cast<rlim_t>(size + room);
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool written = m_log->FlushLog();
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(!written);
        QCOMPARE(fileBytes().size(), size + room);
    }
    m_log->AddLog(QStringLiteral("third line"));
    QVERIFY(m_log->FlushLog());
    QCOMPARE(fileBytes(), QByteArray("09.12.2026 09:05:07 before\r\n09.12.2026 09:05:07 first line\r\n"
                                     "09.12.2026 09:05:07 second line\r\n09.12.2026 09:05:07 third line\r\n"));
    QCOMPARE(m_log->LoggedLines(), 4);
#else
    QSKIP("needs setrlimit");
#endif
}

void TestOperationLog::unopenableFileIsReported()
{
    OperationLog log;
    QString error;
    QVERIFY(!log.open(m_dir->filePath(QStringLiteral("no/such/folder/Korvina.log")), &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TestOperationLog)
#include "tst_operationlog.moc"
