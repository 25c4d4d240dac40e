#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QPointer>

namespace Dialogs {

namespace {

Responder g_responder;
QList<Request> g_asked;
QList<QPointer<QMessageBox>> g_errors;

QString titleOr(const QString &title) { return title.isEmpty() ? QStringLiteral("Korvina") : title; }

bool answered(Kind kind, const QString &title, const QString &text, Answer *answer)
{
    if (!g_responder)
        return false;
    const Request r{kind, title, text};
    g_asked.append(r);
    *answer = g_responder(r);
    return true;
}

} // namespace

void setResponder(Responder responder)
{
    g_responder = std::move(responder);
    g_asked.clear();
}

const QList<Request> &asked() { return g_asked; }

void information(QWidget *parent, const QString &text, const QString &title)
{
    Answer a;
    if (answered(Kind::Information, titleOr(title), text, &a))
        return;
    QMessageBox::information(parent, titleOr(title), text);
}

void warning(QWidget *parent, const QString &text, const QString &title)
{
    Answer a;
    if (answered(Kind::Warning, titleOr(title), text, &a))
        return;
    QMessageBox::warning(parent, titleOr(title), text);
}

bool question(QWidget *parent, const QString &text, const QString &title)
{
    Answer a;
    if (answered(Kind::Question, titleOr(title), text, &a))
        return a.button == QMessageBox::Yes;
    return QMessageBox::question(parent, titleOr(title), text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void error(QWidget *parent, const QString &text)
{
    g_errors.removeAll(nullptr);
    for (const QPointer<QMessageBox> &box : std::as_const(g_errors))
        if (box && box->text() == text)
            return; // the same failure again: its box is still open
    Answer a;
    if (answered(Kind::Error, titleOr(QString()), text, &a))
        return;
    auto *box = new QMessageBox(QMessageBox::Critical, titleOr(QString()), text, QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("errorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    g_errors.append(box);
    // open(), not exec(): no event loop of its own inside the caller.
    box->open();
}

int openErrors()
{
    g_errors.removeAll(nullptr);
    return g_errors.size();
}

QString openFileName(QWidget *parent, const QString &caption, const QString &folder, const QString &filter)
{
    Answer a;
    if (answered(Kind::OpenFile, caption, folder, &a))
        return a.path;
    return QFileDialog::getOpenFileName(parent, caption, folder, filter);
}

QString existingFolder(QWidget *parent, const QString &caption, const QString &folder)
{
    Answer a;
    if (answered(Kind::Folder, caption, folder, &a))
        return a.path;
    return QFileDialog::getExistingDirectory(parent, caption, folder);
}

QString saveFileName(QWidget *parent, const QString &caption, const QString &path, const QString &filter)
{
    Answer a;
    if (answered(Kind::SaveFile, caption, path, &a))
        return a.path;
    return QFileDialog::getSaveFileName(parent, caption, path, filter);
}

} // namespace Dialogs
