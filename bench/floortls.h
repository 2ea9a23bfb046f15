#pragma once

// How the floor programs reach the bench's server: one TLS connection that trusts the given CA
// and verifies the server the way the client does.

#include <QByteArray>
#include <QSslConfiguration>
#include <QSslSocket>

inline void connectVerified(QSslSocket &socket, const QString &host, quint16 port,
                            const QByteArray &caPem) {
    QSslConfiguration config = socket.sslConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setCaCertificates(QSslCertificate::fromData(caPem, QSsl::Pem));
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(host, port);
}
