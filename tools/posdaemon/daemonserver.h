#pragma once

#include <QObject>
#include <QString>
#include <QTcpServer>

#include "daemonconfig.h"
#include "replytable.h"

// Accepts connections on 127.0.0.1 and gives each its own DaemonConnection, numbered from 1.
class DaemonServer : public QObject {
    Q_OBJECT
  public:
    DaemonServer(const DaemonConfig &config, const ReplyTable &table, QObject *parent = nullptr);

    bool listen(QString *error);
    quint16 port() const;

  private:
    void acceptPending();

    const DaemonConfig m_config;
    const ReplyTable m_table;
    QTcpServer m_server;
    int m_lastConnection = 0;
    QRandomGenerator m_random;
};
