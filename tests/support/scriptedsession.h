#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

class TempDataRoot;

// The real client binary against the real development server running a script: the client
// gets a settings file pointing at the server, the server sends the commands one after the
// other and prints everything the client sent back.
class ScriptedSession {
  public:
    explicit ScriptedSession(const TempDataRoot &root);
    ~ScriptedSession();

    void addSettings(const QString &iniText) { m_extraIni += iniText; }
    void addServerArguments(const QStringList &args) { m_serverArgs += args; }
    // The server normally takes any free port; a test that must know it up front sets it.
    void setPort(quint16 port) { m_port = port; }
    static quint16 freeLoopbackPort();

    // Runs until the server has every reply (true) or gives up; the client is then stopped.
    bool run(const QList<QJsonObject> &commands, int timeoutS = 60);

    // Everything the server printed after its port line, one object per line.
    const QList<QJsonObject> &received() const { return m_received; }
    // The reply envelopes for a command, in order.
    QList<QJsonObject> replies(const QString &typeCall) const;
    // data[0] of the n-th reply to a command.
    QJsonObject result(const QString &typeCall, int n = 0) const;
    QString serverStderr() const { return m_serverErr; }
    QString clientLog() const;
    // What the client printed on stdout and stderr.
    QString clientConsole() const;

    // A command object as the server sends it.
    static QJsonObject command(const QString &name,
                               const QList<QJsonObject> &params = {QJsonObject()});

  private:
    QString consolePath() const;
    const TempDataRoot &m_root;
    QString m_extraIni;
    QStringList m_serverArgs;
    quint16 m_port = 0;
    QList<QJsonObject> m_received;
    QString m_serverErr;
};
