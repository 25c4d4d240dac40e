#pragma once

#include <QList>
#include <QPair>
#include <QString>

class TDatMod;

// A ready demo workspace: both databases, the folders the robot writes to,
// and a settings file that points at them. QuikData holds a securities
// directory, quotes, two terminals with their clients, two groups and the
// terminals' exports (base tables for SINGLE mode and per-terminal copies
// for MULTI mode). The alert tables are left empty for a strategy to fill.
namespace sample {

// Where the files of a workspace in a folder go; every path is absolute.
struct Paths {
    QString dir;
    QString settings;   // dir/Korvina.ini
    QString quikData;   // dir/Data/dbQuikData.sqlite
    QString alerts;     // dir/Omega/Alerts11.sqlite
    QString trans;      // dir/Trans: QUIK transaction files
    QString smartTrade; // dir/SmartTrade/Orders
    QString quik;       // dir/QUIK: the terminals' folder
    QString infoLog;    // dir/QUIK/info.log
};
Paths pathsIn(const QString &dir);

struct Summary {
    Paths paths;
    QList<QPair<QString, int>> rows; // QuikData table -> number of rows, in creation order
};

// Creates the workspace in dir (and dir itself). Throws KorvinaError, before
// anything is written, when the settings file or a database is already there
// or when the folder's absolute path holds characters that Windows-1251 (the
// settings file's code page) cannot hold; on a later failure the files made
// so far are removed again. A PostgreSQL URI for QuikData or the alert
// database puts that database's tables into the (empty) database it names
// instead of a file, and the settings file names the URI.
Summary createWorkspace(const QString &dir, const QString &quikDataUri = QString(), const QString &alertsUri = QString());

// Fills a freshly created QuikData database (every table empty), which the
// data module is connected to, with the demo content, terminals 1 and 2
// included: their export tables are made from the base tables as the options
// dialog makes them. quikDir is the terminals' folder stored in tQuik.path.
void fillQuikData(TDatMod &dm, const QString &quikDir);

} // namespace sample
