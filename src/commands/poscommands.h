#pragma once

#include <QJsonObject>
#include <QVariantMap>

#include "core/globals.h"

class logger;
class posTools;

// The commands the server sends to the POS daemon: test the connection, send a raw command,
// close an open account. Each is one exchange of the POS session it is given.
class posCommands {
  public:
    posCommands(posTools &session, const logger &log);

    QJsonObject testConnection(const QVariantMap &data);
    QJsonObject doDeamonCommand(const QVariantMap &dataMap);
    QJsonObject doAccCloseIfNeeded();

  private:
    QJsonObject daemonReply(bool completed, const posDataResponseStruct &response,
                            int requiredCode) const;

    posTools &m_session;
    const logger &m_log;
};
