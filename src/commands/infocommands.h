#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include "core/globals.h"

class logger;

// The client's uptime, the free settings of the group "Various", and facts about the device:
// its running time, its clock and its free disk space.
class infoCommands {
  public:
    infoCommands(const settingsStruct &settings, const appSessionStruct &app, const logger &log);

    QJsonObject getClientInfo(const QVariantMap &data) const;
    QJsonObject getVariousSetting(const QVariantMap &data) const;
    QJsonObject getPosInfo(const QVariantMap &data) const;
    // "1 hour 1 minute 1 second": fixed unit lengths (a year of 365 days, a month of 30).
    static QString formatDuration(qint64 seconds);

  private:
    const settingsStruct &m_settings;
    const appSessionStruct &m_app;
    const logger &m_log;
};
