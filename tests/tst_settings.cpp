// The settings file: defaults, letter case, conversions, the shifted
// password, bad hand-edited values, what SaveSettings writes, what it
// refuses to write, and that a failed save leaves the old file as it was.

#include "config/operationlog.h"
#include "config/settings.h"
#include "config/textcodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void defaultsWithoutFile();
    void sectionsAndKeysIgnoreCase();
    void checkBoxValues_data();
    void checkBoxValues();
    void shiftPassword_data();
    void shiftPassword();
    void badValuesGiveDefaultAndOneLogLine_data();
    void badValuesGiveDefaultAndOneLogLine();
    void saveWritesEveryKey();
    void saveAndLoadRoundTrip();
    void saveKeepsOtherSectionsAndNames();
    void unreadableSizingKeysTakeNoDefault_data();
    void unreadableSizingKeysTakeNoDefault();
    void encodingIsReadAndKept_data();
    void encodingIsReadAndKept();
    void encodingStaysAfterUnrelatedEdit_data();
    void encodingStaysAfterUnrelatedEdit();
    void fileWithoutAnySettingIsReported_data();
    void fileWithoutAnySettingIsReported();
    void fileReadableByOthersIsWarned_data();
    void fileReadableByOthersIsWarned();
    void fileCheck_data();
    void fileCheck();
    void saveReplacesFileOwnerOnly_data();
    void saveReplacesFileOwnerOnly();
    void failedSaveLeavesOldFile_data();
    void failedSaveLeavesOldFile();
    void unwritableValuesAreRefused_data();
    void unwritableValuesAreRefused();

private:
    void writeIni(const QByteArray &content);
    QByteArray readIni();
    // The file's inode and permission bits; {0, 0} when it is missing.
    std::pair<ino_t, mode_t> fileStat(const QString &path);
    QTemporaryDir *m_dir = nullptr;
    OperationLog *m_log = nullptr;
    Settings *m_settings = nullptr;
};

void TestSettings::initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

void TestSettings::init()
{
    m_dir = new QTemporaryDir;
    m_log = new OperationLog;
    OperationLog::setCurrent(m_log);
    m_settings = new Settings;
    m_settings->setFileName(m_dir->filePath(QStringLiteral("Korvina.ini")));
}

void TestSettings::cleanup()
{
    delete m_settings;
    delete m_log;
    delete m_dir;
}

void TestSettings::writeIni(const QByteArray &content)
{
    QFile f(m_settings->fileName());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    // Its owner's alone, as the program saves it (one readable by others is
    // warned about when read).
    QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
}

QByteArray TestSettings::readIni()
{
    QFile f(m_settings->fileName());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

std::pair<ino_t, mode_t> TestSettings::fileStat(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {0, 0};
    return {st.st_ino, st.st_mode & 07777};
}

void TestSettings::defaultsWithoutFile()
{
    m_settings->edtFixVol = 1;
    m_settings->rgpFilled = 0;
    m_settings->LoadSettings();
    QCOMPARE(m_settings->rgpPositionSize, 0);
    QCOMPARE(m_settings->edtFixVol, 30000.0);
    QCOMPARE(m_settings->edtPart, 20.0);
    QCOMPARE(m_settings->rgpFilled, 1);
    QCOMPARE(m_settings->chExitQty, true);
    QCOMPARE(m_settings->chKillOrder, false);
    QCOMPARE(m_settings->edtIntTable, 1);
    QCOMPARE(m_settings->edtQuikConnectTimeOut, 60);
    QCOMPARE(m_settings->edtAccountMicex, QStringLiteral("L01-00000F00"));
    QCOMPARE(m_settings->edtAccountFORTS, QStringLiteral("SPBFUT"));
    QCOMPARE(m_settings->edtCode, QStringLiteral("111"));
    QCOMPARE(m_settings->cboGroup, -1);
    QCOMPARE(m_settings->edtSlippage, 0.2);
    QCOMPARE(m_settings->edtPart3, 33.0);
    QCOMPARE(m_settings->edtPort, 25);
    QCOMPARE(m_settings->edtUser, QStringLiteral("User"));
    QVERIFY(m_settings->edtPassword.isEmpty());
    QCOMPARE(m_settings->edtQuikData, Settings::defaultQuikData());
#ifndef Q_OS_WIN
    QVERIFY(m_settings->edtQuikData.startsWith(QDir::homePath()));
#endif
    QVERIFY(m_log->lines().isEmpty());
    QVERIFY(!QFile::exists(m_settings->fileName())); // reading never creates the file
}

void TestSettings::sectionsAndKeysIgnoreCase()
{
    writeIni("[POSITION]\r\nexitqty=0\r\nINTTABLE=5\r\n[quik]\r\ncode=SPB01\r\n[TRADING]\r\nSET=35\r\nId_Group=4\r\n");
    m_settings->LoadSettings();
    QCOMPARE(m_settings->chExitQty, false);
    QCOMPARE(m_settings->edtIntTable, 5);
    QCOMPARE(m_settings->edtCode, QStringLiteral("SPB01"));
    QCOMPARE(m_settings->edtSet, 35.0);
    QCOMPARE(m_settings->cboGroup, 4);
}

void TestSettings::checkBoxValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("checked");
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("-1") << QByteArray("-1") << true;
    QTest::newRow("2") << QByteArray("2") << true;
    QTest::newRow("true") << QByteArray("true") << true;
    QTest::newRow("TRUE") << QByteArray("TRUE") << true;
    QTest::newRow("True") << QByteArray("True") << true;
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("false") << QByteArray("false") << false;
    QTest::newRow("FaLsE") << QByteArray("FaLsE") << false;
}

