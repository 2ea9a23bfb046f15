#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "core/log.h"

// Runs one program with an argument list (never through a shell, so no parameter is ever
// parsed as a command) while the event loop goes on: the link keeps answering keep-alives,
// and several runners can run side by side. A program still running at the deadline is killed.
class processRunner : public QObject {
    Q_OBJECT
  public:
    // Each program run is logged to `log`, which must outlive the runner; callers that do not
    // pass their own log use the client's.
    explicit processRunner(const logger &log);

    // Starts the program; finished() follows from the event loop once it has ended, failed to
    // start or been killed at the deadline. The runner can be started again after that.
    void start(const QString &program, const QStringList &arguments, int timeoutMs);
    // start(), then a local event loop until finished().
    void run(const QString &program, const QStringList &arguments, int timeoutMs);

    QString standardOutput() const { return QString::fromLocal8Bit(m_out); }
    QString standardError() const { return QString::fromLocal8Bit(m_err); }

    // How a run reads for the server: 500 when it did not start or did not end in time, 900
    // with the text of the standard error when there is one, else 0.
    int errorCode() const;
    QString errorDescription() const;

  signals:
    void finished();

  private:
    enum class Outcome { Finished, FailedToStart, TimedOut };

    void deadlineReached();
    void complete(Outcome outcome);

    const logger &m_log;
    QProcess m_process;
    QTimer m_deadline;
    bool m_running = false;
    bool m_killed = false;
    Outcome m_outcome = Outcome::FailedToStart;
    QByteArray m_out;
    QByteArray m_err;
};
