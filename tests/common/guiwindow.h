#pragma once

// The operator's main window on a demo workspace, for the window tests: the
// log, the settings and the data module it runs on, its boxes answered with
// OK unless a test answers them otherwise.

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/sampleworkspace.h"
#include "datagrid.h"
#include "dialogs.h"
#include "engine/robot.h"
#include "samplerobot.h"
#include "tfmmain.h"
#include "workspace.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <memory>

// The window on a demo workspace, its boxes answered with OK (and
// "Подключиться" with Yes).
struct Window {
    QTemporaryDir dir;
    sample::Paths paths;
    OperationLog log;
    Settings settings;
    TDatMod data;
    std::unique_ptr<Robot> core;
    std::unique_ptr<TfmMain> main;

    explicit Window(int mode = 0)
    {
        paths = openSampleWorkspace(dir, log, settings, mode);
        Dialogs::setResponder(answerOk);
        // As the program does: the robot first, then the window on it.
        core = std::make_unique<Robot>(settings, data);
        main = std::make_unique<TfmMain>(settings, data, *core);
        main->show();
    }
    ~Window()
    {
        main.reset();
        core.reset();
        Dialogs::setResponder({});
        if (OperationLog::current() == &log)
            OperationLog::setCurrent(nullptr);
    }
    // Boxes answered with OK; "Подключиться"'s question with Yes, so that
    // connecting connects.
    static Dialogs::Answer answerOk(const Dialogs::Request &r)
    {
        Dialogs::Answer a;
        if (r.kind == Dialogs::Kind::Question && r.title == QStringLiteral("Подключиться"))
            a.button = QMessageBox::Yes;
        return a;
    }
    Robot &robot() { return *core; }
    QAction *action(const char *name) { return main->findChild<QAction *>(QLatin1String(name)); }
    QTabWidget *pages() { return main->findChild<QTabWidget *>(QStringLiteral("PageControl1")); }
    QString panel(int i) { return main->findChild<QLabel *>(QStringLiteral("StatusBar1Panel%1").arg(i))->text(); }
    // The page of the grid brought to the front (the pages above it too),
    // as the operator clicks their tabs; the terminals' views are read only
    // while a grid shows them, so their first read is waited for.
    DataGrid *showGrid(const QString &name)
    {
        DataGrid *g = main->grid(name);
        if (!g)
            return nullptr;
        QList<std::pair<QTabWidget *, QWidget *>> path;
        for (QWidget *w = g; w && w != main.get(); w = w->parentWidget())
            if (auto *tabs = qobject_cast<QTabWidget *>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr))
                if (tabs->indexOf(w) >= 0)
                    path.prepend({tabs, w});
        for (auto [tabs, page] : path)
            tabs->setCurrentWidget(page);
        QCoreApplication::processEvents();
        if (!QTest::qWaitFor([this] { return data.quikReader.idle(); }, 5000))
            qWarning("the terminal data's reader is still busy after 5 s");
        QCoreApplication::processEvents();
        return g;
    }
    // "Подключиться", then the terminal data's first tick (its timer would
    // run it within a second).
    void connectNow()
    {
        action("actConnectToBase")->trigger();
        QCoreApplication::processEvents();
        robot().timQuikTimer();
    }
    // A filled strategy order as the platform writes it, filled at `filled`
    // (now unless told; an invalid time leaves the column empty).
    void addFilled(int id, const QString &symbol, const QString &type, const QString &text, double fill,
                   const QDateTime &filled = QDateTime::currentDateTime())
    {
        execOnDatabase(paths.alerts,
                       QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", \"Time Filled\", System, "
                                      "Workspace) VALUES (:id, :s, :t, :o, :f, :at, 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
                       {{QStringLiteral("id"), id}, {QStringLiteral("s"), symbol}, {QStringLiteral("t"), type}, {QStringLiteral("o"), text},
                        {QStringLiteral("f"), fill}, {QStringLiteral("at"), alertTime(filled)}});
    }
    // An order the platform has placed in advance, placed at `placed`.
    void addActive(int id, const QString &symbol, const QString &type, const QString &text, const QDateTime &placed)
    {
        execOnDatabase(paths.alerts,
                       QStringLiteral("INSERT INTO ActiveOrders (ID, Symbol, OrderType, \"Order\", \"Time Placed\", System, Workspace) "
                                      "VALUES (:id, :s, :t, :o, :at, 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
                       {{QStringLiteral("id"), id}, {QStringLiteral("s"), symbol}, {QStringLiteral("t"), type}, {QStringLiteral("o"), text},
                        {QStringLiteral("at"), alertTime(placed)}});
    }
    static QVariant alertTime(const QDateTime &t)
    {
        return t.isValid() ? QVariant(t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))) : QVariant();
    }
};

// Answers a modal dialog as an operator would: `step` runs on it at each
// showing (numbered from 0) once it is up; a step that leaves it open (a
// check that failed, a test fault) gets it closed with reject(), so no test
// hangs on it.
template <typename Dialog>
class OnEachShowing : public QObject {
public:
    OnEachShowing(Dialog &dialog, std::function<void(Dialog &, int)> step) : m_dialog(dialog), m_step(std::move(step))
    {
        dialog.installEventFilter(this);
    }
    ~OnEachShowing() override { m_dialog.removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Show) {
            const int i = shown++;
            QTimer::singleShot(0, this, [this, i] {
                m_step(m_dialog, i);
                if (m_dialog.isVisible())
                    m_dialog.reject();
            });
        }
        return false;
    }

private:
    Dialog &m_dialog;
    std::function<void(Dialog &, int)> m_step;
};
