#pragma once

#include <QString>

#include <memory>

class QLockFile;

// One robot per database. The lock is held by the operating system on the
// database file itself: a byte range far beyond any data (no database
// engine locks there), taken exclusively through the open file. Every path
// that names the file (a symbolic or hard link, another spelling of the
// folder) meets the same lock, nothing deleted or emptied beside the file
// takes it away, and it goes with the process, however the process ends.
//
// Beside the database, "<database>.lock" names the robot that holds the
// lock (process and computer), so that another robot can say who has it.
// That file only tells; it does not lock. It is readable by its owner only.
//
// The descriptor that holds the lock is never closed while the process
// runs: on Unix, closing any descriptor of a file drops every lock the
// process's database connections hold on it.
class InstanceLock {
public:
    enum class Result { Held, HeldByOther, Failed };

    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Takes the lock on the database file (already held for the same file,
    // by whatever name: Held at once).
    Result acquire(const QString &databasePath);
    void release();
    bool held() const { return m_held; }
    // The locked file's own path (links resolved).
    const QString &databasePath() const { return m_path; }
    // Why the last acquire failed (Failed).
    const QString &error() const { return m_error; }
    // Who holds it (HeldByOther): "процесс N на компьютере H", empty when
    // the file beside the database does not tell.
    const QString &holder() const { return m_holder; }
    // Why the file naming this robot could not be made (Held); empty when
    // it was.
    const QString &infoError() const { return m_infoError; }

    static QString infoPath(const QString &databasePath) { return databasePath + QStringLiteral(".lock"); }

    // Whether the lock still stands for the file the path names now: empty
    // when it does, else what is wrong (the file replaced or gone, another
    // robot named beside it). A file beside that has gone is made again
    // and `remade` set.
    QString check(bool *remade = nullptr);

private:
    bool writeInfo();

    QString m_path;
    bool m_held = false;
    QString m_error, m_holder, m_infoError;
    std::unique_ptr<QLockFile> m_info;
#ifdef Q_OS_WIN
    void *m_handle = nullptr;
#else
    int m_fd = -1;
    quint64 m_device = 0, m_inode = 0;
#endif
};
