#pragma once

#include <QStringList>

// The desk's commands of korvina-db: the reconciliation of the robot's book
// with the terminals (CSV), and the day's activity report (PDF).
int runReconcile(const QStringList &args);
int runReport(const QStringList &args);
// The command needs a QApplication (the report draws its charts).
bool commandNeedsGui(const QString &command);
