#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QVector>

// A stand-in (development server, POS daemon, fault relay) run as a child process: its first
// stdout line is its port, every further line a JSON object, kept as it arrives (in the event
// loop, so tests wait with QTRY_* or QTest::qWaitFor).
class StandInProcess : public QObject {
    Q_OBJECT
  public:
    explicit StandInProcess(QObject *parent = nullptr);
    ~StandInProcess() override;

    // Starts the program and waits (10 s at most) for its port line; what an earlier run
    // printed is forgotten.
    bool start(const QString &program, const QStringList &arguments);
    // Ends it with SIGTERM (SIGKILL after 10 s).
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // Whether it has ended with exit code 0 (not by a signal).
    bool exitedCleanly() const;
    quint16 port() const { return m_port; }
    // One control line on its stdin.
    void send(const QByteArray &line);

    const QVector<QJsonObject> &lines() const { return m_lines; }
    // The lines whose `key` holds the string `value`.
    QVector<QJsonObject> linesWith(const QString &key, const QString &value) const;
    int count(const QString &key, const QString &value) const;
    // What went wrong, for failure messages: the program's stderr and exit.
    QString diagnostics() const;

  private:
    void readOutput();

    QProcess m_process;
    QByteArray m_pending;
    int m_scanned = 0;  // of m_pending, known to hold no line end: a reply line can be huge
    quint16 m_port = 0;
    QVector<QJsonObject> m_lines;
    QByteArray m_errors;
};
