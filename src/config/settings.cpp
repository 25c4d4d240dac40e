#include "settings.h"

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
    // Texts: the options dialog's control and the label it shows.
    const char *control = nullptr;
    const char *label = nullptr;
    int minimum = INT_MIN; // radio groups: the valid indexes
    int maximum = INT_MAX;
};

// The keys in the order they are read and written.
const Key kKeys[] = {
    {"Position", "Position", "PositionSize", "PositionSize", &Settings::rgpPositionSize, Kind::Int, nullptr, nullptr, 0, 4},
    {"Position", "Position", "FixVol", "FixVol", &Settings::edtFixVol, Kind::Double},
    {"Position", "Position", "Part", "Part", &Settings::edtPart, Kind::Double},
    {"Position", "Position", "rgpFilled", "rgpFilled", &Settings::rgpFilled, Kind::Int, nullptr, nullptr, 0, 1},
    {"Position", "Position", "ExitQty", "ExitQty", &Settings::chExitQty, Kind::Bool},
    {"Position", "Position", "KillOrder", "KillOrder", &Settings::chKillOrder, Kind::Bool},
    {"Position", "Position", "rgpSingleMulti", "rgpSingleMulti", &Settings::rgpSingleMulti, Kind::Int, nullptr, nullptr, 0, 1},
    {"Position", "Position", "rgpTerminal", "rgpTerminal", &Settings::rgpTerminal, Kind::Int, nullptr, nullptr, 0, 1},
    {"Position", "Position", "trans_id", "trans_id", &Settings::edtTrans_id, Kind::Int},
    {"Position", "Position", "AutoPortfolio", "AutoPortfolio", &Settings::chAutoPortfolio, Kind::Bool},
    {"Position", "Position", "intTable", "intTable", &Settings::edtIntTable, Kind::Int, nullptr, nullptr, 0},
    {"Position", "Position", "intQuik", "intQuik", &Settings::edtIntQuik, Kind::Int, nullptr, nullptr, 0},
    {"Position", "Position", "ResumeWindow", "ResumeWindow", &Settings::edtResumeWindow, Kind::Int, nullptr, nullptr, 0},
    {"Position", "Position", "InstantIntake", "InstantIntake", &Settings::chInstantIntake, Kind::Bool},
    {"Position", "Position", "Standby", "Standby", &Settings::chStandby, Kind::Bool},
    {"Position", "Position", "MaxLots", "MaxLots", &Settings::edtMaxLots, Kind::Int, nullptr, nullptr, 0},
    {"Position", "Position", "ReconcileAfter", "ReconcileAfter", &Settings::edtReconcileAfter, Kind::Int, nullptr, nullptr, 0},
    {"Quik", "Quik", "dirTT", "dirTT", &Settings::edtdirTT, Kind::Text, "edtdirTT", "Путь к файлам транзакций:"},
    {"Quik", "Quik", "pathInfoLog", "pathInfoLog", &Settings::edtInfoLog, Kind::Text, "edtInfoLog", "Путь к файлу info.log:"},
    {"Quik", "Quik", "AccountMicex", "AccountMicex", &Settings::edtAccountMicex, Kind::Text, "edtAccountMicex", "Номер счета на ММВБ:"},
    {"Quik", "Quik", "AccountFORTS", "AccountFORTS", &Settings::edtAccountFORTS, Kind::Text, "edtAccountFORTS", "Номер счета на FORTS:"},
    {"Quik", "Quik", "QuikConnectTimeOut", "QuikConnectTimeOut", &Settings::edtQuikConnectTimeOut, Kind::Int, nullptr, nullptr, 0},
    {"Quik", "Quik", "Code", "Code", &Settings::edtCode, Kind::Text, "edtCode", "Код/портфель клиента:"},
    {"Quik", "Quik", "Alerts", "Alerts", &Settings::edtAlerts, Kind::Text, "edtAlerts", "База данных Omega Research Alerts:"},
    {"Quik", "Quik", "QuikData", "QuikData", &Settings::edtQuikData, Kind::Text, "edtQuikData", "База данных QuikData:"},
    {"Quik", "Quik", "Connect", "Connect", &Settings::chConnect, Kind::Bool},
    {"Quik", "Quik", "QuikConnect", "QuikConnect", &Settings::chQuikConnect, Kind::Bool},
    {"Quik", "Quik", "DirSmartTrade", "DirSmartTrade", &Settings::edtDirSmartTrade, Kind::Text, "edtDirSmartTrade", "Путь к файлам для SmartTrade:"},
    {"Trading", "trading", "id_group", "id_group", &Settings::cboGroup, Kind::Int},
    {"Trading", "trading", "Vol1", "Vol1", &Settings::edtVol1, Kind::Double},
    {"Trading", "trading", "Vol2", "Vol2", &Settings::edtVol2, Kind::Double},
    {"Trading", "trading", "Vol3", "Vol3", &Settings::edtVol3, Kind::Double},
    {"Trading", "trading", "Part1", "Part1", &Settings::edtPart1, Kind::Double},
    {"Trading", "trading", "Part2", "Part2", &Settings::edtPart2, Kind::Double},
    {"Trading", "trading", "Part3", "Part3", &Settings::edtPart3, Kind::Double},
    {"Trading", "trading", "slippage", "slippage", &Settings::edtSlippage, Kind::Double},
    {"Trading", "trading", "set", "Set", &Settings::edtSet, Kind::Double},
    {"Mail", "Mail", "SMTP", "SMTP", &Settings::edtSMTP, Kind::Text, "edtSMTP", "Сервер исходящей почты:"},
    {"Mail", "Mail", "Port", "Port", &Settings::edtPort, Kind::Int, nullptr, nullptr, 0, 65535},
    {"Mail", "Mail", "User", "User", &Settings::edtUser, Kind::Text, "edtUser", "Пользователь: "},
    {"Mail", "Mail", "Password", "Password", &Settings::edtPassword, Kind::Password, "edtPassword", "Пароль: "},
    {"Mail", "Mail", "Auten", "Auten", &Settings::chAuten, Kind::Bool},
    {"Mail", "Mail", "FromName", "FromName", &Settings::edtFromName, Kind::Text, "edtFromName", "Имя:"},
    {"Mail", "Mail", "FromAddress", "FromAddress", &Settings::edtFromAddress, Kind::Text, "edtFromAddress", "E-Mail адрес:"},
    {"Mail", "Mail", "Email1", "Email1", &Settings::edtEmail1, Kind::Text, "edtEmail1", "E-Mail 1:"},
    {"Mail", "Mail", "Email2", "Email2", &Settings::edtEmail2, Kind::Text, "edtEmail2", "E-Mail 2:"},
    {"Mail", "Mail", "SendTrans_id", "SendTrans_id", &Settings::chSendTrans_Id, Kind::Bool},
    {"Mail", "Mail", "SendTrans_done", "SendTrans_done", &Settings::chSendTrans_done, Kind::Bool},
    {"Mail", "Mail", "SendQuikConnect", "SendQuikConnect", &Settings::chSendQuikConnect, Kind::Bool},
    {"Mail", "Mail", "SoundOnRefusal", "SoundOnRefusal", &Settings::chSoundOnRefusal, Kind::Bool},
    {"Mail", "Mail", "AllowPlainAuth", "AllowPlainAuth", &Settings::chAllowPlainAuth, Kind::Bool},
    {"Mail", "Mail", "SendReconcile", "SendReconcile", &Settings::chSendReconcile, Kind::Bool},
    {"Mail", "Mail", "ReportAt", "ReportAt", &Settings::edtReportAt, Kind::Text, nullptr, "Время отправки дневного отчета (ЧЧ:ММ):"},
    {"About", "About", "Mail", "Mail", &Settings::aboutMail, Kind::Text, nullptr, "Адрес почты в окне «О программе»:"},
    {"About", "About", "Web", "Web", &Settings::aboutWeb, Kind::Text, nullptr, "Адрес сайта в окне «О программе»:"},
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

// The line every save writes first (after nothing, or after the byte order
// mark of a UTF-8 file that has one): it fixes the file's encoding whatever
// text is added to the file later. ASCII, so it reads the same either way.
const QByteArray MarkerHead("; Korvina: charset=");
const QByteArray MarkerCp1251 = MarkerHead + "windows-1251";
const QByteArray MarkerUtf8 = MarkerHead + "utf-8";

// The password's line holds shifted bytes, text in no encoding: it is left
// out when the encoding of a file without a marker is told.
bool isPasswordLine(const QByteArray &line)
{
    static const QRegularExpression re(QStringLiteral("^\\s*password\\s*="), QRegularExpression::CaseInsensitiveOption);
    return re.match(QString::fromLatin1(line)).hasMatch();
}

// Takes the marker line out of the comments before the first section and
// gives the encoding it names (nothing when there is none).
std::optional<Settings::Encoding> takeMarker(QByteArray &data)
{
    qsizetype pos = 0;
    while (pos < data.size()) {
        qsizetype end = data.indexOf('\n', pos);
        const qsizetype next = end < 0 ? data.size() : end + 1;
        const QByteArray line = data.mid(pos, next - pos).trimmed();
        if (line.startsWith('['))
            break;
        if (line.toLower().startsWith(MarkerHead.toLower())) {
            const QByteArray name = line.mid(MarkerHead.size()).trimmed().toLower();
            data.remove(pos, next - pos);
            if (name == "utf-8")
                return Settings::Encoding::Utf8;
            return Settings::Encoding::Cp1251;
        }
        pos = next;
    }
    return std::nullopt;
}

// A file the program has not marked yet: read the way it always was.
Settings::Encoding guessUnmarked(const QByteArray &data)
{
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

// The file's bytes as SimpleIni is to read them (byte order mark and marker
// line taken out), and its encoding.
Settings::Encoding prepareFile(QByteArray &data)
{
    if (data.startsWith(Bom)) {
        data.remove(0, Bom.size());
        takeMarker(data); // the mark decides
        return Settings::Encoding::Utf8Bom;
    }
    if (const std::optional<Settings::Encoding> marked = takeMarker(data))
        return *marked;
    return guessUnmarked(data);
}

QString decodeText(const QByteArray &bytes, Settings::Encoding encoding)
{
    return encoding == Settings::Encoding::Cp1251 ? cp1251::decode(bytes) : QString::fromUtf8(bytes);
}

QByteArray encodeText(const QString &text, Settings::Encoding encoding)
{
    return encoding == Settings::Encoding::Cp1251 ? cp1251::encode(text) : text.toUtf8();
}

// The bytes a text or the password is stored as.
QByteArray storedText(const Key &k, const QString &value, Settings::Encoding encoding)
{
    const QByteArray bytes = encodeText(value, encoding);
    return k.kind == Kind::Password ? Settings::ShiftPassword(bytes, true) : bytes;
}

// The characters of a text one by one (a surrogate pair is one).
QStringList characters(const QString &text)
{
    QStringList out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        out << text.mid(i, n);
        i += n - 1;
    }
    return out;
}

// Characters for a message: each in quotes, one that does not print as its code.
QString shownCharacters(const QStringList &chars)
{
    QStringList shown;
    for (const QString &ch : chars) {
        const char32_t code = ch.toUcs4().value(0);
        shown << (QChar::isPrint(code) && !QChar::isSpace(code)
                      ? QStringLiteral("«") + ch + QStringLiteral("»")
                      : QStringLiteral("U+") + QStringLiteral("%1").arg(static_cast<uint>(code), 4, 16, QLatin1Char('0')).toUpper());
    }
    return shown.join(QStringLiteral(", "));
}

// The control characters of a text, each once, in order.
QStringList controlCharacters(const QString &text)
{
    QStringList out;
    for (const QString &ch : characters(text))
        if (QChar::category(ch.toUcs4().value(0)) == QChar::Other_Control && !out.contains(ch))
            out << ch;
    return out;
}

// The keys the terminals take a client code or an account from.
bool isCodeKey(const Key &k)
{
    const QLatin1String key(k.key);
    return key == QLatin1String("Code") || key == QLatin1String("AccountMicex") || key == QLatin1String("AccountFORTS");
}

// Why a text cannot be what its key names: a control character, or a code
// longer than the terminals take. Empty when it can.
QString textProblem(const Key &k, const QString &value)
{
    const QStringList control = controlCharacters(value);
    if (!control.isEmpty())
        return (control.size() == 1 ? QStringLiteral("управляющий символ ") : QStringLiteral("управляющие символы "))
            + shownCharacters(control) + QStringLiteral(" недопустим") + (control.size() == 1 ? QString() : QStringLiteral("ы"));
    if (isCodeKey(k) && value.size() > Settings::MaxCodeLength)
        return QStringLiteral("длина %1 символов, допускается не более %2").arg(value.size()).arg(Settings::MaxCodeLength);
    return QString();
}

// The label of a text's control as the dialog shows it, without its colon.
QString shownLabel(const Key &k)
{
    QString label = QString::fromUtf8(k.label).trimmed();
    if (label.endsWith(QLatin1Char(':')))
        label.chop(1);
    return label;
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
    chInstantIntake = true;
    chStandby = false;
    edtMaxLots = 1000000;
    edtReconcileAfter = 30;
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
    chSoundOnRefusal = true;
    chAllowPlainAuth = false;
    chSendReconcile = false;
    edtReportAt.clear();
    aboutMail.clear();
    aboutWeb.clear();
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
    m_noSettingFound.clear();
    m_exposedWarning.clear();
    CSimpleIniA ini; // sections and keys without regard to case
    ini.SetMultiKey(false);
    m_encoding = Encoding::Cp1251;
    QFile file(m_fileName);
    const bool found = file.open(QIODevice::ReadOnly);
    if (found) {
        QByteArray data = file.readAll();
        m_encoding = prepareFile(data);
        ini.LoadData(data.constData(), static_cast<size_t>(data.size()));
    }
    const QString shownName = QDir::toNativeSeparators(QFileInfo(m_fileName).absoluteFilePath());

    int known = 0;
    for (const Key &k : kKeys) {
        const char *raw = ini.GetValue(k.section, k.key, nullptr);
        if (!raw)
            continue;
        ++known;
        const QByteArray bytes(raw);
        const QString text = decodeText(bytes, m_encoding).trimmed();
        bool ok = true;
        QString why = QStringLiteral("не распознано");
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
        case Kind::Password: {
            const QString value = decodeText(k.kind == Kind::Password ? ShiftPassword(bytes, false) : bytes, m_encoding);
            why = textProblem(k, value);
            ok = why.isEmpty();
            if (ok)
                this->*std::get<QString Settings::*>(k.field) = value;
            break;
        }
        }
        if (ok)
            continue;
        // The password is never written to the log; other values are shown
        // with their control characters as "?".
        QString shown = text;
        for (const QString &ch : controlCharacters(shown))
            shown.replace(ch, QStringLiteral("?"));
        const QString head = QStringLiteral("Файл настроек ") + m_fileName + QStringLiteral(": значение ")
            + (k.kind == Kind::Password ? QStringLiteral("(скрыто)") : QStringLiteral("\"") + shown + QStringLiteral("\""))
            + QStringLiteral(" ключа [") + QLatin1String(k.section) + QStringLiteral("] ") + QLatin1String(k.key)
            + QLatin1Char(' ') + why;
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
    // A file that is there with nothing of ours in it (empty, or another
    // program's file given by mistake): every setting would be a default
    // without a word.
    if (found && known == 0)
        m_noSettingFound = QStringLiteral("В файле настроек ") + shownName
            + QStringLiteral(" не найдено ни одного параметра Korvina");
#ifdef Q_OS_UNIX
    // The file holds the mail password: others must not read it (every
    // save makes it its owner's alone).
    if (found && (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))) {
        m_exposedWarning = QStringLiteral("Внимание! Файл настроек ") + shownName
            + QStringLiteral(" могут читать другие пользователи, а в нем пароль почты. Сделайте его доступным только владельцу (chmod 600)"
                             " или сохраните настройки: при сохранении так и будет.");
        AddLog(m_exposedWarning);
    }
#endif
    emit loaded();
}

