#pragma once

#include <QString>
#include <exception>
#include <string>

// A failure that ends the current step of work. Its text is what the operator
// sees: in the log, or in the general error handler's box.
class KorvinaError : public std::exception {
public:
    explicit KorvinaError(QString message) : m_message(std::move(message)), m_utf8(m_message.toStdString()) {}
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.c_str(); }

private:
    QString m_message;
    std::string m_utf8;
};

// The text of any failure caught by a guarded block.
QString failureText(const std::exception &e);
