// Deployment of license files, and the commands the client accepts but does not carry out.

#include <QDir>
#include <QJsonObject>

#include "storage/pathresolver.h"
#include "commands/utilsmodel.h"

QJsonObject utilsModel::pushLicense(QVariantMap data) {
    QJsonObject reply = setErrorData(599, QStringLiteral("Not supported yet"));
    const auto finish = [&reply](int code, const QString &description, const QString &info,
                                 bool killed) {
        reply.insert(QStringLiteral("errorCode"), code);
        reply.insert(QStringLiteral("errorDescription"), description);
        reply.insert(QStringLiteral("resultsInfo"), info);
        reply.insert(QStringLiteral("killProcessIfOkResult"), killed);
        reply.insert(QStringLiteral("startProcessIfKilledOkResult"), false);
        return reply;
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
    const QString divider = getPlatformPathDivider();
    const QString folder = Session.dataTempLocation + divider + QStringLiteral("licenses");
    const QString target = folder + divider + path;
    const QString outside = QStringLiteral("Not allowed to write outside the licenses folder!");
    const QString noFolder = QStringLiteral("Failed to create the directory for file %1!");
    if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return finish(930, outside, {}, false);
    if (!QDir().mkpath(folder)) return finish(940, noFolder.arg(target), {}, false);
    if (!pathResolver::staysInside(target, folder)) return finish(930, outside, {}, false);
    if (!createDirectoryIfNeeded(target)) return finish(940, noFolder.arg(target), {}, false);
    // License files may be binary: the decoded bytes are written exactly, and atomically.
    const saveResultStruct saved =
        saveFile(target, QByteArray::fromBase64(licenseData), false, true);
    if (saved.errorCode > 0) return finish(saved.errorCode, saved.errorDescription, {}, false);

    QString info = QStringLiteral("Saved file '%1'\n").arg(target);
    bool killed = false;
    if (!killName.isEmpty()) {
        const QJsonObject kill = killProcessByName(
            {{QStringLiteral("processName"), killName}, {QStringLiteral("processNID"), nodeId}});
        killed = kill.value(QStringLiteral("errorCode")).toInt() < 1;
        info += killed ? QStringLiteral("Killed process %1 if existed\n").arg(killName)
                       : QStringLiteral("Failed to kill process %1\n").arg(killName);
    }
    if (!startName.isEmpty()) info += QStringLiteral("Not supported to start process yet\n");
    return finish(0, QString(), info, killed);
}

QJsonObject utilsModel::getNodes(QVariantMap) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}

QJsonObject utilsModel::rebootDevice(QVariantMap) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}

QJsonObject utilsModel::restartClient(QVariantMap) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
