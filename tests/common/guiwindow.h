#pragma once

// The operator's main window on a demo workspace, for the window tests: the
// log, the settings and the data module it runs on, its boxes answered with
// OK unless a test answers them otherwise.

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/sampleworkspace.h"
#include "dialogs.h"
#include "engine/robot.h"
#include "tfmmain.h"
#include "workspace.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QTabWidget>
#include <QTemporaryDir>

#include <memory>

// The window on a demo workspace, its boxes answered with OK.
struct Window {
    QTemporaryDir dir;
    sample::Paths paths;
    OperationLog log;
    Settings settings;
    TDatMod data;
    std::unique_ptr<TfmMain> main;

    explicit Window(int mode = 0)
    {
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        log.setLocale(QLocale(QLocale::Russian, QLocale::Russia));
        log.open(dir.filePath(QStringLiteral("Korvina.log")));
        OperationLog::setCurrent(&log);
        paths = sample::createWorkspace(dir.filePath(QStringLiteral("ws"))).paths;
        settings.setFileName(paths.settings);
        settings.LoadSettings();
        settings.rgpSingleMulti = mode;
        Dialogs::setResponder([](const Dialogs::Request &) { return Dialogs::Answer{}; });
        main = std::make_unique<TfmMain>(settings, data);
        main->show();
    }
    ~Window()
    {
        main.reset();
        Dialogs::setResponder({});
        if (OperationLog::current() == &log)
            OperationLog::setCurrent(nullptr);
    }
    Robot &robot() { return main->robot(); }
    QAction *action(const char *name) { return main->findChild<QAction *>(QLatin1String(name)); }
    QTabWidget *pages() { return main->findChild<QTabWidget *>(QStringLiteral("PageControl1")); }
    QString panel(int i) { return main->findChild<QLabel *>(QStringLiteral("StatusBar1Panel%1").arg(i))->text(); }
    // "Подключиться", then the terminal data's first tick (its timer would
    // run it within a second).
    void connectNow()
    {
        action("actConnectToBase")->trigger();
        QCoreApplication::processEvents();
        robot().timQuikTimer();
    }
    void addFilled(int id, const QString &symbol, const QString &type, const QString &text, double fill)
    {
        execOnDatabase(paths.alerts,
                       QStringLiteral("INSERT INTO FilledOrders (ID, Symbol, OrderType, \"Order\", \"Fill Price\", System, Workspace) "
                                      "VALUES (:id, :s, :t, :o, :f, 'Demo MA Cross(5,20)', 'C:\\Omega\\Demo.orw')"),
                       {{QStringLiteral("id"), id}, {QStringLiteral("s"), symbol}, {QStringLiteral("t"), type}, {QStringLiteral("o"), text},
                        {QStringLiteral("f"), fill}});
    }
};

