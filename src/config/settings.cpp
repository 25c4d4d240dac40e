#include "settings.h"

#include "korvinaerror.h"
#include "operationlog.h"
#include "textcodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSaveFile>

// Bytes pass through as they are: the file is Windows-1251 and we convert it ourselves.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION // Debian ships the template bodies behind this switch
#include <SimpleIni.h>

#include <variant>

namespace {

enum class Kind { Int, Double, Bool, Text, Password };

struct Key {
    const char *section;
    const char *writtenSection; // the section's name as the program writes it
    const char *key;
    const char *writtenKey;
    std::variant<int Settings::*, double Settings::*, bool Settings::*, QString Settings::*> field;
    Kind kind;
    int minimum = INT_MIN; // radio groups: the valid indexes
    int maximum = INT_MAX;
};

// The keys in the order they are read and written.
const Key kKeys[] = {
    {"Position", "Position", "PositionSize", "PositionSize", &Settings::rgpPositionSize, Kind::Int, 0, 4},
    {"Position", "Position", "FixVol", "FixVol", &Settings::edtFixVol, Kind::Double},
    {"Position", "Position", "Part", "Part", &Settings::edtPart, Kind::Double},
    {"Position", "Position", "rgpFilled", "rgpFilled", &Settings::rgpFilled, Kind::Int, 0, 1},
    {"Position", "Position", "ExitQty", "ExitQty", &Settings::chExitQty, Kind::Bool},
    {"Position", "Position", "KillOrder", "KillOrder", &Settings::chKillOrder, Kind::Bool},
    {"Position", "Position", "rgpSingleMulti", "rgpSingleMulti", &Settings::rgpSingleMulti, Kind::Int, 0, 1},
    {"Position", "Position", "rgpTerminal", "rgpTerminal", &Settings::rgpTerminal, Kind::Int, 0, 1},
    {"Position", "Position", "trans_id", "trans_id", &Settings::edtTrans_id, Kind::Int},
    {"Position", "Position", "AutoPortfolio", "AutoPortfolio", &Settings::chAutoPortfolio, Kind::Bool},
    {"Position", "Position", "intTable", "intTable", &Settings::edtIntTable, Kind::Int, 0},
    {"Position", "Position", "intQuik", "intQuik", &Settings::edtIntQuik, Kind::Int, 0},
    {"Quik", "Quik", "dirTT", "dirTT", &Settings::edtdirTT, Kind::Text},
    {"Quik", "Quik", "pathInfoLog", "pathInfoLog", &Settings::edtInfoLog, Kind::Text},
    {"Quik", "Quik", "AccountMicex", "AccountMicex", &Settings::edtAccountMicex, Kind::Text},
    {"Quik", "Quik", "AccountFORTS", "AccountFORTS", &Settings::edtAccountFORTS, Kind::Text},
    {"Quik", "Quik", "QuikConnectTimeOut", "QuikConnectTimeOut", &Settings::edtQuikConnectTimeOut, Kind::Int, 0},
    {"Quik", "Quik", "Code", "Code", &Settings::edtCode, Kind::Text},
    {"Quik", "Quik", "Alerts", "Alerts", &Settings::edtAlerts, Kind::Text},
    {"Quik", "Quik", "QuikData", "QuikData", &Settings::edtQuikData, Kind::Text},
    {"Quik", "Quik", "Connect", "Connect", &Settings::chConnect, Kind::Bool},
    {"Quik", "Quik", "QuikConnect", "QuikConnect", &Settings::chQuikConnect, Kind::Bool},
    {"Quik", "Quik", "DirSmartTrade", "DirSmartTrade", &Settings::edtDirSmartTrade, Kind::Text},
    {"Trading", "trading", "id_group", "id_group", &Settings::cboGroup, Kind::Int},
    {"Trading", "trading", "Vol1", "Vol1", &Settings::edtVol1, Kind::Double},
    {"Trading", "trading", "Vol2", "Vol2", &Settings::edtVol2, Kind::Double},
    {"Trading", "trading", "Vol3", "Vol3", &Settings::edtVol3, Kind::Double},
    {"Trading", "trading", "Part1", "Part1", &Settings::edtPart1, Kind::Double},
    {"Trading", "trading", "Part2", "Part2", &Settings::edtPart2, Kind::Double},
    {"Trading", "trading", "Part3", "Part3", &Settings::edtPart3, Kind::Double},
    {"Trading", "trading", "slippage", "slippage", &Settings::edtSlippage, Kind::Double},
    {"Trading", "trading", "set", "Set", &Settings::edtSet, Kind::Double},
    {"Mail", "Mail", "SMTP", "SMTP", &Settings::edtSMTP, Kind::Text},
    {"Mail", "Mail", "Port", "Port", &Settings::edtPort, Kind::Int, 0, 65535},
    {"Mail", "Mail", "User", "User", &Settings::edtUser, Kind::Text},
    {"Mail", "Mail", "Password", "Password", &Settings::edtPassword, Kind::Password},
    {"Mail", "Mail", "Auten", "Auten", &Settings::chAuten, Kind::Bool},
    {"Mail", "Mail", "FromName", "FromName", &Settings::edtFromName, Kind::Text},
    {"Mail", "Mail", "FromAddress", "FromAddress", &Settings::edtFromAddress, Kind::Text},
    {"Mail", "Mail", "Email1", "Email1", &Settings::edtEmail1, Kind::Text},
    {"Mail", "Mail", "Email2", "Email2", &Settings::edtEmail2, Kind::Text},
    {"Mail", "Mail", "SendTrans_id", "SendTrans_id", &Settings::chSendTrans_Id, Kind::Bool},
    {"Mail", "Mail", "SendTrans_done", "SendTrans_done", &Settings::chSendTrans_done, Kind::Bool},
    {"Mail", "Mail", "SendQuikConnect", "SendQuikConnect", &Settings::chSendQuikConnect, Kind::Bool},
};

QString home(const QString &tail)
{
    return QDir::toNativeSeparators(QDir::homePath() + QStringLiteral("/Korvina/") + tail);
}

bool parseInt(const QString &text, int *out)
{
    bool ok = false;
    int v = text.toInt(&ok);
    if (!ok)
        v = QLocale().toInt(text, &ok);
    if (ok)
        *out = v;
    return ok;
}

bool parseDouble(const QString &text, double *out)
{
    bool ok = false;
    double v = QLocale().toDouble(text, &ok);
    if (!ok)
        v = QLocale::c().toDouble(text, &ok);
    if (!ok && text.count(QLatin1Char(',')) == 1 && !text.contains(QLatin1Char('.')))
        v = QLocale::c().toDouble(QString(text).replace(QLatin1Char(','), QLatin1Char('.')), &ok);
    if (ok)
        *out = v;
    return ok;
}

bool parseBool(const QString &text, bool *out)
{
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        *out = true;
        return true;
    }
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        *out = false;
        return true;
    }
    bool ok = false;
    qlonglong n = text.toLongLong(&ok);
    if (ok) {
        *out = n != 0;
        return true;
    }
    double d = 0;
    if (parseDouble(text, &d)) {
        *out = d != 0;
        return true;
    }
    return false;
}

