#pragma once

#include <QString>

#include "core/globals.h"

class logger;

// Who this device is: the MAC address the registration sends, the current IPv4 address, a
// generated device identifier kept in a file, and the fixed answers that stand in for what
// only a handheld platform would have.
class deviceIdentity {
  public:
    deviceIdentity(appSessionStruct &app, const settingsStruct &settings,
                   const QString &deviceIdFile, const logger &log);

    void getMAC_addresses();
    void getCurrentIP();
    bool getGeneratedDeviceID();
    QString getMAC_address() const;
    bool getOsDetails();
    bool getVersionDetails();
    double getDpi() const;
    QString getIMEI() const;
    QString getDeviceId();
    QString getAndroidId();
    QString getLogCatData(const QString &, const QString &) const;
    int restartApp() const;
    bool hasPermission(const QString &) const;
    void requestPermissionIfNeeded(const QString &) const;

  private:
    appSessionStruct &m_app;
    const settingsStruct &m_settings;
    const QString m_deviceIdFile;
    const logger &m_log;
};
