#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QVector>

#include <memory>

class DataGrid;
class DataSet;
class HelpWindow;
class LogView;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTabWidget;
class Robot;
class Settings;
class TDatMod;
class TfmAbout;
class TfmCheck;
class TfmClients;
class TfmGroup;
class TfmOpt;
class TfmOrder;
class TfmQOrders;

// The operator's main window: toolbar, menus, status bar, the pages with the
// tables of both databases, the tray icon. It owns the robot's core object
// and shows it; every command goes to the core.
class TfmMain : public QMainWindow {
    Q_OBJECT
public:
    // The window shows the robot the application made, and drives it with
    // the operator's commands.
    TfmMain(Settings &settings, TDatMod &data, Robot &robot, QWidget *parent = nullptr);
    ~TfmMain() override;

    Robot &robot() { return m_robot; }
    // The icons of the watching animation (index 0 is also the idle icon).
    const QVector<QIcon> &WatchIcons() const { return m_watchIcons; }
    int shownWatchIcon() const { return m_shownWatchIcon; }

    // Hides the window and its taskbar button, leaving the tray icon; and
    // brings it back in front.
    void HideToTray();
    void RestoreFromTray();

    // Opens the user's guide at a topic ("index" the contents, "settings"...).
    void showHelp(const QString &topic);

    TfmOpt *opt() const { return m_opt; }
    TfmClients *clients() const { return m_clients; }
    TfmGroup *groups() const { return m_group; }
    TfmOrder *order() const { return m_order; }
    TfmQOrders *quickOrders() const { return m_qorders; }

    // Where an operator's order comes from: the new-order and new-stop-order
    // commands (actNewOrderManual, actNewStopOrderManual), the positions
    // grid's double click (grdLimits), the quick orders form (fmQOrders).
    enum class OrderSender { NewOrderCommand, NewStopOrderCommand, PositionsGrid, QuickOrders };
    // The operator's orders; the order dialog's caption tells which
    // cancellation.
    void NewManualOrder(OrderSender sender);
    void KillManualOrders();

    // The grid behind an object name.
    DataGrid *grid(const QString &name) const;

signals:
    // A double click on the positions grid: a closing order for the row.
    void closeOrderRequested();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createActions();
    void createMenusAndToolbar();
    void createStatusBar();
    void createPages();
    void createTray();
    QWidget *createQuotesPage();
    QWidget *createLimitsPage();
    DataGrid *addGrid(const QString &name, DataSet *dataset, const QList<struct GridColumn> &columns, const QString &accessibleName);

    void PageControl1Change();
    void setWatchIcon(int index);
    void actConnectToBaseExecute();
    void actSelectLimitsExecute();
    void cboGroupChange();
    void tshLimitsEnter();
    void actAboutExecute();
    // "Проверка подключения": the self-check's window, checking again.
    void actCheckConnectionExecute();
    // "Дневной отчет (PDF)...": the day's activity into a PDF file the
    // operator chooses.
    void actDailyReportExecute();
    // The refusal count and the terminals that do not answer, in the
    // status bar.
    void showRefusalsAndSilence();
    // When the positions were read, beside their filter.
    void showLimitsReadAt();
    // The securities the quotes know (in capitals), read again after the
    // quotes change.
    const QSet<QString> &quotedSecurities() const;
    qint32 positionsFilterGroup() const;
    void showFailure(const QString &text);
    // Runs a command as the robot runs a tick: a failure goes to the
    // general error handler.
    template <typename F>
    void command(F &&work);

    Settings &m_settings;
    TDatMod &m_data;
    Robot &m_robot;

public:
    // Actions, by their names.
    QAction *actStartWatch = nullptr, *actStopWatch = nullptr, *actWatching = nullptr, *actCheckTRO = nullptr,
            *actConnectToBase = nullptr, *actNewOrderManual = nullptr, *actNewStopOrderManual = nullptr,
            *actKillOrderManual = nullptr, *actKillStopOrderManual = nullptr, *actQOrders = nullptr, *actClients = nullptr,
            *actGroup = nullptr, *actOpt = nullptr, *actSelectLimits = nullptr, *actHelpCont = nullptr, *actAbout = nullptr,
            *actExit = nullptr, *actCheckConnection = nullptr, *actDailyReport = nullptr;

private:
    QTabWidget *PageControl1 = nullptr;
    QTabWidget *pcTrading = nullptr;
    QWidget *tshTrading = nullptr, *tshLimits = nullptr, *tshOpenPositionRobot = nullptr, *tshOpenPositions = nullptr,
            *tshActiveOrders = nullptr, *tshFilledOrders = nullptr, *tshCanceledOrders = nullptr, *tshTRO = nullptr,
            *tshLog = nullptr;
    QList<QLabel *> m_panels;
    // Beside the transaction counters: the refusals, and the terminals
    // that do not answer.
    QLabel *pnlRefused = nullptr, *pnlSilence = nullptr;
    QLabel *lblLimitsReadAt = nullptr;
    LogView *m_log = nullptr;
    QComboBox *cboGroup = nullptr, *cboCode = nullptr, *cboSecCode = nullptr;
    QCheckBox *chAllLimits = nullptr;
    QMenu *pmParam = nullptr, *pmPortfolio = nullptr, *PopupMenu1 = nullptr;
    QSystemTrayIcon *RxTrayIcon1 = nullptr;
    QVector<QIcon> m_watchIcons;
    int m_shownWatchIcon = 0;
    TfmAbout *m_about = nullptr;
    TfmCheck *m_check = nullptr;
    TfmOpt *m_opt = nullptr;
    TfmClients *m_clients = nullptr;
    TfmGroup *m_group = nullptr;
    TfmOrder *m_order = nullptr;
    TfmQOrders *m_qorders = nullptr;
    HelpWindow *m_help = nullptr;
    QList<DataGrid *> m_grids;
    mutable QSet<QString> m_quoted;
    mutable bool m_quotedKnown = false;
    bool m_limitsEntered = false;
};