void TestSettings::checkBoxValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, checked);
    writeIni("[Position]\r\nExitQty=" + stored + "\r\n[Quik]\r\nConnect=" + stored + "\r\n");
    m_settings->LoadSettings();
    QCOMPARE(m_settings->chExitQty, checked);
    QCOMPARE(m_settings->chConnect, checked);
}

void TestSettings::shiftPassword_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("letters") << QByteArray("abc") << QByteArray("cde");
    QTest::newRow("wraps") << QByteArray("\xFE\xFF") << QByteArray("\x00\x01", 2);
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestSettings::shiftPassword()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, stored);
    QCOMPARE(Settings::ShiftPassword(plain, true), stored);
    QCOMPARE(Settings::ShiftPassword(stored, false), plain);
}

void TestSettings::badValuesGiveDefaultAndOneLogLine_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("fraction for whole seconds") << QByteArray("[Position]\r\nintTable=1.5\r\n") << "intTable" << "1.5";
    QTest::newRow("word for a number") << QByteArray("[Trading]\r\nslippage=много\r\n") << "slippage" << "много";
    QTest::newRow("radio out of range") << QByteArray("[Position]\r\nPositionSize=7\r\n") << "PositionSize" << "7";
    QTest::newRow("check box word") << QByteArray("[Position]\r\nExitQty=yes\r\n") << "ExitQty" << "yes";
    QTest::newRow("port not a number") << QByteArray("[Mail]\r\nPort=smtp\r\n") << "Port" << "smtp";
    // Values that cannot be what they name, with the reason.
    QTest::newRow("client code longer than 20")
        << QByteArray("[Quik]\r\nCode=ABCDEFGHIJKLMNOPQRSTU\r\n") << "Code"
        << "ABCDEFGHIJKLMNOPQRSTU\" ключа [Quik] Code длина 21 символов, допускается не более 20, взято значение по умолчанию";
    QTest::newRow("account longer than 20")
        << QByteArray("[Quik]\r\nAccountFORTS=SPBFUT-SPBFUT-SPBFUT-1\r\n") << "AccountFORTS"
        << "SPBFUT-SPBFUT-SPBFUT-1\" ключа [Quik] AccountFORTS длина 22 символов";
    QTest::newRow("tab in a folder") << QByteArray("[Quik]\r\ndirTT=/srv/tr\tans\r\n") << "dirTT"
                                     << "/srv/tr?ans\" ключа [Quik] dirTT управляющий символ U+0009 недопустим";
    QTest::newRow("control character in the sender's name")
        << QByteArray("[Mail]\r\nFromName=Ro\001bot\r\n") << "FromName" << "Ro?bot\" ключа [Mail] FromName управляющий символ U+0001";
}