QString formatDouble(double v)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(v, 'f', QLocale::FloatingPointShortest);
}

} // namespace

Settings::Settings(QObject *parent) : QObject(parent)
{
    ProgramDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    if (ProgramDir == QDir::separator())
        ProgramDir = QDir::toNativeSeparators(QDir::currentPath() + QLatin1Char('/'));
    m_fileName = ProgramDir + QStringLiteral("Korvina") + QStringLiteral(".ini");
    resetToDefaults();
}

#ifdef Q_OS_WIN
QString Settings::defaultDirTT() { return QStringLiteral("C:\\Korvina\\Trans"); }
QString Settings::defaultInfoLog() { return QStringLiteral("C:\\Program Files\\QUIK\\info.log"); }
QString Settings::defaultAlerts() { return QStringLiteral("C:\\Program Files\\Omega Research\\MyWork\\Alerts11.mdb"); }
QString Settings::defaultQuikData() { return QStringLiteral("C:\\Korvina\\Data\\dbQuikData.mdb"); }
QString Settings::defaultDirSmartTrade() { return QStringLiteral("C:\\Program Files\\SmartTrade\\Orders"); }
#else
QString Settings::defaultDirTT() { return home(QStringLiteral("Trans")); }
QString Settings::defaultInfoLog() { return home(QStringLiteral("QUIK/info.log")); }
QString Settings::defaultAlerts() { return home(QStringLiteral("Omega/Alerts11.sqlite")); }
QString Settings::defaultQuikData() { return home(QStringLiteral("Data/dbQuikData.sqlite")); }
QString Settings::defaultDirSmartTrade() { return home(QStringLiteral("SmartTrade/Orders")); }
#endif

void Settings::resetToDefaults()
{
    rgpPositionSize = 0;
    edtFixVol = 30000;
    edtPart = 20;
    rgpFilled = 1;
    chExitQty = true;
    chKillOrder = false;
    rgpSingleMulti = 0;
    rgpTerminal = 0;
    edtTrans_id = 0;
    chAutoPortfolio = false;
    edtIntTable = 1;
    edtIntQuik = 1;
    edtdirTT = defaultDirTT();
    edtInfoLog = defaultInfoLog();
    edtAccountMicex = QStringLiteral("L01-00000F00");
    edtAccountFORTS = QStringLiteral("SPBFUT");
    edtQuikConnectTimeOut = 60;
    edtCode = QStringLiteral("111");
    edtAlerts = defaultAlerts();
    edtQuikData = defaultQuikData();
    chConnect = false;
    chQuikConnect = false;
    edtDirSmartTrade = defaultDirSmartTrade();
    cboGroup = -1;
    edtVol1 = 30;
    edtVol2 = 20;
    edtVol3 = 10;
    edtPart1 = 100;
    edtPart2 = 50;
    edtPart3 = 33;
    edtSlippage = 0.20;
    edtSet = 20;
    edtSMTP = QStringLiteral("localhost");
    edtPort = 25;
    edtUser = QStringLiteral("User");
    edtPassword.clear();
    chAuten = false;
    edtFromName = QStringLiteral("User");
    edtFromAddress = QStringLiteral("robot@localhost");
    edtEmail1 = QStringLiteral("trader@localhost");
    edtEmail2 = QStringLiteral("79000000000@sms.localhost");
    chSendTrans_Id = false;
    chSendTrans_done = false;
    chSendQuikConnect = false;
}

