#include "standinprocess.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QtTest>

StandInProcess::StandInProcess(QObject *parent) : QObject(parent) {
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &StandInProcess::readOutput);
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_errors += m_process.readAllStandardError(); });
}

StandInProcess::~StandInProcess() { stop(); }

bool StandInProcess::start(const QString &program, const QStringList &arguments) {
    m_port = 0;
    m_pending.clear();
    m_scanned = 0;
    m_lines.clear();
    m_errors.clear();
    m_process.start(program, arguments);
    if (!m_process.waitForStarted()) return false;
    return QTest::qWaitFor([this] { return m_port != 0 || m_process.state() != QProcess::Running; },
                           10000) &&
           m_port != 0;
}

void StandInProcess::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
    readOutput();
}

bool StandInProcess::exitedCleanly() const {
    return !isRunning() && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
}

void StandInProcess::send(const QByteArray &line) { m_process.write(line + '\n'); }

QVector<QJsonObject> StandInProcess::linesWith(const QString &key, const QString &value) const {
    QVector<QJsonObject> found;
    for (const QJsonObject &line : m_lines)
        if (line.value(key).toString() == value) found.append(line);
    return found;
}

int StandInProcess::count(const QString &key, const QString &value) const {
    return linesWith(key, value).size();
}

QString StandInProcess::diagnostics() const {
    return QStringLiteral("%1 (%2, exit %3): %4")
        .arg(m_process.program())
        .arg(m_process.state() == QProcess::NotRunning ? QStringLiteral("ended")
                                                       : QStringLiteral("running"))
        .arg(m_process.exitCode())
        .arg(QString::fromUtf8(m_errors.right(2000)));
}

void StandInProcess::readOutput() {
    m_pending += m_process.readAllStandardOutput();
    int start = 0;
    for (int end = m_pending.indexOf('\n', m_scanned); end >= 0;
         end = m_pending.indexOf('\n', start)) {
        const QByteArray line = m_pending.mid(start, end - start);
        start = end + 1;
        if (m_port == 0) {
            m_port = quint16(line.trimmed().toUInt());
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject()) m_lines.append(document.object());
    }
    m_pending.remove(0, start);
    m_scanned = m_pending.size();
}
