#pragma once

#include "config/operationlog.h"
#include "config/settings.h"
#include "data/datmod.h"
#include "data/sampleworkspace.h"
#include "engine/robot.h"

#include <QTemporaryDir>
#include <QVariantMap>

// A fresh demo workspace in `dir`: the log opened there (and made the
// current one) with the locale pinned to Russian, the settings read from
// the workspace's file, the SINGLE/MULTI mode set.
sample::Paths openSampleWorkspace(const QTemporaryDir &dir, OperationLog &log, Settings &settings, int mode);

// The robot connected to a demo workspace made by the sample code (both
// databases, the folders, two terminals with their clients), with its file
// sets prepared as a connection does. The locale is pinned to Russian.
class SampleRobot {
public:
    // mode: 0 SINGLE, 1 MULTI; terminal: 0 QUIK, 1 SmartTrade.
    explicit SampleRobot(int mode = 0, int terminal = 0);
    ~SampleRobot();

    QTemporaryDir dir;
    sample::Paths paths;
    OperationLog log;
    Settings settings;
    TDatMod data;
    Robot *robot = nullptr;

    // A filled strategy order as the platform writes it.
    void addFilled(int id, const QString &symbol, const QString &orderType, const QString &orderText, double fillPrice,
                   const QString &system = QStringLiteral("Demo MA Cross(5,20)"),
                   const QString &workspace = QStringLiteral("C:\\Omega\\Demo.orw"));
    // A statement on one of the databases, through a connection of its own.
    void exec(const QString &database, const QString &sql, const QVariantMap &params = {});
    QList<QVariantMap> rows(const QString &database, const QString &sql);

    // The lines of a file in the transaction folder (CR LF ends each).
    QStringList fileLines(const QString &path) const;
    QString tri(const QString &name) const; // path of name.tri in the transaction folder
    // The screen lines without date and time.
    QStringList messages() const;
};
