#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// The terminal's side of one transaction file set: the import file that the
// robot appends transaction lines to, and the result lines written back.
namespace termsim {

// Follows an import file that another process appends to. Every call hands
// out the lines completed since the previous call, each once; a last line
// whose line end has not arrived yet waits for a later call. A file that is
// deleted, recreated or cut shorter is read again from its new start.
class ImportFollower {
public:
    explicit ImportFollower(QString path) : m_path(std::move(path)) {}

    // The new complete lines, without their line ends (CR LF; a lone LF is
    // taken as a line end too). *restarted is set when the file was found
    // replaced or truncated since the previous call: what was handed out
    // before belongs to the old file.
    QList<QByteArray> poll(bool *restarted, QString *error);

    const QString &path() const { return m_path; }
    qint64 offset() const { return m_offset; }

private:
    QString m_path;
    bool m_seen = false;
    QByteArray m_identity;
    qint64 m_offset = 0;
};

// Identity of the file behind a path: it changes when the file is replaced
// by a new one of the same name. Empty when the file does not exist.
QByteArray fileIdentity(const QString &path);

// The items of a transaction line: every item ends with ";" and is a key, "="
// and a value. Keys are trimmed and upper-cased (so "TRANS_ID =" and
// "Order_key=" give "TRANS_ID" and "ORDER_KEY"), values trimmed. Text after
// the last ";" counts as an item too. A later key wins over an earlier one.
QMap<QString, QString> parseItems(const QString &line);

// One result of a transaction, as the result file carries it.
struct Result {
    qint64 transId = 0;
    int status = 0;
    QString transName;
    QString description;
    qint64 orderNumber = 0;
};

// Result statuses the terminal writes.
enum Status : int {
    Sent = 0,          // passed to the broker's server
    Executed = 3,      // executed
    CheckFailed = 5,   // refused by the terminal's own check
    LimitsFailed = 6,  // refused by the server's limit check
};

// The result line, Windows-1251, ended by CR LF:
//   TRANS_ID=<n>;STATUS=<n>;TRANS_NAME="<text>";DESCRIPTION="<text>";ORDER_NUMBER=<n>;
// Characters that would end an item (";" "=") or the quotes ('"') are
// replaced in the two texts.
QByteArray resultLine(const Result &r);

// A number of a transaction line, with "." or "," as decimal separator.
bool parseNumber(const QString &text, double *value);

} // namespace termsim
