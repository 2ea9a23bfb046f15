#include "sleepprocesses.h"

#include <QCoreApplication>
#include <QStandardPaths>

SleepProcesses::~SleepProcesses() {
    for (QProcess *process : qAsConst(m_processes)) {
        process->kill();
        process->waitForFinished();
    }
    qDeleteAll(m_processes);
}

QProcess *SleepProcesses::start(QString *commandLine) {
    // Counted across the whole run, so that no two share a command line.
    static int started = 0;
    const QString seconds =
        QStringLiteral("3117.%1%2").arg(QCoreApplication::applicationPid()).arg(++started);
    auto *process = new QProcess;
    m_processes << process;
    // PIDs wrap around; one below the kill floor would be refused, so take the next one.
    for (int attempt = 0; attempt < 1100; ++attempt) {
        process->start(QStandardPaths::findExecutable(QStringLiteral("sleep")), {seconds});
        if (!process->waitForStarted()) return nullptr;
        if (process->processId() >= 1026) {
            *commandLine = QStringLiteral("sleep ") + seconds;
            return process;
        }
        process->kill();
        process->waitForFinished();
    }
    return nullptr;
}