QByteArray Settings::ShiftPassword(const QByteArray &text, bool saving)
{
    QByteArray out(text);
    for (char &c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        c = static_cast<char>(static_cast<unsigned char>(saving ? u + 2 : u - 2));
    }
    return out;
}

void Settings::LoadSettings()
{
    resetToDefaults();
    CSimpleIniA ini; // sections and keys without regard to case
    ini.SetMultiKey(false);
    QFile file(m_fileName);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray data = file.readAll();
        ini.LoadData(data.constData(), static_cast<size_t>(data.size()));
    }

    for (const Key &k : kKeys) {
        const char *raw = ini.GetValue(k.section, k.key, nullptr);
        if (!raw)
            continue;
        const QByteArray bytes(raw);
        const QString text = cp1251::decode(bytes).trimmed();
        bool ok = true;
        switch (k.kind) {
        case Kind::Int: {
            int v = 0;
            ok = parseInt(text, &v) && v >= k.minimum && v <= k.maximum;
            if (ok)
                this->*std::get<int Settings::*>(k.field) = v;
            break;
        }
        case Kind::Double: {
            double v = 0;
            ok = parseDouble(text, &v);
            if (ok)
                this->*std::get<double Settings::*>(k.field) = v;
            break;
        }
        case Kind::Bool: {
            bool v = false;
            ok = parseBool(text, &v);
            if (ok)
                this->*std::get<bool Settings::*>(k.field) = v;
            break;
        }
        case Kind::Text:
            this->*std::get<QString Settings::*>(k.field) = cp1251::decode(bytes);
            break;
        case Kind::Password:
            this->*std::get<QString Settings::*>(k.field) = cp1251::decode(ShiftPassword(bytes, false));
            break;
        }
        if (!ok)
            AddLog(QStringLiteral("Файл настроек ") + m_fileName + QStringLiteral(": значение \"") + text
                   + QStringLiteral("\" ключа [") + QLatin1String(k.section) + QStringLiteral("] ")
                   + QLatin1String(k.key) + QStringLiteral(" не распознано, взято значение по умолчанию"));
    }
    rgpFilled = 1;
    emit loaded();
}

void Settings::SaveSettings()
{
    CSimpleIniA ini; // sections and keys without regard to case
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    {
        // Keep what else the file holds (other sections, comments).
        QFile file(m_fileName);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray data = file.readAll();
            ini.LoadData(data.constData(), static_cast<size_t>(data.size()));
        }
    }
    for (const Key &k : kKeys) {
        QByteArray value;
        switch (k.kind) {
        case Kind::Int:
            value = QByteArray::number(this->*std::get<int Settings::*>(k.field));
            break;
        case Kind::Double:
            value = cp1251::encode(formatDouble(this->*std::get<double Settings::*>(k.field)));
            break;
        case Kind::Bool:
            value = this->*std::get<bool Settings::*>(k.field) ? "-1" : "0";
            break;
        case Kind::Text:
            value = cp1251::encode(this->*std::get<QString Settings::*>(k.field));
            break;
        case Kind::Password:
            value = ShiftPassword(cp1251::encode(this->*std::get<QString Settings::*>(k.field)), true);
            break;
        }
        // A section or key already in the file keeps the name it has there.
        const char *section = ini.GetSectionSize(k.section) >= 0 ? k.section : k.writtenSection;
        if (ini.GetValue(k.section, k.key, nullptr)) {
            ini.SetValue(section, k.key, value.constData());
        } else {
            ini.SetValue(section, k.writtenKey, value.constData());
        }
    }
    std::string out;
    ini.Save(out);
    QByteArray bytes = QByteArray::fromStdString(out);
    bytes.replace("\r\n", "\n");
    bytes.replace("\n", "\r\n");

    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw KorvinaError(QStringLiteral("Не удается записать файл настроек ") + m_fileName + QStringLiteral(": ")
                           + file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(bytes);
    if (!file.commit())
        throw KorvinaError(QStringLiteral("Не удается записать файл настроек ") + m_fileName + QStringLiteral(": ")
                           + file.errorString());
}
