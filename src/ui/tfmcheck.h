#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;
class Settings;

// "Проверка подключения": the self-check before going live, one row per
// look with its result, what was found and what to do. The check runs off
// the window's thread (the mail server may take seconds to answer), so the
// robot's ticks go on meanwhile; the window shows that it is running.
class TfmCheck : public QDialog {
    Q_OBJECT
public:
    explicit TfmCheck(Settings &settings, QWidget *parent = nullptr);

    // Checks again with the settings as they are now; the rows of the last
    // check stay until the new ones come.
    void runCheck();
    bool running() const { return m_running; }

signals:
    // A check has ended and its rows are shown.
    void checked();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    Settings &m_settings;
    QLabel *m_summary;
    QTableWidget *m_lines;
    QPushButton *m_again;
    bool m_running = false;
};
