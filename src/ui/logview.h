#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;

// The log page: the log's lines as they come, long lines wrapped, and a
// search box over them. The view follows the newest line unless the
// operator has scrolled up; it then stays where the operator is until the
// operator scrolls back to the end.
class LogView : public QWidget {
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);

    QPlainTextEdit *memo() const { return m_memo; }
    QLineEdit *searchBox() const { return m_search; }

    // One line of the log (a line with line breaks continues on the next
    // lines).
    void appendLine(const QString &line);
    // Whether the view follows the newest line.
    bool following() const { return m_follow; }

    // Marks every match of the search box's text (letter case ignored) and
    // moves to the next one after the current one, from the top after the
    // last. False when there is none.
    bool findNext();
    // The matches marked now.
    int matchCount() const { return m_matches; }

private:
    void markMatches();
    void scrolled();

    QPlainTextEdit *m_memo;
    QLineEdit *m_search;
    QLabel *m_found;
    QTimer *m_remark;
    bool m_follow = true;
    bool m_appending = false;
    int m_matches = 0;
};