std::optional<Settings::Problem> Settings::checkWritable() const
{
    for (const Key &k : kKeys) {
        if (k.kind != Kind::Text && k.kind != Kind::Password)
            continue;
        const QString value = this->*std::get<QString Settings::*>(k.field);
        const QString head = QStringLiteral("Поле «") + shownLabel(k) + QStringLiteral("»: ");
        // Characters the code page has not: written as "?".
        QStringList bad;
        if (m_encoding == Encoding::Cp1251)
            bad = characters(cp1251::unencodable(value));
        if (bad.isEmpty()) {
            // What the value cannot be, whatever the file.
            const QString why = textProblem(k, value);
            if (!why.isEmpty())
                return Problem{QString::fromLatin1(k.control), head + why + QLatin1Char('.')};
            // Characters stored as a zero byte: the value read back ends
            // there (only a shifted password has such).
            for (const QString &ch : characters(value))
                if (storedText(k, ch, m_encoding).contains('\0') && !bad.contains(ch))
                    bad << ch;
            if (bad.isEmpty())
                continue;
        }
        const bool unencodable = m_encoding == Encoding::Cp1251 && !cp1251::unencodable(value).isEmpty();
        const bool one = bad.size() == 1;
        QString why;
        if (unencodable)
            why = (one ? QStringLiteral("его") : QStringLiteral("их")) + QStringLiteral(" нет в кодировке Windows-1251");
        else
            why = QStringLiteral("пароль хранится со сдвигом кодов и обрезался бы на ") + (one ? QStringLiteral("нем") : QStringLiteral("них"));
        return Problem{QString::fromLatin1(k.control),
                       head + (one ? QStringLiteral("символ ") : QStringLiteral("символы ")) + shownCharacters(bad)
                           + QStringLiteral(" нельзя сохранить в файле настроек, ") + why + QLatin1Char('.')};
    }
    return std::nullopt;
}

