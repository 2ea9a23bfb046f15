#include "core/identity.h"

#include <QFile>
#include <QFileDevice>
#include <QNetworkInterface>
#include <QUuid>

#include "core/log.h"

deviceIdentity::deviceIdentity(appSessionStruct &app, const settingsStruct &settings,
                               const QString &deviceIdFile, const logger &log)
    : m_app(app), m_settings(settings), m_deviceIdFile(deviceIdFile), m_log(log) {}

void deviceIdentity::getMAC_addresses() {
    m_app.macAddress_license.clear();
    m_app.macAddress_read = getMAC_address().remove(QLatin1Char(':')).left(12);
    if (m_settings.getAlternative_MAC) {
        m_app.macAddress_license = QStringLiteral("TEST0ALT0MAC");
        return;
    }
    QNetworkInterface chosen;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        if (!iface.flags().testFlag(QNetworkInterface::IsLoopBack)) {
            chosen = iface;
            break;
        }
    }
    m_app.macAddress_read = chosen.hardwareAddress();
    if (m_app.macAddress_license.isEmpty()) {
        m_app.macAddress_license = m_app.macAddress_read;
        if (m_app.macAddress_license.isEmpty()) {
            m_app.macAddress_license =
                m_app.thisDeviceID.isEmpty() ? QStringLiteral("????????????") : m_app.thisDeviceID;
        }
    }
}

void deviceIdentity::getCurrentIP() {
    m_app.currentIP = QStringLiteral("0.0.0.0");
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) continue;
            const QString text = entry.ip().toString();
            m_log.write(305, QStringLiteral("IP address: %1").arg(text),
                        QStringLiteral("deviceIdentity::getCurrentIP"), true, true);
            if (text.startsWith(QLatin1String("169."))) continue;
            m_app.currentIP = text;
        }
    }
}

bool deviceIdentity::getGeneratedDeviceID() {
    const QString id = QStringLiteral("deviceIdentity::getGeneratedDeviceID");
    const QString writeId = QStringLiteral("deviceIdentity::getGeneratedDevideID");
    const QString &path = m_deviceIdFile;
    m_log.write(745, QStringLiteral("Generate an Device ID if needed"), id, true, true);
    QString deviceId;
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text))
            deviceId = QString::fromUtf8(file.readAll());
        else
            m_log.write(746,
                        QStringLiteral("tessaron_device_id.dat doesn't exist or can't be opened"),
                        id, true, true);
    }
    if (deviceId.isEmpty()) {
        deviceId = QUuid::createUuid().toString(QUuid::WithBraces);
        m_log.write(746,
                    QStringLiteral("Generated Device ID %1 and try to save tessaron_device_id.dat")
                        .arg(deviceId),
                    id, true, true);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            file.write(deviceId.toUtf8());
            file.close();
            m_log.write(747, QStringLiteral("Created device UID %1 and saved...").arg(deviceId),
                        writeId, true, true);
            QString readBack;
            if (file.open(QIODevice::ReadOnly | QIODevice::Text))
                readBack = QString::fromUtf8(file.readAll());
            if (readBack != deviceId) {
                m_log.write(999,
                            QStringLiteral("Write device UID %1 seemed to have failed (got %2)")
                                .arg(deviceId, readBack),
                            writeId, true, true);
                deviceId.clear();
            }
        }
    }
    if (deviceId.isEmpty()) return false;
    m_app.unique_deviceID = deviceId;
    return true;
}

QString deviceIdentity::getMAC_address() const { return QStringLiteral("0F0102030405"); }

bool deviceIdentity::getOsDetails() {
    m_app.versionCode = 3330;
    m_app.os_type = QStringLiteral("Linux");
    m_app.os_version = 0;
    m_app.os_buildnumber = QStringLiteral("0");
    m_app.os_deviceType = QStringLiteral("TEST_LINUX");
    return true;
}

bool deviceIdentity::getVersionDetails() {
    m_app.versionCode = 3330;
    return true;
}

double deviceIdentity::getDpi() const { return 1.0; }
QString deviceIdentity::getIMEI() const { return QStringLiteral("IMEI12345678TEST"); }

QString deviceIdentity::getDeviceId() {
    m_app.deviceId = QStringLiteral("_IN_DEBUG_");
    return m_app.deviceId;
}

QString deviceIdentity::getAndroidId() {
    m_app.androidId = QStringLiteral("_IN_DEBUG_");
    return m_app.androidId;
}

QString deviceIdentity::getLogCatData(const QString &, const QString &) const { return {}; }
int deviceIdentity::restartApp() const { return 0; }
bool deviceIdentity::hasPermission(const QString &) const { return true; }
void deviceIdentity::requestPermissionIfNeeded(const QString &) const {}
