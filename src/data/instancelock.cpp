#include "instancelock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

namespace {

// The byte the lock is taken on: far beyond any database's data, and beyond
// the ranges Access and SQLite lock for their own use.
constexpr qint64 LockOffset = 0x7FFFFFFF00000000LL;

QString whoIsNamedIn(const QString &infoPath)
{
    QLockFile info(infoPath);
    qint64 pid = 0;
    QString host, application;
    if (!info.getLockInfo(&pid, &host, &application))
        return QString();
    return QStringLiteral("процесс ") + QString::number(pid) + QStringLiteral(" на компьютере ") + host;
}

// The robot named beside the database; for a file reached through a hard
// link, beside the name of the same file in its folder that has one.
QString whoHolds(const QString &path)
{
    const QString who = whoIsNamedIn(InstanceLock::infoPath(path));
    if (!who.isEmpty())
        return who;
#ifndef Q_OS_WIN
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) != 0)
        return QString();
    const QDir folder = QFileInfo(path).dir();
    for (const QString &name : folder.entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden)) {
        const QString base = folder.filePath(name.chopped(5));
        struct stat st {};
        if (::stat(QFile::encodeName(base).constData(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return whoIsNamedIn(folder.filePath(name));
    }
#endif
    return QString();
}

#ifndef Q_OS_WIN
// Descriptors of database files that once held a lock: kept open (closing
// one would drop the database connections' own locks on the file) and used
// again for the same file.
struct Retired {
    int fd;
    quint64 device, inode;
};
std::vector<Retired> &retired()
{
    static std::vector<Retired> list;
    return list;
}

int takeRetired(quint64 device, quint64 inode)
{
    auto &list = retired();
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->device == device && it->inode == inode) {
            const int fd = it->fd;
            list.erase(it);
            return fd;
        }
    return -1;
}

// An exclusive lock on one byte, bound to the open file (not to the
// process): two robots of one process meet it too. Where the system lacks
// such locks, a whole-file lock does the same.
int lockByte(int fd, bool lock)
{
#ifdef F_OFD_SETLK
    struct flock fl {};
    fl.l_type = lock ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = LockOffset;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0)
        return 0;
    if (errno != EINVAL)
        return -1;
#endif
    return ::flock(fd, lock ? LOCK_EX | LOCK_NB : LOCK_UN);
}
#endif

} // namespace

InstanceLock::InstanceLock() = default;

InstanceLock::~InstanceLock() { release(); }

InstanceLock::Result InstanceLock::acquire(const QString &databasePath)
{
    // The file itself, whatever link named it: the file beside is beside it.
    const QFileInfo named(databasePath);
    const QString path = named.canonicalFilePath().isEmpty() ? named.absoluteFilePath() : named.canonicalFilePath();
#ifdef Q_OS_WIN
    if (m_held && path == m_path)
        return Result::Held;
#else
    {
        struct stat st {};
        if (m_held && ::stat(QFile::encodeName(path).constData(), &st) == 0 && static_cast<quint64>(st.st_dev) == m_device
            && static_cast<quint64>(st.st_ino) == m_inode)
            return Result::Held;
    }
#endif
    release();
    m_path = path;
    m_error.clear();
    m_holder.clear();
    m_infoError.clear();
#ifdef Q_OS_WIN
    HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_error = QStringLiteral("файл не открывается (код ошибки ") + QString::number(::GetLastError()) + QStringLiteral(")");
        return Result::Failed;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(LockOffset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(LockOffset >> 32);
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(h);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
            m_holder = whoHolds(path);
            return Result::HeldByOther;
        }
        m_error = QStringLiteral("блокировка не устанавливается (код ошибки ") + QString::number(code) + QStringLiteral(")");
        return Result::Failed;
    }
    m_handle = h;
#else
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return Result::Failed;
    }
    int fd = takeRetired(st.st_dev, st.st_ino);
    if (fd < 0)
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        m_error = QStringLiteral("файл не открывается для записи: ") + QString::fromLocal8Bit(std::strerror(errno));
        return Result::Failed;
    }
    if (lockByte(fd, true) != 0) {
        const int code = errno;
        retired().push_back({fd, static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino)});
        if (code == EAGAIN || code == EACCES || code == EWOULDBLOCK) {
            m_holder = whoHolds(path);
            return Result::HeldByOther;
        }
        m_error = QStringLiteral("блокировка не устанавливается: ") + QString::fromLocal8Bit(std::strerror(code));
        return Result::Failed;
    }
    m_fd = fd;
    m_device = st.st_dev;
    m_inode = st.st_ino;
#endif
    m_held = true;
    writeInfo();
    return Result::Held;
}

bool InstanceLock::writeInfo()
{
    // The lock is ours: whatever the file beside says is left over from a
    // robot that is gone. (A file of ours deleted by someone else is put
    // back for a moment, so that letting it go removes something.)
    const QString info = infoPath(m_path);
    if (m_info && !QFileInfo::exists(info)) {
        QFile placeholder(info);
        placeholder.open(QIODevice::WriteOnly);
    }
    m_info.reset();
    QFile::remove(info);
    auto file = std::make_unique<QLockFile>(info);
    file->setStaleLockTime(0);
    if (!file->tryLock(0)) {
        switch (file->error()) {
        case QLockFile::PermissionError:
            m_infoError = QStringLiteral("нет прав на создание файла");
            break;
        case QLockFile::LockFailedError:
            m_infoError = QStringLiteral("файл занят");
            break;
        default:
            m_infoError = QStringLiteral("файл не создается");
            break;
        }
        return false;
    }
    // It names this machine and its boot: for its owner's eyes only.
    QFile::setPermissions(info, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_infoError.clear();
    m_info = std::move(file);
    return true;
}

void InstanceLock::release()
{
    if (!m_held)
        return;
    m_held = false;
    m_info.reset(); // removes the file beside
#ifdef Q_OS_WIN
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(LockOffset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(LockOffset >> 32);
    ::UnlockFileEx(static_cast<HANDLE>(m_handle), 0, 1, 0, &at);
    ::CloseHandle(static_cast<HANDLE>(m_handle));
    m_handle = nullptr;
#else
    lockByte(m_fd, false);
    retired().push_back({m_fd, m_device, m_inode});
    m_fd = -1;
#endif
}

QString InstanceLock::check(bool *remade)
{
    if (remade)
        *remade = false;
    if (!m_held)
        return QString();
#ifndef Q_OS_WIN
    // The path still names the file that is locked.
    struct stat st {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return QStringLiteral("файл базы данных ") + m_path + QStringLiteral(" не найден");
    if (static_cast<quint64>(st.st_dev) != m_device || static_cast<quint64>(st.st_ino) != m_inode)
        return QStringLiteral("файл базы данных ") + m_path + QStringLiteral(" заменен другим файлом");
#endif
    // The file beside names this robot.
    const QString info = infoPath(m_path);
    QLockFile reader(info);
    qint64 pid = 0;
    QString host, application;
    if (!reader.getLockInfo(&pid, &host, &application)) {
        // Deleted or emptied: made again, so another robot can tell who has
        // the lock.
        const bool made = writeInfo();
        if (remade)
            *remade = made;
        return QString();
    }
    if (pid != QCoreApplication::applicationPid() || host != QSysInfo::machineHostName())
        return QStringLiteral("файл блокировки ") + info + QStringLiteral(" называет другой робот (процесс ") + QString::number(pid)
            + QStringLiteral(" на компьютере ") + host + QStringLiteral(")");
    return QString();
}
