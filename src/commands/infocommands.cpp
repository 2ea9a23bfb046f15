#include "commands/infocommands.h"

#include <unistd.h>

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QStorageInfo>

#include "commands/processrunner.h"
#include "core/log.h"
#include "core/parameters.h"
#include "core/replies.h"

namespace {
constexpr int psTimeoutMs = 30000;
constexpr double bytesPerMb = 1048576.0;

QJsonObject onlineTime(const logger &log) {
    const QString pid = QString::number(::getpid());
    processRunner ps(log);
    ps.run(QStringLiteral("ps"),
           {QStringLiteral("-o"), QStringLiteral("etimes="), QStringLiteral("-p"), pid},
           psTimeoutMs);
    const QString output = ps.standardOutput().trimmed();
    bool ok = false;
    const qint64 seconds = output.toLongLong(&ok, 10);
    if (!ok) {
        qDebug() << "Error parsing ps output:" << output;
        return reply::error(909, output);
    }
    qDebug() << "Process" << pid << "has been running for" << seconds << "seconds";
    QJsonObject result = reply::error(0, QString());
    result.insert(QStringLiteral("infoTypeResults"), seconds);
    return result;
}

QJsonObject freeSpace() {
    float mbTotal = 0;
    float mbFree = 0;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : volumes) {
        if (!volume.isValid() || !volume.isReady() || !volume.isRoot()) continue;
        mbTotal = float(double(volume.bytesTotal()) / bytesPerMb);
        mbFree = float(double(volume.bytesAvailable()) / bytesPerMb);
        qDebug() << "Device:" << volume.device()
                 << "Free space:" << volume.bytesAvailable() / 1048576 << "MB";
    }
    QJsonObject result = reply::error(0, QString());
    result.insert(QStringLiteral("infoTypeResults"),
                  QJsonObject{{QStringLiteral("mbTotal"), double(mbTotal)},
                              {QStringLiteral("mbFree"), double(mbFree)}});
    return result;
}
}  // namespace

infoCommands::infoCommands(const settingsStruct &settings, const appSessionStruct &app,
                           const logger &log)
    : m_settings(settings), m_app(app), m_log(log) {}

QString infoCommands::formatDuration(qint64 seconds) {
    struct Unit {
        qint64 length;
        const char *word;
    };
    static const Unit units[] = {{31536000, " year"},
                                 {2592000, " month"},
                                 {86400, " day"},
                                 {3600, " hour"},
                                 {60, " minute"}};
    qint64 rest = qMax<qint64>(0, seconds);
    QString text;
    for (const Unit &unit : units) {
        const qint64 count = rest / unit.length;
        rest %= unit.length;
        if (count > 0)
            text += QString::number(count) + QLatin1String(unit.word) +
                    QLatin1String(count == 1 ? " " : "s ");
    }
    if (rest > 0 || text.isEmpty())
        text += QString::number(rest) + QLatin1String(rest >= 2 ? " seconds" : " second");
    return text;
}

QJsonObject infoCommands::getClientInfo(const QVariantMap &data) const {
    QJsonObject result = reply::error(0, QString());
    QString info;
    if (param::string(data, QStringLiteral("infoType")) == QLatin1String("upTime"))
        info = formatDuration(m_app.clientStartTime.secsTo(QDateTime::currentDateTime()));
    result.insert(QStringLiteral("infoResult"), info);
    return result;
}

QJsonObject infoCommands::getVariousSetting(const QVariantMap &data) const {
    const QString name = param::string(data, QStringLiteral("settingName"));
    m_log.write(100, QStringLiteral("Request for various setting %1").arg(logformat::escaped(name)),
                QStringLiteral("utilsModel::getVariousSetting"));
    QJsonObject result = reply::error(404, QStringLiteral("Unknown error"));
    QString value;
    if (name.isEmpty()) {
        result = reply::error(901, QStringLiteral("settingName not given!"));
    } else if (m_settings.variousSettings.contains(name)) {
        result = reply::error(0, QString());
        value = m_settings.variousSettings.value(name);
    }
    result.insert(QStringLiteral("settingName"), name);
    result.insert(QStringLiteral("settingValue"), value);
    return result;
}

QJsonObject infoCommands::getPosInfo(const QVariantMap &data) const {
    const QString type = param::string(data, QStringLiteral("InfoType"));
    if (type == QLatin1String("QuilletOnlineTime")) return onlineTime(m_log);
    if (type == QLatin1String("FreeSpace")) return freeSpace();
    if (type == QLatin1String("PosDateTime")) {
        QJsonObject result = reply::error(0, QString());
        result.insert(QStringLiteral("infoTypeResults"), QDateTime::currentMSecsSinceEpoch());
        return result;
    }
    return reply::error(404, QStringLiteral("Unknown InfoType: %1").arg(type));
}