void TestSettings::badValuesGiveDefaultAndOneLogLine()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(QString, value);
    writeIni(cp1251::encode(QString::fromUtf8(ini)));
    m_settings->LoadSettings();
    Settings defaults;
    QCOMPARE(m_settings->edtIntTable, defaults.edtIntTable);
    QCOMPARE(m_settings->edtSlippage, defaults.edtSlippage);
    QCOMPARE(m_settings->rgpPositionSize, defaults.rgpPositionSize);
    QCOMPARE(m_settings->chExitQty, defaults.chExitQty);
    QCOMPARE(m_settings->edtPort, defaults.edtPort);
    QCOMPARE(m_settings->edtCode, defaults.edtCode);
    QCOMPARE(m_settings->edtAccountFORTS, defaults.edtAccountFORTS);
    QCOMPARE(m_settings->edtdirTT, defaults.edtdirTT);
    QCOMPARE(m_settings->edtFromName, defaults.edtFromName);
    QCOMPARE(m_log->lines().size(), 1);
    QVERIFY2(m_log->lines().first().contains(key), qPrintable(m_log->lines().first()));
    // The value in quotes (a row with more after the value gives its own closing quote).
    const QChar quote(0x22);
    const QString shown = quote + value + (value.contains(quote) ? QString() : QString(quote));
    QVERIFY2(m_log->lines().first().contains(shown), qPrintable(m_log->lines().first()));
}

void TestSettings::saveWritesEveryKey()
{
    m_settings->LoadSettings();
    m_settings->edtPassword = QStringLiteral("abc");
    m_settings->edtFromName = QStringLiteral("Робот");
    m_settings->SaveSettings();
    const QByteArray file = readIni();
    QVERIFY(file.contains("[Position]\r\nPositionSize=0\r\n"));
    QVERIFY(file.contains("ExitQty=-1\r\n"));
    QVERIFY(file.contains("KillOrder=0\r\n"));
    QVERIFY(file.contains("rgpFilled=1\r\n"));
    QVERIFY(file.contains("[trading]\r\n"));
    QVERIFY(file.contains("\r\nSet=20\r\n"));
    QVERIFY(file.contains("Password=cde\r\n"));
    QVERIFY(file.contains("FromName=" + cp1251::encode(QStringLiteral("Робот")) + "\r\n"));
    QVERIFY(!file.contains(" = "));
    // Every key of every section is there.
    for (const char *key : {"FixVol=", "Part=", "rgpSingleMulti=", "rgpTerminal=", "trans_id=", "AutoPortfolio=", "intTable=",
                            "intQuik=", "dirTT=", "pathInfoLog=", "AccountMicex=", "AccountFORTS=", "QuikConnectTimeOut=",
                            "Code=", "Alerts=", "QuikData=", "Connect=", "QuikConnect=", "DirSmartTrade=", "id_group=-1",
                            "Vol1=", "Vol2=", "Vol3=", "Part1=", "Part2=", "Part3=", "slippage=", "SMTP=", "Port=25",
                            "User=", "Auten=0", "FromAddress=", "Email1=", "Email2=", "SendTrans_id=0", "SendTrans_done=0",
                            "SendQuikConnect=0", "SoundOnRefusal=-1"})
        QVERIFY2(file.contains(QByteArray("\n") + key), key);
    // The about box's addresses, empty until set.
    QVERIFY(file.contains("[About]\r\nMail=\r\nWeb=\r\n"));
    // The file holds the mail password: its owner alone may read it.
    QCOMPARE(QFile::permissions(m_settings->fileName()) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
}

void TestSettings::saveAndLoadRoundTrip()
{
    m_settings->LoadSettings();
    m_settings->rgpPositionSize = 3;
    m_settings->edtFixVol = 12345.5;
    m_settings->chExitQty = false;
    m_settings->rgpSingleMulti = 1;
    m_settings->edtTrans_id = 1000;
    m_settings->edtdirTT = QStringLiteral("/tmp/Папка с пробелами");
    m_settings->chConnect = true;
    m_settings->cboGroup = 3;
    m_settings->edtSlippage = 0.35;
    m_settings->edtPassword = QStringLiteral("пароль~я");
    m_settings->chSoundOnRefusal = false;
    m_settings->aboutMail = QStringLiteral("desk@broker.ru");
    m_settings->aboutWeb = QStringLiteral("https://broker.ru/korvina");
    m_settings->SaveSettings();

    Settings back;
    back.setFileName(m_settings->fileName());
    back.LoadSettings();
    QCOMPARE(back.rgpPositionSize, 3);
    QCOMPARE(back.edtFixVol, 12345.5);
    QCOMPARE(back.chExitQty, false);
    QCOMPARE(back.rgpSingleMulti, 1);
    QCOMPARE(back.edtTrans_id, 1000);
    QCOMPARE(back.edtdirTT, QStringLiteral("/tmp/Папка с пробелами"));
    QCOMPARE(back.chConnect, true);
    QCOMPARE(back.cboGroup, 3);
    QCOMPARE(back.edtSlippage, 0.35);
    QCOMPARE(back.edtPassword, QStringLiteral("пароль~я"));
    QCOMPARE(back.chSoundOnRefusal, false);
    QCOMPARE(back.aboutMail, QStringLiteral("desk@broker.ru"));
    QCOMPARE(back.aboutWeb, QStringLiteral("https://broker.ru/korvina"));
    QVERIFY(m_log->lines().isEmpty());
    // Decimals are written with the user's separator.
    QVERIFY(readIni().contains("FixVol=12345,5\r\n"));
}

void TestSettings::saveKeepsOtherSectionsAndNames()
{
    writeIni("[Trading]\r\nset=10\r\n[Extra]\r\nmine=1\r\n");
    m_settings->LoadSettings();
    QCOMPARE(m_settings->edtSet, 10.0);
    m_settings->SaveSettings();
    const QByteArray file = readIni();
    QVERIFY(file.contains("[Extra]\r\nmine=1\r\n"));
    QVERIFY(file.contains("[Trading]\r\nset=10\r\n"));
    QVERIFY(!file.contains("[trading]"));
}

void TestSettings::unreadableSizingKeysTakeNoDefault_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("tail");
    QTest::newRow("share with a percent sign") << QByteArray("[Position]\r\nPart=5%\r\n") << "Part" << "5%"
                                              << ", ордера по правилу с этим значением не выставляются";
    QTest::newRow("sum as a word") << QByteArray("[Position]\r\nFixVol=много\r\n") << "FixVol" << "много"
                                  << ", ордера по правилу с этим значением не выставляются";
    QTest::newRow("start number with a letter") << QByteArray("[Position]\r\ntrans_id=10a\r\n") << "trans_id" << "10a"
                                               << ", файлы транзакций не создаются";
}

