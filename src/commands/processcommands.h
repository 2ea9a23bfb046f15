#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include "core/globals.h"

class logger;

// The processes of the device: listed by "ps", filtered, found by program name, and killed
// with SIGKILL. Every program run and every kill is logged.
class processCommands {
  public:
    explicit processCommands(const logger &log);

    QJsonObject getProcesses(const QVariantMap &data) const;
    QJsonObject getProcessInfo(const QVariantMap &data) const;
    variousResultStruct findPidsByName(const QString &processName) const;
    QJsonObject killPidById(const QVariantMap &data) const;
    QJsonObject killProcessByName(const QVariantMap &data) const;

  private:
    QJsonObject runForReply(const QString &program, const QStringList &arguments) const;

    const logger &m_log;
};
