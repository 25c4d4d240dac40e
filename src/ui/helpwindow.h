#pragma once

#include <QWidget>

class QTextBrowser;

// The user's guide: HTML topics compiled into the program (":/help/"),
// opened by name ("index" is the contents, "settings" the settings...).
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget *parent = nullptr);
    void showTopic(const QString &topic);
    // The topic shown, by name.
    QString topic() const;
    QTextBrowser *browser() const { return m_browser; }

private:
    QTextBrowser *m_browser;
};
