#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A throwaway PostgreSQL server for one test: a cluster made with initdb in
// a temporary folder, listening on a free port of 127.0.0.1 (its unix
// sockets in that folder), fsync off. Run as the `postgres` user when the
// tests run as root. The server dies with the test's process and the folder
// is removed when the object goes, also when the test fails.
class PgServer {
public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Where the server's programs are (KORVINA_PG_BIN, else PostgreSQL 15's
    // Debian folder); empty when they are not installed.
    static QString binDir();
    // Why a test needing the server must be skipped; empty when it can run.
    static QString missing();

    // Makes the cluster and starts the server. False with the reason in error().
    bool start();
    // Stops the server as a crash or `pg_ctl stop -m immediate` would
    // (SIGQUIT), or cleanly (SIGTERM, waiting for the sessions).
    void stop(bool immediate = true);
    // Starts it again on the same folder and port.
    bool restart();
    bool running() const;

    // A new, empty database; its URI (user postgres, no password).
    QString createDatabase(const QString &name);
    QString uri(const QString &database) const;
    int port() const { return m_port; }
    const QString &error() const { return m_error; }
    // Runs one statement as the superuser on the database; false with the
    // message in error().
    bool exec(const QString &database, const QString &sql);

private:
    bool run(const QString &program, const QStringList &args);
    bool launch();
    bool waitReady(int ms);
    static void removeStale();

    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_server;
    int m_port = 0;
    bool m_asPostgres = false;
    unsigned m_uid = 0, m_gid = 0;
    QString m_error;
};