void TestSettings::unreadableSizingKeysTakeNoDefault()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, tail);
    writeIni(cp1251::encode(QString::fromUtf8(ini)));
    m_settings->LoadSettings();
    QCOMPARE(m_settings->unreadableValue(key), value);
    if (key == QLatin1String("Part"))
        QVERIFY(std::isnan(m_settings->edtPart));
    if (key == QLatin1String("FixVol"))
        QVERIFY(std::isnan(m_settings->edtFixVol));
    QCOMPARE(m_log->lines().size(), 1);
    QVERIFY2(m_log->lines().first().endsWith(QStringLiteral("\" ключа [Position] ") + key + QStringLiteral(" не распознано") + tail),
             qPrintable(m_log->lines().first()));
    // The other keys are readable; a good file reads them all.
    QVERIFY(m_settings->unreadableValue(QStringLiteral("intTable")).isNull());
    writeIni("[Position]\r\nPart=5\r\nFixVol=100\r\ntrans_id=10\r\n");
    m_settings->LoadSettings();
    QVERIFY(m_settings->unreadableValue(key).isNull());
}

void TestSettings::encodingIsReadAndKept_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<bool>("utf8");
    QTest::newRow("Windows-1251") << QByteArray() << false;
    QTest::newRow("UTF-8 without a byte order mark") << QByteArray() << true;
    QTest::newRow("UTF-8 with a byte order mark") << QByteArray("\xEF\xBB\xBF") << true;
}

