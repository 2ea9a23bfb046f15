#include "tlstestserver.h"

#include <QFile>
#include <QSslKey>

namespace {
QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}  // namespace

TlsTestServer::TlsTestServer(const QString &certPath, const QString &keyPath)
    : m_cert(readAll(certPath), QSsl::Pem), m_key(readAll(keyPath), QSsl::Rsa, QSsl::Pem) {}

quint16 TlsTestServer::start() {
    listen(QHostAddress::LocalHost, 0);
    return serverPort();
}

QByteArray TlsTestServer::received(int connection) const { return m_received.value(connection); }

void TlsTestServer::closeAll() {
    for (const auto &socket : m_connections)
        if (socket) socket->abort();
}

void TlsTestServer::incomingConnection(qintptr handle) {
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    const int index = m_connections.size();
    m_connections.append(socket);
    m_received.append(QByteArray());
    if (m_closeOnAccept) {
        socket->abort();
        return;
    }
    socket->setLocalCertificate(m_cert);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(socket, &QSslSocket::encrypted, this, [this] {
        ++m_encrypted;
        emit newEncryptedConnection();
    });
    connect(socket, &QSslSocket::readyRead, this, [this, socket, index] {
        m_received[index] += socket->readAll();
        emit dataReceived();
    });
    socket->startServerEncryption();
}
