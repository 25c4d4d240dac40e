#pragma once

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QObject>
#include <QStringList>

// The operation log: every step of the robot and every failure is one entry.
// AddLog puts the entry on screen (the in-memory log view), FlushLog appends
// the entries not yet written to the log file, in Windows-1251 with CR LF.
class OperationLog : public QObject {
    Q_OBJECT
public:
    explicit OperationLog(QObject *parent = nullptr);
    ~OperationLog() override;

    static constexpr const char *DefaultFileName = "Korvina.log";

    // Opens the file for appending, creating it when missing. False with a
    // reason when it can be neither opened nor created.
    bool open(const QString &fileName, QString *error = nullptr);
    // Writes what is still unwritten and closes the file.
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString fileName() const { return m_file.fileName(); }

    // The line format: date, blank, time, blank, text. A text holding line
    // breaks continues on further lines without date and time.
    void AddLog(const QString &text);
    // Appends every line from LoggedLines on; throws KorvinaError when the
    // write fails, keeping LoggedLines so the next call starts again there.
    void FlushLog();

    const QStringList &lines() const { return m_lines; }
    int LoggedLines() const { return m_loggedLines; }

    // Numbers and dates follow this locale (the user's by default).
    void setLocale(const QLocale &locale)
    {
        m_locale = locale;
        m_stampText.clear();
    }
    const QLocale &locale() const { return m_locale; }
    // Tests pin the clock.
    void setClock(std::function<QDateTime()> clock)
    {
        m_clock = std::move(clock);
        m_stampText.clear();
    }

    QString timestamp(const QDateTime &when) const;

    // The log the free AddLog/FlushLog write to.
    static OperationLog *current();
    static void setCurrent(OperationLog *log);

signals:
    // One screen line (continuation lines come as lines of their own).
    void lineAdded(const QString &line);

private:
    QFile m_file;
    QStringList m_lines;
    int m_loggedLines = 0;
    QLocale m_locale;
    std::function<QDateTime()> m_clock;
    qint64 m_stampSecond = 0;
    QString m_stampText;
};

// Shorthands for OperationLog::current(); without a current log they do nothing.
void AddLog(const QString &text);
void FlushLog();