void TestSettings::encodingIsReadAndKept()
{
    QFETCH(QByteArray, prefix);
    QFETCH(bool, utf8);
    const QString folder = QStringLiteral("/srv/Торговля/Транзакции");
    const QString text = QStringLiteral("[Quik]\r\ndirTT=") + folder + QStringLiteral("\r\n[Mail]\r\nFromName=Робот\r\n");
    writeIni(prefix + (utf8 ? text.toUtf8() : cp1251::encode(text)));
    m_settings->LoadSettings();
    QCOMPARE(m_settings->edtdirTT, folder);
    QCOMPARE(m_settings->edtFromName, QStringLiteral("Робот"));
    QVERIFY(m_log->lines().isEmpty());

    // Written back the way it was found, password included.
    m_settings->edtPassword = QStringLiteral("пароль");
    m_settings->SaveSettings();
    const QByteArray file = readIni();
    QVERIFY(file.startsWith(prefix));
    QVERIFY(file.contains("dirTT=" + (utf8 ? folder.toUtf8() : cp1251::encode(folder)) + "\r\n"));
    Settings back;
    back.setFileName(m_settings->fileName());
    back.LoadSettings();
    QCOMPARE(back.edtdirTT, folder);
    QCOMPARE(back.edtPassword, QStringLiteral("пароль"));
    QCOMPARE(back.encoding(), m_settings->encoding());
}

void TestSettings::encodingStaysAfterUnrelatedEdit_data()
{
    QTest::addColumn<QByteArray>("prefix"); // the file as it was first found
    QTest::addColumn<bool>("utf8");
    QTest::addColumn<QByteArray>("added");  // a line added by hand afterwards
    const QByteArray cp1251Comment = cp1251::encode(QStringLiteral("; заметка оператора\r\n"));
    const QByteArray utf8Comment = QStringLiteral("; заметка оператора\r\n").toUtf8();
    QTest::newRow("Windows-1251, then a UTF-8 comment") << QByteArray() << false << utf8Comment;
    QTest::newRow("UTF-8, then a Windows-1251 comment") << QByteArray() << true << cp1251Comment;
    QTest::newRow("UTF-8 with a byte order mark, then a Windows-1251 comment") << QByteArray("\xEF\xBB\xBF") << true << cp1251Comment;
}

void TestSettings::encodingStaysAfterUnrelatedEdit()
{
    QFETCH(QByteArray, prefix);
    QFETCH(bool, utf8);
    QFETCH(QByteArray, added);
    const QString name = QStringLiteral("Робот");
    const QString text = QStringLiteral("[Mail]\r\nFromName=") + name + QStringLiteral("\r\n");
    writeIni(prefix + (utf8 ? text.toUtf8() : cp1251::encode(text)));
    m_settings->LoadSettings();
    const Settings::Encoding found = m_settings->encoding();
    QCOMPARE(found == Settings::Encoding::Cp1251, !utf8);
    m_settings->edtPassword = QStringLiteral("Пароль-ёж");
    QVERIFY(m_settings->SaveSettings());

    // A line in the other encoding added by hand, as the first line of
    // its section: the file is read as it was saved.
    QByteArray file = readIni();
    const qsizetype at = file.indexOf("[Mail]\r\n") + 8;
    file.insert(at, added);
    writeIni(file);
    Settings back;
    back.setFileName(m_settings->fileName());
    back.LoadSettings();
    QCOMPARE(back.encoding(), found);
    QCOMPARE(back.edtPassword, QStringLiteral("Пароль-ёж"));
    QCOMPARE(back.edtFromName, name);
    // And kept at the next save: one marker, at the top.
    QVERIFY(back.SaveSettings());
    const QByteArray again = readIni();
    QVERIFY(again.startsWith(prefix));
    if (prefix.isEmpty())
        QVERIFY(again.startsWith(utf8 ? "; Korvina: charset=utf-8\r\n" : "; Korvina: charset=windows-1251\r\n"));
    QCOMPARE(again.count("; Korvina: charset="), prefix.isEmpty() ? 1 : 0);
    QVERIFY(again.contains(added));
}

void TestSettings::fileWithoutAnySettingIsReported_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<bool>("reported");
    QTest::newRow("empty file") << QByteArray("") << true;
    QTest::newRow("random text") << QByteArray("Lorem ipsum dolor sit amet\r\n\xC0\xC1\xC2\r\n") << true;
    QTest::newRow("another program's settings") << QByteArray("[Window]\r\nWidth=800\r\n[Mail]\r\nServer=smtp.example.org\r\n") << true;
    QTest::newRow("one known key") << QByteArray("[mail]\r\nsmtp=smtp.example.org\r\n") << false;
    QTest::newRow("a known key with a bad value") << QByteArray("[Position]\r\nintTable=x\r\n") << false;
    QTest::newRow("no file: defaults, as always") << QByteArray() << false;
}

