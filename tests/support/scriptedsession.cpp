#include "scriptedsession.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include "tempdataroot.h"
#include "testpaths.h"

ScriptedSession::ScriptedSession(const TempDataRoot &root) : m_root(root) {}

QJsonObject ScriptedSession::command(const QString &name, const QList<QJsonObject> &params) {
    QJsonArray data;
    for (const QJsonObject &p : params) data.append(p);
    return QJsonObject{{QStringLiteral("commandType"), name}, {QStringLiteral("data"), data}};
}

bool ScriptedSession::writeScript(const QString &path, const QList<QJsonObject> &commands) {
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const QJsonObject &c : commands)
        script.write(QJsonDocument(c).toJson(QJsonDocument::Compact) + '\n');
    return script.flush();
}

bool ScriptedSession::run(const QList<QJsonObject> &commands, int timeoutS) {
    const QString script = m_root.path() + QStringLiteral("devserver-script.jsonl");
    if (!writeScript(script, commands)) return false;
    if (!m_server.start(testpaths::devServerBinary(),
                        QStringList{QStringLiteral("--port"), QString::number(m_port),
                                    QStringLiteral("--script"), script, QStringLiteral("--timeout"),
                                    QString::number(timeoutS)} +
                            m_serverArgs))
        return false;
    m_root.pointAtServer(m_server.port(),
                         QStringLiteral("[POS]\npos_host=127.0.0.1\n") + m_extraIni);
    QProcess client;
    if (!m_root.startClient(client)) return false;
    const bool finished =
        QTest::qWaitFor([this] { return !m_server.isRunning(); }, (timeoutS + 10) * 1000);
    client.terminate();
    if (!client.waitForFinished(10000)) client.kill();
    m_server.stop();
    return finished && m_server.exitedCleanly();
}

QList<QJsonObject> ScriptedSession::replies(const QString &typeCall) const {
    return m_server.linesWith(QStringLiteral("typeCall"), typeCall).toList();
}

QJsonObject ScriptedSession::result(const QString &typeCall, int n) const {
    const QList<QJsonObject> r = replies(typeCall);
    if (n >= r.size()) return {};
    return r.at(n).value(QStringLiteral("data")).toArray().first().toObject();
}

QString ScriptedSession::clientLog() const {
    return m_root.todaysLogLines().join(QLatin1Char('\n'));
}
