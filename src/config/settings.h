#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <optional>

// Whom the robot trades for: the one account of the settings (SINGLE), or
// the clients of the terminals listed in QuikData (MULTI). The settings
// file and the options dialog keep it as 0 and 1.
enum class AccountMode { Single = 0, Multi = 1 };
// The kind of trading terminal the transactions go to (0 and 1 in the file).
enum class TerminalKind { Quik = 0, SmartTrade = 1 };

// Every setting of the robot, in memory. The options dialog edits this
// object; the rest of the program reads its fields. The fields bear the
// names of the dialog's controls that edit them.
class Settings : public QObject {
    Q_OBJECT
public:
    explicit Settings(QObject *parent = nullptr);

    // [Position]
    int rgpPositionSize = 0;      // PositionSize: 0 quantity from the strategy, 1 fixed sum, 2 share of account, 3 sum per security, 4 share per security
    double edtFixVol = 30000;     // FixVol; NaN when the stored text is no number
    double edtPart = 20;          // Part; NaN when the stored text is no number
    int rgpFilled = 1;            // always 1: market orders from FilledOrders
    bool chExitQty = true;        // ExitQty
    bool chKillOrder = false;     // KillOrder
    int rgpSingleMulti = 0;       // 0 SINGLE, 1 MULTI (accountMode())
    int rgpTerminal = 0;          // 0 QUIK, 1 SmartTrade (terminalKind())
    AccountMode accountMode() const { return rgpSingleMulti == 1 ? AccountMode::Multi : AccountMode::Single; }
    TerminalKind terminalKind() const { return rgpTerminal == 1 ? TerminalKind::SmartTrade : TerminalKind::Quik; }
    int edtTrans_id = 0;          // trans_id
    bool chAutoPortfolio = false; // AutoPortfolio
    int edtIntTable = 1;          // intTable, seconds
    int edtIntQuik = 1;           // intQuik, seconds
    // ResumeWindow, seconds: a robot that ended without a clean stop at most
    // this long ago goes on, when it watches again, from the alert row it had
    // reached; 0 always starts from the table's last row.
    int edtResumeWindow = 60;
    // InstantIntake: a change of the strategy platform's database or of a
    // terminal's result file is taken at once, not at the next tick (the
    // ticks go on as well).
    bool chInstantIntake = true;
    // Standby: on a PostgreSQL QuikData held by another robot, wait and take
    // over when it frees instead of staying locked out.
    bool chStandby = false;
    // MaxLots: the most lots one transaction may carry; a larger one is
    // refused (logged). 0: no limit.
    int edtMaxLots = 1000000;
    // ReconcileAfter, seconds: a difference between the robot's book and a
    // terminal's balance that lasts this long is logged (and mailed with
    // SendReconcile) when it appears and when it clears.
    int edtReconcileAfter = 30;

    // [Quik]
    QString edtdirTT;             // dirTT
    QString edtInfoLog;           // pathInfoLog
    QString edtAccountMicex;      // AccountMicex
    QString edtAccountFORTS;      // AccountFORTS
    int edtQuikConnectTimeOut = 60;
    QString edtCode;              // Code
    QString edtAlerts;            // Alerts
    QString edtQuikData;          // QuikData
    bool chConnect = false;       // Connect
    bool chQuikConnect = false;   // QuikConnect
    QString edtDirSmartTrade;     // DirSmartTrade

    // [Trading]
    int cboGroup = -1;            // id_group
    double edtVol1 = 30, edtVol2 = 20, edtVol3 = 10;
    double edtPart1 = 100, edtPart2 = 50, edtPart3 = 33;
    double edtSlippage = 0.20;    // slippage
    double edtSet = 20;           // set

    // [Mail]
    QString edtSMTP;
    int edtPort = 25;
    QString edtUser;
    QString edtPassword;          // in memory in clear; stored shifted
    bool chAuten = false;
    QString edtFromName;
    QString edtFromAddress;
    QString edtEmail1;
    QString edtEmail2;
    bool chSendTrans_Id = false;
    bool chSendTrans_done = false;
    bool chSendQuikConnect = false;
    // AllowPlainAuth: the user name and password may go to a mail server
    // that offers no encryption (STARTTLS); off, such a server gets no login
    // and no message.
    bool chAllowPlainAuth = false;
    // SoundOnRefusal: the window sounds at every result check that finds a
    // transaction the terminal refused.
    bool chSoundOnRefusal = true;
    // SendReconcile: the differences of the reconciliation are mailed too.
    bool chSendReconcile = false;
    // ReportAt: the time of day ("HH:MM") the day's report is mailed; empty: never.
    QString edtReportAt;