void TestSettings::fileWithoutAnySettingIsReported()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, reported);
    if (!content.isNull())
        writeIni(content);
    m_settings->LoadSettings();
    const QString text = m_settings->noSettingFound();
    QCOMPARE(!text.isEmpty(), reported);
    if (reported) {
        QVERIFY2(text.startsWith(QStringLiteral("В файле настроек ") + QFileInfo(m_settings->fileName()).absoluteFilePath()
                                 + QStringLiteral(" не найдено ни одного параметра")),
                 qPrintable(text));
        QCOMPARE(m_settings->edtCode, Settings().edtCode);
    }
    // Read again after a good file came: nothing to report.
    writeIni("[Quik]\r\nCode=222\r\n");
    m_settings->LoadSettings();
    QVERIFY(m_settings->noSettingFound().isEmpty());
    QCOMPARE(m_settings->edtCode, QStringLiteral("222"));
}

void TestSettings::fileReadableByOthersIsWarned_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("warned");
    QTest::newRow("owner only") << 0600 << false;
    QTest::newRow("owner read only") << 0400 << false;
    QTest::newRow("group may read") << 0640 << true;
    QTest::newRow("everyone may read") << 0644 << true;
}

void TestSettings::fileReadableByOthersIsWarned()
{
    QFETCH(int, mode);
    QFETCH(bool, warned);
    writeIni("[Quik]\r\nCode=222\r\n");
    const QString name = m_settings->fileName();
    QCOMPARE(::chmod(QFile::encodeName(name).constData(), static_cast<mode_t>(mode)), 0);
    m_settings->LoadSettings();
    QCOMPARE(m_settings->edtCode, QStringLiteral("222"));
    QCOMPARE(m_log->lines().size(), warned ? 1 : 0);
    QCOMPARE(!m_settings->exposedWarning().isEmpty(), warned);
    if (warned) {
        QCOMPARE(m_log->lines().first().section(QLatin1Char(' '), 2), m_settings->exposedWarning());
        QVERIFY(m_settings->exposedWarning().contains(QFileInfo(name).absoluteFilePath()));
        // Saved, it is its owner's alone, and read again nothing is said.
        QVERIFY(m_settings->SaveSettings());
        m_settings->LoadSettings();
        QVERIFY(m_settings->exposedWarning().isEmpty());
        QCOMPARE(m_log->lines().size(), 1);
    }
}

void TestSettings::fileCheck_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("why");
    QTest::newRow("a settings file") << "text" << true << QString();
    QTest::newRow("missing") << "missing" << false << "файл не найден.";
    QTest::newRow("a folder") << "folder" << false << "это не файл.";
    QTest::newRow("binary") << "binary" << false << "это не текстовый файл.";
    QTest::newRow("unreadable") << "unreadable" << false << "файл не читается";
}

void TestSettings::fileCheck()
{
    QFETCH(QString, kind);
    QFETCH(bool, usable);
    QFETCH(QString, why);
    const QString path = m_dir->filePath(QStringLiteral("check.ini"));
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (kind != QLatin1String("missing")) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(kind == QLatin1String("binary") ? QByteArray("\x7f" "ELF\x02\x01\0\0", 8) : QByteArray("[Quik]\r\nCode=1\r\n"));
        f.close();
        if (kind == QLatin1String("unreadable"))
            QVERIFY(QFile::setPermissions(path, {}));
    }
    if (kind == QLatin1String("unreadable") && QFile(path).open(QIODevice::ReadOnly))
        QSKIP("running as a user who reads every file");
    QString error;
    QCOMPARE(Settings::checkFile(path, &error), usable);
    if (!usable) {
        QVERIFY2(error.contains(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())), qPrintable(error));
        QVERIFY2(error.contains(why), qPrintable(error));
    }
}

void TestSettings::saveReplacesFileOwnerOnly_data()
{
    QTest::addColumn<int>("mode"); // the old file's permissions; 0: no old file
    QTest::newRow("new file") << 0;
    QTest::newRow("old file readable by all") << 0644;
    QTest::newRow("old file writable by all") << 0666;
}

