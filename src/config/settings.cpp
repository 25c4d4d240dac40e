#include "settings.h"

#include "korvinaerror.h"
#include "operationlog.h"
#include "textcodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>

// Bytes pass through as they are: the file is Windows-1251 and we convert it ourselves.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION // Debian ships the template bodies behind this switch
#include <SimpleIni.h>

#include <algorithm>
#include <limits>
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
    {"Position", "Position", "ResumeWindow", "ResumeWindow", &Settings::edtResumeWindow, Kind::Int, 0},
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

const QByteArray Bom("\xEF\xBB\xBF");

// The password's line holds shifted bytes, text in no encoding: it is left
// out when the file's encoding is told.
bool isPasswordLine(const QByteArray &line)
{
    static const QRegularExpression re(QStringLiteral("^\\s*password\\s*="), QRegularExpression::CaseInsensitiveOption);
    return re.match(QString::fromLatin1(line)).hasMatch();
}

Settings::Encoding detectEncoding(const QByteArray &data)
{
    if (data.startsWith(Bom))
        return Settings::Encoding::Utf8Bom;
    bool nonAscii = false;
    for (const QByteArray &line : data.split('\n')) {
        if (isPasswordLine(line))
            continue;
        if (std::any_of(line.cbegin(), line.cend(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            nonAscii = true;
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString text = utf8.decode(line);
            if (utf8.hasError())
                return Settings::Encoding::Cp1251;
        }
    }
    return nonAscii ? Settings::Encoding::Utf8 : Settings::Encoding::Cp1251;
}

QString decodeText(const QByteArray &bytes, Settings::Encoding encoding)
{
    return encoding == Settings::Encoding::Cp1251 ? cp1251::decode(bytes) : QString::fromUtf8(bytes);
}

QByteArray encodeText(const QString &text, Settings::Encoding encoding)
{
    return encoding == Settings::Encoding::Cp1251 ? cp1251::encode(text) : text.toUtf8();
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
    m_unreadable.clear();
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
    edtResumeWindow = 60;
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

bool Settings::checkFile(const QString &fileName, QString *error)
{
    const QFileInfo info(fileName);
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Файл настроек ") + QDir::toNativeSeparators(info.absoluteFilePath()) + QStringLiteral(": ") + why;
        return false;
    };
    if (!info.exists())
        return fail(QStringLiteral("файл не найден."));
    if (!info.isFile())
        return fail(QStringLiteral("это не файл."));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("файл не читается (") + file.errorString() + QStringLiteral(")."));
    const QByteArray head = file.read(1 << 20);
    if (head.contains('\0'))
        return fail(QStringLiteral("это не текстовый файл."));
    return true;
}

void Settings::LoadSettings()
{
    resetToDefaults();
    CSimpleIniA ini; // sections and keys without regard to case
    ini.SetMultiKey(false);
    m_encoding = Encoding::Cp1251;
    QFile file(m_fileName);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray data = file.readAll();
        m_encoding = detectEncoding(data);
        if (m_encoding == Encoding::Utf8Bom)
            data.remove(0, Bom.size());
        ini.LoadData(data.constData(), static_cast<size_t>(data.size()));
    }

    for (const Key &k : kKeys) {
        const char *raw = ini.GetValue(k.section, k.key, nullptr);
        if (!raw)
            continue;
        const QByteArray bytes(raw);
        const QString text = decodeText(bytes, m_encoding).trimmed();
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
            this->*std::get<QString Settings::*>(k.field) = decodeText(bytes, m_encoding);
            break;
        case Kind::Password:
            this->*std::get<QString Settings::*>(k.field) = decodeText(ShiftPassword(bytes, false), m_encoding);
            break;
        }
        if (ok)
            continue;
        const QString head = QStringLiteral("Файл настроек ") + m_fileName + QStringLiteral(": значение \"") + text
            + QStringLiteral("\" ключа [") + QLatin1String(k.section) + QStringLiteral("] ") + QLatin1String(k.key)
            + QStringLiteral(" не распознано");
        const QLatin1String key(k.key);
        if (key == QLatin1String("FixVol") || key == QLatin1String("Part")) {
            // A default would size real orders: they are refused instead.
            m_unreadable.insert(key, text);
            this->*std::get<double Settings::*>(k.field) = std::numeric_limits<double>::quiet_NaN();
            AddLog(head + QStringLiteral(", ордера по правилу с этим значением не выставляются"));
        } else if (key == QLatin1String("trans_id")) {
            // A default would number transactions as the operator did not ask.
            m_unreadable.insert(key, text);
            AddLog(head + QStringLiteral(", файлы транзакций не создаются"));
        } else {
            AddLog(head + QStringLiteral(", взято значение по умолчанию"));
        }
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
            QByteArray data = file.readAll();
            if (data.startsWith(Bom))
                data.remove(0, Bom.size());
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
            value = encodeText(formatDouble(this->*std::get<double Settings::*>(k.field)), m_encoding);
            break;
        case Kind::Bool:
            value = this->*std::get<bool Settings::*>(k.field) ? "-1" : "0";
            break;
        case Kind::Text:
            value = encodeText(this->*std::get<QString Settings::*>(k.field), m_encoding);
            break;
        case Kind::Password:
            value = ShiftPassword(encodeText(this->*std::get<QString Settings::*>(k.field), m_encoding), true);
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
    if (m_encoding == Encoding::Utf8Bom)
        bytes.prepend(Bom);

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
