#pragma once

#include <QString>
#include <exception>
#include <string>

// A failure that ends the current step of work. Its text is what the operator
// sees: in the log, or in the general error handler's box.
//
// A transient failure is one that may well be gone a moment later without
// anybody doing anything: a database locked by another program, a full disk,
// a connection that is down. Work that failed that way is tried again instead
// of being given up.
class KorvinaError : public std::exception {
public:
    enum class Kind { Permanent, Transient };

    explicit KorvinaError(QString message, Kind kind = Kind::Permanent)
        : m_message(std::move(message)), m_utf8(m_message.toStdString()), m_kind(kind)
    {
    }
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.c_str(); }
    bool transient() const noexcept { return m_kind == Kind::Transient; }

private:
    QString m_message;
    std::string m_utf8;
    Kind m_kind;
};

// The text of any failure caught by a guarded block.
QString failureText(const std::exception &e);
// Whether a caught failure is transient (see KorvinaError).
bool isTransient(const std::exception &e);