void TestSettings::saveReplacesFileOwnerOnly()
{
    QFETCH(int, mode);
    const QString name = m_settings->fileName();
    if (mode) {
        writeIni("; mine\r\n[Extra]\r\nmine=1\r\n");
        QCOMPARE(::chmod(QFile::encodeName(name).constData(), static_cast<mode_t>(mode)), 0);
    }
    const ino_t before = fileStat(name).first;
    QString error = QStringLiteral("untouched");
    QVERIFY(m_settings->SaveSettings(&error));
    QCOMPARE(error, QStringLiteral("untouched"));

    // A new file took the old one's place; none is left beside it.
    const auto [inode, permissions] = fileStat(name);
    if (mode)
        QVERIFY(inode != before);
    QCOMPARE(permissions, mode_t(0600));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Korvina.ini")});
    const QByteArray file = readIni();
    QVERIFY(file.contains("SendQuikConnect=0\r\n"));
    QCOMPARE(file.contains("; mine\r\n"), mode != 0);
    QCOMPARE(file.contains("[Extra]\r\nmine=1\r\n"), mode != 0);
}

void TestSettings::failedSaveLeavesOldFile_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("disk full while writing") << "full" << QString();
    QTest::newRow("folder missing") << "nofolder" << QString();
    QTest::newRow("the path is a folder") << "folder" << "прежний файл не читается";
    QTest::newRow("old file unreadable") << "unreadable" << "прежний файл не читается";
}

