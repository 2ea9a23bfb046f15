#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

// A TLS server on 127.0.0.1 with a given certificate, for tests of the client's link. It keeps
// what each connection sent (after decryption) and can answer the registration and keep-alives,
// send anything, read slowly or not at all, never start TLS, and drop connections on request.
class TlsTestServer : public QTcpServer {
    Q_OBJECT
  public:
    TlsTestServer(const QString &certPath, const QString &keyPath);
    quint16 start();  // listens on 127.0.0.1, port 0; returns the port

    int connectionCount() const { return m_connections.size(); }
    int encryptedCount() const { return m_encrypted; }
    QByteArray received(int connection) const;
    QSslSocket *connection(int index) const { return m_connections.value(index); }
    void send(int connection, const QByteArray &bytes);
    void closeAll();
    void setCloseOnAccept(bool close) { m_closeOnAccept = close; }
    // Accept TCP and then say nothing at all: a server that never answers the TLS handshake.
    void setSilentAccept(bool silent) { m_silentAccept = silent; }
    // Sent once per connection when the registration has arrived; empty: no answer.
    void setRegistrationAnswer(const QByteArray &answer) { m_registrationAnswer = answer; }
    void setKeepAliveAnswers(bool answer) { m_answerKeepAlives = answer; }
    // Bytes per second taken from each connection: -1 all at once, 0 none. A limited rate set
    // before start() also keeps the kernel's receive buffers small, so that the client really
    // meets a slow reader instead of buffers that swallow megabytes.
    void setReadRate(qint64 bytesPerSecond);

  signals:
    void dataReceived();
    void newEncryptedConnection();

  protected:
    void incomingConnection(qintptr handle) override;

  private:
    qint64 readBufferBytes() const;
    void take(int index, qint64 maxBytes);
    void readSlowly();

    QSslCertificate m_cert;
    QSslKey m_key;
    QList<QPointer<QSslSocket>> m_connections;
    QList<QByteArray> m_received;
    QList<bool> m_registrationAnswered;
    int m_encrypted = 0;
    bool m_closeOnAccept = false;
    bool m_silentAccept = false;
    bool m_answerKeepAlives = false;
    QByteArray m_registrationAnswer;
    qint64 m_readRate = -1;
    QTimer m_readTimer;
};
