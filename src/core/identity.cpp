#include <QFile>
#include <QFileDevice>
#include <QNetworkInterface>
#include <QUuid>

#include "commands/utilsmodel.h"

void utilsModel::getMAC_addresses() {
    appSession.macAddress_license.clear();
    appSession.macAddress_read = getMAC_address().remove(QLatin1Char(':')).left(12);
    if (Settings.getAlternative_MAC) {
        appSession.macAddress_license = QStringLiteral("TEST0ALT0MAC");
        return;
    }
    QNetworkInterface chosen;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        if (!iface.flags().testFlag(QNetworkInterface::IsLoopBack)) {
            chosen = iface;
            break;
        }
    }
    appSession.macAddress_read = chosen.hardwareAddress();
    if (appSession.macAddress_license.isEmpty()) {
        appSession.macAddress_license = appSession.macAddress_read;
        if (appSession.macAddress_license.isEmpty()) {
            appSession.macAddress_license = appSession.thisDeviceID.isEmpty()
                                                ? QStringLiteral("????????????")
                                                : appSession.thisDeviceID;
        }
    }
}

void utilsModel::getCurrentIP() {
    appSession.currentIP = QStringLiteral("0.0.0.0");
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) continue;
            const QString text = entry.ip().toString();
            addDebugText(305, QStringLiteral("IP address: %1").arg(text),
                         QStringLiteral("utilsModel::getCurrentIP"), true, true);
            if (text.startsWith(QLatin1String("169."))) continue;
            appSession.currentIP = text;
        }
    }
}

bool utilsModel::getGeneratedDeviceID() {
    const QString id = QStringLiteral("utilsModel::getGeneratedDeviceID");
    const QString writeId = QStringLiteral("utilsModel::getGeneratedDevideID");
    const QString path = Session.dataSettingsLocation + QStringLiteral("tessaron_device_id.dat");
    addDebugText(745, QStringLiteral("Generate an Device ID if needed"), id, true, true);
    QString deviceId;
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text))
            deviceId = QString::fromUtf8(file.readAll());
        else
            addDebugText(746,
                         QStringLiteral("tessaron_device_id.dat doesn't exist or can't be opened"),
                         id, true, true);
    }
    if (deviceId.isEmpty()) {
        deviceId = QUuid::createUuid().toString(QUuid::WithBraces);
        addDebugText(746,
                     QStringLiteral("Generated Device ID %1 and try to save tessaron_device_id.dat")
                         .arg(deviceId),
                     id, true, true);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            file.write(deviceId.toUtf8());
            file.close();
            addDebugText(747, QStringLiteral("Created device UID %1 and saved...").arg(deviceId),
                         writeId, true, true);
            QString readBack;
            if (file.open(QIODevice::ReadOnly | QIODevice::Text))
                readBack = QString::fromUtf8(file.readAll());
            if (readBack != deviceId) {
                addDebugText(999,
                             QStringLiteral("Write device UID %1 seemed to have failed (got %2)")
                                 .arg(deviceId, readBack),
                             writeId, true, true);
                deviceId.clear();
            }
        }
    }
    if (deviceId.isEmpty()) return false;
    appSession.unique_deviceID = deviceId;
    return true;
}

QString utilsModel::getMAC_address() { return QStringLiteral("0F0102030405"); }

bool utilsModel::getOsDetails() {
    appSession.versionCode = 3330;
    appSession.os_type = QStringLiteral("Linux");
    appSession.os_version = 0;
    appSession.os_buildnumber = QStringLiteral("0");
    appSession.os_deviceType = QStringLiteral("TEST_LINUX");
    return true;
}

bool utilsModel::getVersionDetails() {
    appSession.versionCode = 3330;
    return true;
}

double utilsModel::getDpi() { return 1.0; }
QString utilsModel::getIMEI() { return QStringLiteral("IMEI12345678TEST"); }

QString utilsModel::getDeviceId() {
    appSession.deviceId = QStringLiteral("_IN_DEBUG_");
    return appSession.deviceId;
}

QString utilsModel::getAndroidId() {
    appSession.androidId = QStringLiteral("_IN_DEBUG_");
    return appSession.androidId;
}

QString utilsModel::getLogCatData(const QString &, const QString &) { return {}; }
int utilsModel::restartApp() { return 0; }
bool utilsModel::hasPermission(const QString &) { return true; }
void utilsModel::requestPermissionIfNeeded(const QString &) {}