void TestSettings::failedSaveLeavesOldFile()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    const QByteArray old("[Quik]\r\nCode=SPB01\r\n[Extra]\r\nmine=1\r\n");
    QString name = m_settings->fileName();
    if (fault == QLatin1String("nofolder")) {
        name = m_dir->filePath(QStringLiteral("missing/Korvina.ini"));
    } else if (fault == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(name));
    } else {
        writeIni(old);
        QCOMPARE(::chmod(QFile::encodeName(name).constData(), fault == QLatin1String("unreadable") ? 0200 : 0644), 0);
        if (fault == QLatin1String("unreadable") && QFile(name).open(QIODevice::ReadOnly))
            QSKIP("running as a user who reads every file");
    }
    m_settings->setFileName(name);
    m_settings->LoadSettings();
    m_settings->edtCode = QStringLiteral("NEW");
    const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    const auto statBefore = fileStat(name);

    QString error;
    bool saved = true;
    if (fault == QLatin1String("full")) {
        // Files of this process stop growing at 64 bytes, as on a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit lifted = limit;
        limit.rlim_cur = 64;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        saved = m_settings->SaveSettings(&error);
        setrlimit(RLIMIT_FSIZE, &lifted);
    } else {
        saved = m_settings->SaveSettings(&error);
    }
    QVERIFY(!saved);
    QVERIFY2(error.startsWith(QStringLiteral("Не удается записать файл настроек ")
                              + QDir::toNativeSeparators(QFileInfo(name).absoluteFilePath()) + QStringLiteral(": ")),
             qPrintable(error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    // The old file (or its absence) as it was, and no temporary file left.
    QCOMPARE(fileStat(name), statBefore);
    if (fault == QLatin1String("full") || fault == QLatin1String("unreadable")) {
        QVERIFY(QFile::setPermissions(name, QFile::ReadOwner | QFile::WriteOwner));
        QCOMPARE(readIni(), old);
    }
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
}

void TestSettings::unwritableValuesAreRefused_data()
{
    QTest::addColumn<bool>("utf8");           // the file was found in UTF-8
    QTest::addColumn<QStringList>("values");  // "control=value"
    QTest::addColumn<QString>("control");     // the one reported; empty: none
    QTest::addColumn<QString>("message");

    QTest::newRow("ю in the password would be a zero byte")
        << false << QStringList{QStringLiteral("edtPassword=ключ")} << "edtPassword"
        << "Поле «Пароль»: символ «ю» нельзя сохранить в файле настроек, пароль хранится со сдвигом кодов и обрезался бы на нем.";
    QTest::newRow("a control character in the password")
        << false << QStringList{QStringLiteral("edtPassword=ab\bc")} << "edtPassword"
        << "Поле «Пароль»: управляющий символ U+0008 недопустим.";
    QTest::newRow("a folder with a letter Windows-1251 has not")
        << false << QStringList{QStringLiteral("edtdirTT=/srv/Café/Trans")} << "edtdirTT"
        << "Поле «Путь к файлам транзакций»: символ «é» нельзя сохранить в файле настроек, его нет в кодировке Windows-1251.";
    QTest::newRow("the first field in key order, every character once")
        << false << QStringList{QStringLiteral("edtPassword=ключ"), QStringLiteral("edtCode=Straße 中 ß"), QStringLiteral("edtEmail2=日")}
        << "edtCode" << "Поле «Код/портфель клиента»: символы «ß», «中» нельзя сохранить в файле настроек, их нет в кодировке Windows-1251.";
    QTest::newRow("a line break in a name")
        << false << QStringList{QStringLiteral("edtFromName=Робот\n[Mail]")} << "edtFromName"
        << "Поле «Имя»: управляющий символ U+000A недопустим.";
    QTest::newRow("a tab and a zero in a folder, in a UTF-8 file too")
        << true << QStringList{QStringLiteral("edtdirTT=/srv/\tTrans\x00")} << "edtdirTT"
        << "Поле «Путь к файлам транзакций»: управляющие символы U+0009, U+0000 недопустимы.";
    QTest::newRow("a client code longer than 20")
        << false << QStringList{QStringLiteral("edtCode=ABCDEFGHIJKLMNOPQRSTU")} << "edtCode"
        << "Поле «Код/портфель клиента»: длина 21 символов, допускается не более 20.";
    QTest::newRow("an account of 20 is stored")
        << false << QStringList{QStringLiteral("edtCode=ABCDEFGHIJKLMNOPQRST")} << "" << "";
    QTest::newRow("я, the last code, and € are stored")
        << false << QStringList{QStringLiteral("edtPassword=яблоко €"), QStringLiteral("edtUser=Иван")} << "" << "";
    QTest::newRow("a UTF-8 file holds every letter")
        << true << QStringList{QStringLiteral("edtdirTT=/srv/Café/Trans"), QStringLiteral("edtPassword=ключ")} << "" << "";
}

void TestSettings::unwritableValuesAreRefused()
{
    QFETCH(bool, utf8);
    QFETCH(QStringList, values);
    QFETCH(QString, control);
    QFETCH(QString, message);
    const QHash<QString, QString Settings::*> fields{
        {QStringLiteral("edtdirTT"), &Settings::edtdirTT},       {QStringLiteral("edtCode"), &Settings::edtCode},
        {QStringLiteral("edtUser"), &Settings::edtUser},         {QStringLiteral("edtPassword"), &Settings::edtPassword},
        {QStringLiteral("edtFromName"), &Settings::edtFromName}, {QStringLiteral("edtEmail2"), &Settings::edtEmail2}};

    writeIni(utf8 ? QStringLiteral("[Mail]\r\nFromName=Робот\r\n").toUtf8() : QByteArray("[Mail]\r\nFromName=Robot\r\n"));
    m_settings->LoadSettings();
    const QByteArray old = readIni();
    for (const QString &v : values)
        m_settings->*fields.value(v.section(QLatin1Char('='), 0, 0)) = v.section(QLatin1Char('='), 1);

    const std::optional<Settings::Problem> problem = m_settings->checkWritable();
    QString error;
    const bool saved = m_settings->SaveSettings(&error);
    if (control.isEmpty()) {
        QVERIFY2(!problem, qPrintable(problem ? problem->message : QString()));
        QVERIFY2(saved, qPrintable(error));
        // Every value reads back exactly.
        Settings back;
        back.setFileName(m_settings->fileName());
        back.LoadSettings();
        for (const QString &v : values) {
            QString Settings::*field = fields.value(v.section(QLatin1Char('='), 0, 0));
            QCOMPARE(back.*field, m_settings->*field);
        }
        return;
    }
    QVERIFY(problem);
    QCOMPARE(problem->control, control);
    QCOMPARE(problem->message, message);
    // Nothing of it reaches the file, as "?" or cut short.
    QVERIFY(!saved);
    QCOMPARE(error, message);
    QCOMPARE(readIni(), old);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
