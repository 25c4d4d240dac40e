#pragma once

#include <QDialog>
#include <QHash>
#include <QPointer>

#include <functional>

class DataGrid;
class NavigatorBar;
class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class MailOutcome;
class QLabel;
class Robot;
class Settings;
class TDatMod;

// The options dialog: the settings on six pages, and the four QuikData
// tables edited in place (securities directory, watched workspaces and
// strategies, terminals). The settings object stays the home of the
// settings: the dialog shows it when opened and writes it back on OK; the
// rest of the program reads the settings object, never these controls.
class TfmOpt : public QDialog {
    Q_OBJECT
public:
    // The result of an OK whose entries did not pass the check: the dialog
    // is shown again at once with the entries kept.
    static constexpr int Retry = 2;

    TfmOpt(Settings &settings, TDatMod &data, Robot &robot, QWidget *parent = nullptr);

    // The command "Настройки": shows the dialog until it is confirmed or
    // cancelled. True when the settings were saved.
    bool execOpt();

    // The mode shown when the dialog was opened, and whether a terminal row
    // changed since.
    int ShownMode = 0;
    bool QuikListChanged = false;

    // The footer of the directory grid, from the data module's totals.
    void UpdateSumList();
    // The path button of the terminal grid: the folder of the program file
    // chosen becomes the current terminal row's path.
    void choosePath();

    DataGrid *grid(const QString &name) const;
    NavigatorBar *navigator(const QString &name) const;

signals:
    // "&Справка": the user's guide at a topic.
    void helpRequested(const QString &topic);
    // The button bound to the main window's "Подключиться", pressed with
    // entries that passed the OK check and are now the settings in memory.
    void connectRequested();

public slots:
    void accept() override;
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *createGeneralPage();
    QWidget *createTerminalsPage();
    QWidget *createTradingPage();
    QWidget *createMessagesPage();
    QWidget *createInstrumentsPage();
    QWidget *createFiltersPage();

    QLineEdit *edit(const char *name);
    QCheckBox *check(const char *name, const QString &caption);
    QGroupBox *radioGroup(const char *name, const QString &caption, const QStringList &items, QButtonGroup **group);
    QWidget *pathEdit(QLineEdit *edit, bool folder, const QString &caption);

    // settings -> controls, controls -> settings
    void fillControls();
    void applyControls();
    // The check on OK: the first entry that cannot be stored, named by its
    // caption with what it takes, and the focus on it.
    bool checkEntries();
    QString caption(QWidget *entry) const;
    void focusEntry(QWidget *entry);
    // Puts the mail page's entries into the settings (the mail buttons use
    // them at once, as typed).
    void applyMail();
    // Runs one of the mail buttons' exchanges and shows what came of it.
    void tryMail(const std::function<MailOutcome()> &exchange, bool message = false);
    // The standby box is for a QuikData on a server only.
    void updateStandby();
    void postTables();
    void cancelTables();
    void cboGroupExit();

    Settings &m_settings;
    TDatMod &m_data;
    Robot &m_robot;
    QPointer<QWidget> m_focusNext;

public:
    // Controls, by their names.
    QTabWidget *pcOpt = nullptr;
    QButtonGroup *rgpPositionSize = nullptr, *rgpFilled = nullptr, *rgpSingleMulti = nullptr, *rgpTerminal = nullptr;
    QLineEdit *edtFixVol = nullptr, *edtPart = nullptr, *edtTrans_id = nullptr, *edtIntTable = nullptr, *edtIntQuik = nullptr,
              *edtdirTT = nullptr, *edtInfoLog = nullptr, *edtDirSmartTrade = nullptr, *edtAccountMicex = nullptr,
              *edtAccountFORTS = nullptr, *edtCode = nullptr, *edtQuikConnectTimeOut = nullptr, *edtAlerts = nullptr,
              *edtQuikData = nullptr, *edtVol1 = nullptr, *edtVol2 = nullptr, *edtVol3 = nullptr, *edtPart1 = nullptr,
              *edtPart2 = nullptr, *edtPart3 = nullptr, *edtSet = nullptr, *edtSlippage = nullptr, *edtSMTP = nullptr,
              *edtPort = nullptr, *edtUser = nullptr, *edtPassword = nullptr, *edtFromName = nullptr, *edtFromAddress = nullptr,
              *edtEmail1 = nullptr, *edtEmail2 = nullptr, *edtMsg = nullptr;
    QCheckBox *chExitQty = nullptr, *chKillOrder = nullptr, *chAutoPortfolio = nullptr, *chQuikConnect = nullptr,
              *chConnect = nullptr, *chAuten = nullptr, *chSendTrans_Id = nullptr, *chSendTrans_done = nullptr,
              *chSendQuikConnect = nullptr, *chSoundOnRefusal = nullptr, *chAllowPlainAuth = nullptr, *chStandby = nullptr;
    // What the last of the mail buttons came to.
    QLabel *lblMailResult = nullptr;
    QComboBox *cboGroup = nullptr;
    QPushButton *btCreateTables = nullptr, *btConnectToBase = nullptr, *btSmtpConnect = nullptr, *btSmtpDisconnect = nullptr,
                *btTest = nullptr, *btHelp = nullptr, *btOK = nullptr, *btCancel = nullptr;

private:
    QHash<QString, DataGrid *> m_grids;
    QHash<QString, NavigatorBar *> m_navigators;
};
