#pragma once

#include <QString>
#include <QTemporaryDir>

class QProcess;

// A throw-away data root for the client (QLT_DATA_ROOT points at it), for the client's code in
// this process and for a client binary started from here.
class TempDataRoot {
  public:
    TempDataRoot();
    QString path() const;  // ends with "/"
    QString settingsDir() const { return path() + QStringLiteral("settings/"); }
    QString logDir() const { return path() + QStringLiteral("Log/"); }
    QString tempDir() const { return path() + QStringLiteral("temp/"); }
    // Writes an INI file into the settings directory (creating it).
    void writeSettings(const QString &iniText) const;
    // Settings whose management server is 127.0.0.1:port, followed by `moreIni`.
    void pointAtServer(quint16 port, const QString &moreIni = QString()) const;
    // Settings whose management server is a closed loopback port: the client retries quietly.
    void pointAtClosedServerPort() const;
    // All lines of today's log file (empty when there is none).
    QStringList todaysLogLines() const;

    // Starts the real client binary on this root; what it prints goes to a file, since a pipe
    // that nobody reads would stall it. False when it did not start.
    bool startClient(QProcess &client) const;
    // What that client printed on stdout and stderr.
    QString clientConsole() const;

  private:
    QString consolePath() const { return path() + QStringLiteral("client-console.txt"); }

    QTemporaryDir m_dir;
};
