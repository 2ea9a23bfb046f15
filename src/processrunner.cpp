#include "processrunner.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include "utils.h"

namespace {
// After SIGKILL a process ends at once; this only bounds the wait for its exit status.
constexpr int reapTimeoutMs = 5000;
}  // namespace

processRunner::Outcome processRunner::run(const QString &program, const QStringList &arguments,
                                          int timeoutMs) {
    utils.addDebugText(
        100,
        QStringLiteral("Command to execute:\n%1 %2").arg(program, arguments.join(QLatin1Char(' '))),
        QStringLiteral("processRunner::run"), true, true);
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    bool failedToStart = false;
    bool timedOut = false;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        failedToStart = true;
        loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    deadline.start(qMax(0, timeoutMs));
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!failedToStart) loop.exec();
    if (failedToStart) {
        m_outcome = Outcome::FailedToStart;
        return m_outcome;
    }
    m_outcome = timedOut ? Outcome::TimedOut : Outcome::Finished;
    if (timedOut && process.state() != QProcess::NotRunning) {
        process.kill();
        deadline.start(reapTimeoutMs);
        loop.exec();
    }
    m_out = process.readAllStandardOutput();
    m_err = process.readAllStandardError();
    return m_outcome;
}

int processRunner::errorCode() const {
    if (m_outcome != Outcome::Finished) return 500;
    return standardError().isEmpty() ? 0 : 900;
}

QString processRunner::errorDescription() const {
    switch (m_outcome) {
        case Outcome::FailedToStart:
            return QStringLiteral("Failed to start the process");
        case Outcome::TimedOut:
            return QStringLiteral("Process finished with error");
        case Outcome::Finished:
            break;
    }
    return standardError();
}
