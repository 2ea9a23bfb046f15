#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantMap>

class logger;

// Echo requests to devices on the shop network, several addresses at once, with a result for
// every address. Every ping run is logged.
class pingCommands {
  public:
    explicit pingCommands(const logger &log);

    QJsonObject pingDevices(const QVariantMap &data) const;
    QJsonObject pingDevice(const QString &ipAddresss, int pingHops, bool doFlood) const;

  private:
    const logger &m_log;
};