    // [About]: the mail and web addresses the about box links to; an empty
    // one shows no link.
    QString aboutMail;            // Mail
    QString aboutWeb;             // Web

    // The program's folder with a trailing separator.
    QString ProgramDir;
    // The settings file: ProgramDir + "Korvina.ini" unless set otherwise.
    QString fileName() const { return m_fileName; }
    void setFileName(const QString &fileName) { m_fileName = fileName; }

    // How the settings file is written. Decided by the file itself, never by
    // the text in it: a UTF-8 byte order mark, or the marker line every save
    // writes first ("; Korvina: charset=utf-8" or "charset=windows-1251").
    // A file with neither, never saved by this version, is read as it always
    // was (UTF-8 when every line but the password's is valid UTF-8 and some
    // hold non-ASCII text, else Windows-1251) and gets its marker at the
    // next save; a missing file is Windows-1251.
    enum class Encoding { Cp1251, Utf8, Utf8Bom };
    Encoding encoding() const { return m_encoding; }
    // What a check of entries before they are saved assumes of the file.
    void setEncoding(Encoding encoding) { m_encoding = encoding; }

    // Puts every field back to its default.
    void resetToDefaults();
    // Reads every key in table order; a missing key gives its default, a
    // value that does not convert gives the default and one log line. Three
    // keys have no safe default, since they size orders or number them:
    // FixVol and Part then read as NaN and trans_id as unreadable, and what
    // uses them refuses to work (unreadableValue gives the stored text).
    void LoadSettings();
    // After LoadSettings: the file is there but holds not one key of the
    // table (an empty or foreign file), so every setting is a default. The
    // text names the file; empty when the file was missing or had a key.
    QString noSettingFound() const { return m_noSettingFound; }
    // After LoadSettings: the file can be read by others than its owner
    // (it holds the mail password); the warning logged, empty when it cannot.
    QString exposedWarning() const { return m_exposedWarning; }

    // The longest client code and trading account the terminals take.
    static constexpr int MaxCodeLength = 20;

    // The stored text of a key that did not convert and took no default
    // ("FixVol", "Part", "trans_id"); a null string when it is readable.
    QString unreadableValue(const QString &key) const { return m_unreadable.value(key); }
    void clearUnreadable(const QString &key) { m_unreadable.remove(key); }

    // Whether a file can serve as the settings file: it exists, is a file,
    // can be read and holds text. False with a reason otherwise.
    static bool checkFile(const QString &fileName, QString *error);
    // A setting the settings file cannot hold exactly: the objectName of the
    // options dialog's control that edits it, and a message for the operator
    // naming the field by its label and showing the characters at fault.
    struct Problem {
        QString control;
        QString message;
    };
    // The first text setting, in key order, that cannot be stored or cannot
    // be what it names: characters the file's encoding cannot hold
    // (Windows-1251 unless the file is UTF-8), a control character (a line
    // break, a tab, a zero...) in any text, a client code or account longer
    // than MaxCodeLength, a password character that its shifted form turns
    // into a zero byte (the password would be cut there: "ю" is stored as
    // 0x00).
    std::optional<Problem> checkWritable() const;

    // Writes every key, keeping the file's other sections and comments: the
    // whole file goes to a temporary file in the same folder, which then
    // replaces the old one, so a failure never leaves a file cut short. The
    // file is readable and writable by its owner only, whatever it was.
    // False with a message in *error when checkWritable() reports a problem,
    // when the old file exists but cannot be read, or when the file cannot
    // be written; the old file is then as it was.
    bool SaveSettings(QString *error = nullptr);

    // Every character code raised (saving) or lowered (loading) by 2, modulo 256.
    static QByteArray ShiftPassword(const QByteArray &text, bool saving);

    // The defaults of the folders and files on this platform.
    static QString defaultDirTT();
    static QString defaultInfoLog();
    static QString defaultAlerts();
    static QString defaultQuikData();
    static QString defaultDirSmartTrade();

signals:
    // LoadSettings has run: timer periods may have changed.
    void loaded();

private:
    QString m_fileName;
    Encoding m_encoding = Encoding::Cp1251;
    QString m_noSettingFound;
    QString m_exposedWarning;
    QHash<QString, QString> m_unreadable;
};
