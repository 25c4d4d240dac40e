#pragma once

#include <QString>

// Another program holding a database's write lock (readers go on), until
// released or gone.
class DatabaseHolder {
public:
    explicit DatabaseHolder(const QString &path);
    ~DatabaseHolder();
    DatabaseHolder(const DatabaseHolder &) = delete;
    DatabaseHolder &operator=(const DatabaseHolder &) = delete;
    void release();

private:
    QString m_name;
    bool m_released = false;
};
