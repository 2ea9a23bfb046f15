#pragma once

#include <QJsonObject>
#include <QVariantMap>

#include "core/globals.h"

class logger;

// Deployment of license files into the "licenses" folder of the temporary directory of
// `session`, and the commands the client accepts but does not carry out.
class deploymentCommands {
  public:
    deploymentCommands(const sessionStruct &session, const logger &log);

    QJsonObject pushLicense(const QVariantMap &data) const;
    static QJsonObject getNodes(const QVariantMap &data);
    static QJsonObject rebootDevice(const QVariantMap &data);
    static QJsonObject restartClient(const QVariantMap &data);

  private:
    const sessionStruct &m_session;
    const logger &m_log;
};
