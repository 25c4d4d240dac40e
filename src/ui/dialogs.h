#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Every message box and file dialog of the program goes through here, so
// that a test can answer them instead of an operator (and no test ever
// hangs on a modal box).
namespace Dialogs {

enum class Kind { Information, Warning, Error, Question, OpenFile, SaveFile, Folder };

// What was asked: the kind, the title, the text (for a file dialog, its
// caption in `title` and the starting folder in `text`).
struct Request {
    Kind kind;
    QString title;
    QString text;
};

// A test's answer to a request: the button pressed (message boxes) or the
// path chosen, empty for Cancel (file dialogs).
struct Answer {
    QMessageBox::StandardButton button = QMessageBox::Ok;
    QString path;
};
using Responder = std::function<Answer(const Request &)>;

// From now on requests are answered by `responder` (and recorded) instead
// of being shown; an empty responder shows them again.
void setResponder(Responder responder);
// The requests answered by the responder since it was set, in order.
const QList<Request> &asked();

// A box with an OK button, shown until the operator closes it.
void information(QWidget *parent, const QString &text, const QString &title = QString());
void warning(QWidget *parent, const QString &text, const QString &title = QString());
// Yes/No; true for Yes.
bool question(QWidget *parent, const QString &text, const QString &title = QString());

// The general error handler's box: shown without blocking the caller (a
// timer's tick that failed returns at once and the next tick runs while the
// box is open), and not shown again while a box with the same text is open.
void error(QWidget *parent, const QString &text);
// Error boxes open now.
int openErrors();

QString openFileName(QWidget *parent, const QString &caption, const QString &folder = QString(), const QString &filter = QString());
QString existingFolder(QWidget *parent, const QString &caption, const QString &folder = QString());
// A file to write: `path` is where the dialog starts (a folder, or a folder
// and a proposed name); the path chosen, empty for Cancel. A file that
// exists is asked about by the dialog.
QString saveFileName(QWidget *parent, const QString &caption, const QString &path = QString(), const QString &filter = QString());

} // namespace Dialogs
