#pragma once

#include <QJsonObject>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <functional>

#include "clientconnection.h"
#include "clientframer.h"
#include "serveroptions.h"

// Accepts the client's TLS connections, prints everything that crosses from the client as
// JSON lines on stdout, and answers registrations and keep-alives as the options say.
class DevServer : public QTcpServer {
    Q_OBJECT
  public:
    explicit DevServer(const ServerOptions &options, QObject *parent = nullptr);

    // Loads the certificate and key and listens on 127.0.0.1; false with *error on failure.
    bool start(QString *error);
    // Exits the event loop with code as soon as nothing queued is left to write.
    void exitWhenFlushed(int code);
    // Replace the --register and --keepalive modes by a choice per occasion.
    void setRegisterChooser(std::function<RegisterMode(ClientConnection *)> chooser);
    void setKeepAliveChooser(std::function<KeepAliveMode(ClientConnection *)> chooser);

  signals:
    void registered(ClientConnection *connection);
    void messageReceivedOn(ClientConnection *connection, const QJsonObject &message);
    void connectionOpened(ClientConnection *connection);
    void connectionClosed(ClientConnection *connection);

  protected:
    void incomingConnection(qintptr handle) override;

  private:
    void handleFrame(ClientConnection *connection, const ClientFramer::Frame &frame);
    void answerRegistration(ClientConnection *connection);
    void answerKeepAlive(ClientConnection *connection);
    void removeConnection(ClientConnection *connection);
    void exitIfFlushed();

    const ServerOptions m_options;
    QList<QSslCertificate> m_certificates;
    QSslKey m_key;
    QList<ClientConnection *> m_connections;
    int m_connectionCount = 0;
    int m_registrationCount = 0;
    int m_keepAliveCount = 0;
    int m_exitCode = -1;  // -1: keep running
    std::function<RegisterMode(ClientConnection *)> m_registerChooser;
    std::function<KeepAliveMode(ClientConnection *)> m_keepAliveChooser;
};
