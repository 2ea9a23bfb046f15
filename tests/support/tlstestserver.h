#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

// A TLS server on 127.0.0.1 with a given certificate, for tests of the client's link. It keeps
// what each connection sent (after decryption) and can drop connections on request.
class TlsTestServer : public QTcpServer {
    Q_OBJECT
public:
    TlsTestServer(const QString &certPath, const QString &keyPath);
    quint16 start();  // listens on 127.0.0.1, port 0; returns the port

    int connectionCount() const { return m_connections.size(); }
    int encryptedCount() const { return m_encrypted; }
    QByteArray received(int connection) const;
    QSslSocket *connection(int index) const { return m_connections.value(index); }
    void closeAll();
    void setCloseOnAccept(bool close) { m_closeOnAccept = close; }

signals:
    void dataReceived();
    void newEncryptedConnection();

protected:
    void incomingConnection(qintptr handle) override;

private:
    QSslCertificate m_cert;
    QSslKey m_key;
    QList<QPointer<QSslSocket>> m_connections;
    QList<QByteArray> m_received;
    int m_encrypted = 0;
    bool m_closeOnAccept = false;
};
