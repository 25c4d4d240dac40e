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

    // Opens the file for appending, creating it when missing, and makes it
    // readable and writable by its owner only. False with a reason when it
    // can be neither opened nor created.
    bool open(const QString &fileName, QString *error = nullptr);
    // Writes what is still unwritten and closes the file.
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString fileName() const { return m_file.fileName(); }

    // The line format: date, blank, time, blank, text. A text holding line
    // breaks continues on further lines without date and time.
    void AddLog(const QString &text);
    // Appends every line not yet in the file. A failed write (a full disk)
    // never throws: the lines are kept and the next call writes them, after
    // what already reached the file, so no line is lost or written twice.
    // False while the file cannot be written; writeFailed() tells why.
    bool FlushLog();
    // The reason the last write failed; empty once writing works again.
    const QString &writeFailure() const { return m_failure; }

    // The lines on screen: the last MaxScreenLines or so (the file keeps
    // every line). LoggedLines counts those of them already in the file.
    const QStringList &lines() const { return m_lines; }
    int LoggedLines() const { return m_loggedLines; }
    static constexpr int MaxScreenLines = 10000;

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
    // The file could not be written (once per distinct reason), and later
    // could again.
    void writeFailed(const QString &error);
    void writeRecovered();

private:
    QFile m_file;
    QStringList m_lines;
    int m_loggedLines = 0;   // lines wholly in the file
    QByteArray m_partial;     // the rest of line m_loggedLines, cut short by a failed write
    QString m_failure;
    QLocale m_locale;
    std::function<QDateTime()> m_clock;
    qint64 m_stampSecond = 0;
    QString m_stampText;
};

// Shorthands for OperationLog::current(); without a current log they do nothing.
void AddLog(const QString &text);
void FlushLog();
