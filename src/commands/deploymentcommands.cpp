#include "commands/deploymentcommands.h"

#include <QDir>

#include "commands/processcommands.h"
#include "core/encoding.h"
#include "core/parameters.h"
#include "core/replies.h"
#include "storage/filewriter.h"
#include "storage/pathresolver.h"

namespace {
QJsonObject notSupported() { return reply::error(599, QStringLiteral("Not supported yet")); }
}  // namespace

deploymentCommands::deploymentCommands(const sessionStruct &session, const logger &log)
    : m_session(session), m_log(log) {}

QJsonObject deploymentCommands::pushLicense(const QVariantMap &data) const {
    const auto finish = [](int code, const QString &description, const QString &info, bool killed) {
        QJsonObject result = reply::error(code, description);
        result.insert(QStringLiteral("resultsInfo"), info);
        result.insert(QStringLiteral("killProcessIfOkResult"), killed);
        result.insert(QStringLiteral("startProcessIfKilledOkResult"), false);
        return result;
    };
    const QString path = param::string(data, QStringLiteral("path"));
    const QByteArray licenseData = param::stringBytes(data, QStringLiteral("licenseData"));
    if (path.isEmpty()) return finish(404, QStringLiteral("Missing parameter path"), {}, false);
    if (licenseData.isEmpty())
        return finish(404, QStringLiteral("Missing parameter licenseData"), {}, false);
    const QString killName = param::string(data, QStringLiteral("killProcessIfOK"));
    const QString startName = param::string(data, QStringLiteral("startProcessIfKilled"));
    const qint32 nodeId = qint32(quint32(param::integer(data, QStringLiteral("nodeID"), 0)));

    // The path is joined to the folder as it is, so a leading "/" stays inside; only ".." and
    // links can lead out, and neither the file nor a folder made for it may land there.
    const QString divider = pathResolver::divider();
    const QString folder = m_session.dataTempLocation + divider + QStringLiteral("licenses");
    const QString target = folder + divider + path;
    const QString outside = QStringLiteral("Not allowed to write outside the licenses folder!");
    const QString noFolder = QStringLiteral("Failed to create the directory for file %1!");
    if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return finish(930, outside, {}, false);
    if (!QDir().mkpath(folder)) return finish(940, noFolder.arg(target), {}, false);
    if (!pathResolver::staysInside(target, folder)) return finish(930, outside, {}, false);
    if (!fileWriter::createDirectoryIfNeeded(target))
        return finish(940, noFolder.arg(target), {}, false);
    // License files may be binary: the decoded bytes are written exactly, and atomically.
    const saveResultStruct saved =
        fileWriter(m_session, m_log).write(target, base64::lenient(licenseData), false, true);
    if (saved.errorCode > 0) return finish(saved.errorCode, saved.errorDescription, {}, false);

    QString info = QStringLiteral("Saved file '%1'\n").arg(target);
    bool killed = false;
    if (!killName.isEmpty()) {
        const QJsonObject kill = processCommands(m_log).killProcessByName(
            {{QStringLiteral("processName"), killName}, {QStringLiteral("processNID"), nodeId}});
        killed = kill.value(QStringLiteral("errorCode")).toInt() < 1;
        info += killed ? QStringLiteral("Killed process %1 if existed\n").arg(killName)
                       : QStringLiteral("Failed to kill process %1\n").arg(killName);
    }
    if (!startName.isEmpty()) info += QStringLiteral("Not supported to start process yet\n");
    return finish(0, QString(), info, killed);
}

QJsonObject deploymentCommands::getNodes(const QVariantMap &) { return notSupported(); }

QJsonObject deploymentCommands::rebootDevice(const QVariantMap &) { return notSupported(); }

QJsonObject deploymentCommands::restartClient(const QVariantMap &) { return notSupported(); }