bool Settings::SaveSettings(QString *error)
{
    const QString shownName = QDir::toNativeSeparators(QFileInfo(m_fileName).absoluteFilePath());
    auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    auto cannotWrite = [&](const QString &reason) {
        return fail(QStringLiteral("Не удается записать файл настроек ") + shownName + QStringLiteral(": ") + reason);
    };
    if (const std::optional<Problem> problem = checkWritable())
        return fail(problem->message);

    CSimpleIniA ini; // sections and keys without regard to case
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    {
        // Keep what else the file holds (other sections, comments): a file
        // that is there but cannot be read is not replaced.
        QFile file(m_fileName);
        if (file.exists()) {
            if (!file.open(QIODevice::ReadOnly))
                return cannotWrite(QStringLiteral("прежний файл не читается (") + file.errorString() + QStringLiteral(")."));
            QByteArray data = file.readAll();
            prepareFile(data); // the encoding is the one read: m_encoding
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
        case Kind::Password:
            value = storedText(k, this->*std::get<QString Settings::*>(k.field), m_encoding);
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
    // The encoding stays what it was decided to be, whatever text the file
    // gets later: the byte order mark, or the marker line.
    if (m_encoding == Encoding::Utf8Bom)
        bytes.prepend(Bom);
    else
        bytes.prepend((m_encoding == Encoding::Utf8 ? MarkerUtf8 : MarkerCp1251) + "\r\n");

    // The whole file goes to a temporary file beside it, made its owner's
    // alone before a byte is written, and is renamed over the old one only
    // when complete; on failure the temporary file is removed. Unbuffered:
    // QSaveFile commits a buffered file even when writing out its buffer
    // fell short (a full disk), so every write is checked here instead.
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return cannotWrite(file.errorString() + QLatin1Char('.'));
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return cannotWrite(QStringLiteral("не удается сделать его доступным только владельцу (") + file.errorString()
                           + QStringLiteral(")."));
    // A short write is retried for the rest, which then fails with its reason.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return cannotWrite(file.errorString() + QLatin1Char('.'));
        done += n;
    }
    if (!file.commit())
        return cannotWrite(file.errorString() + QLatin1Char('.'));
    return true;
}
