#pragma once

#include <QString>
#include <QTemporaryDir>

// A throw-away data root for the client, in the process (QLT_DATA_ROOT and the directory
// records point at it) and for child processes started with its environment.
class TempDataRoot {
  public:
    TempDataRoot();
    QString path() const;  // ends with "/"
    QString settingsDir() const { return path() + QStringLiteral("settings/"); }
    QString logDir() const { return path() + QStringLiteral("Log/"); }
    // Writes an INI file into the settings directory (creating it).
    void writeSettings(const QString &iniText) const;
    // Settings whose management server is a closed loopback port: the client retries quietly.
    void pointAtClosedServerPort() const;
    // All lines of today's log file (empty when there is none).
    QStringList todaysLogLines() const;

  private:
    QTemporaryDir m_dir;
};
