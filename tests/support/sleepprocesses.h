#pragma once

#include <QList>
#include <QProcess>
#include <QString>

// `sleep` processes for the process commands to find and kill: each has a command line that no
// other process has, and a PID of 1026 or above (the client refuses to kill lower ones). Those
// still running are killed when this goes.
class SleepProcesses {
  public:
    SleepProcesses() = default;
    ~SleepProcesses();
    SleepProcesses(const SleepProcesses &) = delete;
    SleepProcesses &operator=(const SleepProcesses &) = delete;

    // Starts one and gives its command line ("sleep <seconds>"); null when none started.
    QProcess *start(QString *commandLine);

  private:
    QList<QProcess *> m_processes;
};
