#pragma once

#include <QJsonObject>
#include <QList>
#include <QStringList>

#include "standinprocess.h"

class TempDataRoot;

// The real client binary against the real development server running a script: the client
// gets a settings file pointing at the server, the server sends the commands one after the
// other and prints everything the client sent back.
class ScriptedSession {
  public:
    explicit ScriptedSession(const TempDataRoot &root);

    void addSettings(const QString &iniText) { m_extraIni += iniText; }
    void addServerArguments(const QStringList &args) { m_serverArgs += args; }
    // The server normally takes any free port; a test that must know it up front sets it.
    void setPort(quint16 port) { m_port = port; }

    // Runs until the server has every reply (true) or gives up; the client is then stopped.
    bool run(const QList<QJsonObject> &commands, int timeoutS = 60);

    // Everything the server printed after its port line, one object per line.
    QList<QJsonObject> received() const { return m_server.lines().toList(); }
    // How many of those lines hold the string `value` under `key`.
    int count(const QString &key, const QString &value) const { return m_server.count(key, value); }
    // The reply envelopes for a command, in order.
    QList<QJsonObject> replies(const QString &typeCall) const;
    // data[0] of the n-th reply to a command.
    QJsonObject result(const QString &typeCall, int n = 0) const;
    // The server's stderr and how it ended, for failure messages.
    QString serverStderr() const { return m_server.diagnostics(); }
    QString clientLog() const;

    // A command object as the server sends it.
    static QJsonObject command(const QString &name,
                               const QList<QJsonObject> &params = {QJsonObject()});
    // A script for the development server (--script): one object a line.
    static bool writeScript(const QString &path, const QList<QJsonObject> &commands);

  private:
    const TempDataRoot &m_root;
    QString m_extraIni;
    QStringList m_serverArgs;
    quint16 m_port = 0;
    StandInProcess m_server;
};
