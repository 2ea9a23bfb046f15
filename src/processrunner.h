#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs one program with an argument list (never through a shell, so no parameter is ever
// parsed as a command) and waits for it in a local event loop: the link keeps answering
// keep-alives meanwhile. A program still running at the deadline is killed.
class processRunner {
  public:
    enum class Outcome { Finished, FailedToStart, TimedOut };

    Outcome run(const QString &program, const QStringList &arguments, int timeoutMs);

    Outcome outcome() const { return m_outcome; }
    QString standardOutput() const { return QString::fromLocal8Bit(m_out); }
    QString standardError() const { return QString::fromLocal8Bit(m_err); }

    // How a run reads for the server: 500 when it did not start or did not end in time, 900
    // with the text of the standard error when there is one, else 0.
    int errorCode() const;
    QString errorDescription() const;

  private:
    Outcome m_outcome = Outcome::FailedToStart;
    QByteArray m_out;
    QByteArray m_err;
};
