#pragma once

#include <QDialog>
#include <QLabel>

// A link in the about box: underlined, navy; blue with the hand pointer
// while the mouse is over it; a click opens its target through the desktop.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    LinkLabel(const QString &text, const QString &target, QWidget *parent = nullptr);
    const QString &target() const { return m_target; }
    void setTarget(const QString &text, const QString &target);
    bool hovered() const { return m_hovered; }

signals:
    void opened(const QString &target);

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void paintAs(bool hovered);
    QString m_target;
    bool m_hovered = false;
};

// The about box: what the program is, its version, and the three
// transaction counters of the status bar.
class TfmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfmAbout(QWidget *parent = nullptr);
    // The counters "TransId/SentCount/DoneCount".
    void setCounters(const QString &text);
    QString counters() const;
    // The addresses the two links lead to (a mail address, a web address);
    // an empty one shows no link.
    void setLinks(const QString &mail, const QString &web);

    // "Версия " and the major number of the program's version.
    static QString versionText();

private:
    QLabel *m_counters;
    LinkLabel *m_mail;
    LinkLabel *m_web;
};
