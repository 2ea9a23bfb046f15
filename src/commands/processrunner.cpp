#include "commands/processrunner.h"

#include <QEventLoop>

namespace {
// After SIGKILL a process ends at once; this only bounds the wait for its exit status.
constexpr int reapTimeoutMs = 5000;
}  // namespace

processRunner::processRunner(const logger &log) : m_log(log) {
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &processRunner::deadlineReached);
    connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this] { complete(m_killed ? Outcome::TimedOut : Outcome::Finished); });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) complete(Outcome::FailedToStart);
    });
}

void processRunner::start(const QString &program, const QStringList &arguments, int timeoutMs) {
    m_log.write(100,
                QStringLiteral("Command to execute:\n%1 %2")
                    .arg(program, logformat::escaped(arguments.join(QLatin1Char(' ')))),
                QStringLiteral("processRunner::run"));
    m_running = true;
    m_killed = false;
    m_out.clear();
    m_err.clear();
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_deadline.start(qMax(0, timeoutMs));
    m_process.start(program, arguments, QIODevice::ReadOnly);
}

void processRunner::run(const QString &program, const QStringList &arguments, int timeoutMs) {
    QEventLoop loop;
    connect(this, &processRunner::finished, &loop, &QEventLoop::quit);
    start(program, arguments, timeoutMs);
    loop.exec();
}

void processRunner::deadlineReached() {
    if (m_killed || m_process.state() == QProcess::NotRunning) {
        complete(Outcome::TimedOut);
        return;
    }
    m_killed = true;
    m_process.kill();
    m_deadline.start(reapTimeoutMs);
}

void processRunner::complete(Outcome outcome) {
    if (!m_running) return;
    m_running = false;
    m_deadline.stop();
    m_outcome = outcome;
    m_out = m_process.readAllStandardOutput();
    m_err = m_process.readAllStandardError();
    // From the event loop: a receiver may start the next program, or end the wait, without
    // QProcess's own signal still running below it.
    QMetaObject::invokeMethod(this, &processRunner::finished, Qt::QueuedConnection);
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
