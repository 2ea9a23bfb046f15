#include "daemonserver.h"

#include <QHostAddress>

#include "daemonconnection.h"

DaemonServer::DaemonServer(const DaemonConfig &config, const ReplyTable &table, QObject *parent)
    : QObject(parent), m_config(config), m_table(table), m_random(config.randomSeed) {
    connect(&m_server, &QTcpServer::newConnection, this, &DaemonServer::acceptPending);
}

bool DaemonServer::listen(QString *error) {
    if (m_server.listen(QHostAddress::LocalHost, m_config.port)) return true;
    *error = QStringLiteral("cannot listen on 127.0.0.1:") + QString::number(m_config.port) +
             QStringLiteral(": ") + m_server.errorString();
    return false;
}

quint16 DaemonServer::port() const { return m_server.serverPort(); }

void DaemonServer::acceptPending() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_lastConnection;
        new DaemonConnection(m_lastConnection, socket,
                             m_config.forConnection(m_lastConnection, &m_random), m_table, this);
    }
}
