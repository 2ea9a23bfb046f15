#include "scriptedsession.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTcpServer>

#include "tempdataroot.h"
#include "testpaths.h"

ScriptedSession::ScriptedSession(const TempDataRoot &root) : m_root(root) {}
ScriptedSession::~ScriptedSession() = default;

quint16 ScriptedSession::freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QJsonObject ScriptedSession::command(const QString &name, const QList<QJsonObject> &params) {
    QJsonArray data;
    for (const QJsonObject &p : params) data.append(p);
    return QJsonObject{{QStringLiteral("commandType"), name}, {QStringLiteral("data"), data}};
}

bool ScriptedSession::run(const QList<QJsonObject> &commands, int timeoutS) {
    QFile script(m_root.path() + QStringLiteral("devserver-script.jsonl"));
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const QJsonObject &c : commands)
        script.write(QJsonDocument(c).toJson(QJsonDocument::Compact) + '\n');
    script.close();

    QProcess server;
    server.start(
        testpaths::devServerBinary(),
        QStringList{QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--script"),
                    script.fileName(), QStringLiteral("--timeout"), QString::number(timeoutS)} +
            m_serverArgs);
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) return false;
    while (!server.canReadLine() && server.waitForReadyRead(5000)) {
    }
    const QByteArray portLine = server.readLine().trimmed();
    const int port = portLine.toInt();
    if (port <= 0) return false;

    m_root.writeSettings(QStringLiteral("[RestServiceQt]\nrestServerQt_host=127.0.0.1\n"
                                        "restServerQt_port=%1\n[POS]\npos_host=127.0.0.1\n")
                             .arg(port) +
                         m_extraIni);
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QLT_DATA_ROOT"), m_root.path());
    client.setProcessEnvironment(env);
    // A file, not a pipe: a pipe nobody reads while the server runs would stall the client.
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.setStandardOutputFile(consolePath());
    client.start(testpaths::clientBinary(), {});
    if (!client.waitForStarted()) return false;

    const bool finished = server.waitForFinished((timeoutS + 10) * 1000);
    client.terminate();
    if (!client.waitForFinished(10000)) client.kill();
    if (!finished) server.kill();
    server.waitForFinished();
    m_serverErr = QString::fromUtf8(server.readAllStandardError());
    m_received.clear();
    for (const QByteArray &line : server.readAllStandardOutput().split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject()) m_received << doc.object();
    }
    return finished && server.exitStatus() == QProcess::NormalExit && server.exitCode() == 0;
}

QList<QJsonObject> ScriptedSession::replies(const QString &typeCall) const {
    QList<QJsonObject> out;
    for (const QJsonObject &o : m_received)
        if (o.value(QStringLiteral("typeCall")).toString() == typeCall) out << o;
    return out;
}

QJsonObject ScriptedSession::result(const QString &typeCall, int n) const {
    const QList<QJsonObject> r = replies(typeCall);
    if (n >= r.size()) return {};
    return r.at(n).value(QStringLiteral("data")).toArray().first().toObject();
}

QString ScriptedSession::consolePath() const {
    return m_root.path() + QStringLiteral("client-console.txt");
}

QString ScriptedSession::clientConsole() const {
    QFile file(consolePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString ScriptedSession::clientLog() const {
    return m_root.todaysLogLines().join(QLatin1Char('\n'));
}
