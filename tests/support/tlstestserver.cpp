#include "tlstestserver.h"

#include <sys/socket.h>

#include <QFile>
#include <QSslKey>
#include <QTcpSocket>

namespace {
constexpr int readTicksPerSecond = 10;
constexpr int smallBufferBytes = 16 * 1024;

QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}  // namespace

TlsTestServer::TlsTestServer(const QString &certPath, const QString &keyPath)
    : m_cert(readAll(certPath), QSsl::Pem), m_key(readAll(keyPath), QSsl::Rsa, QSsl::Pem) {
    m_readTimer.setInterval(1000 / readTicksPerSecond);
    connect(&m_readTimer, &QTimer::timeout, this, &TlsTestServer::readSlowly);
}

quint16 TlsTestServer::start() {
    listen(QHostAddress::LocalHost, 0);
    if (m_readRate >= 0) {
        const int size = smallBufferBytes;
        ::setsockopt(int(socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return serverPort();
}

qint64 TlsTestServer::readBufferBytes() const {
    return qMax<qint64>(smallBufferBytes, m_readRate / readTicksPerSecond);
}

void TlsTestServer::setReadRate(qint64 bytesPerSecond) {
    m_readRate = bytesPerSecond;
    for (const auto &socket : m_connections)
        if (socket) socket->setReadBufferSize(m_readRate < 0 ? 0 : readBufferBytes());
    if (m_readRate < 0) {
        m_readTimer.stop();
        for (int i = 0; i < m_connections.size(); ++i) take(i, -1);
    } else {
        m_readTimer.start();
    }
}

QByteArray TlsTestServer::received(int connection) const { return m_received.value(connection); }

void TlsTestServer::send(int connection, const QByteArray &bytes) {
    if (QSslSocket *socket = m_connections.value(connection)) socket->write(bytes);
}

void TlsTestServer::closeAll() {
    for (const auto &socket : m_connections)
        if (socket) socket->abort();
}

void TlsTestServer::take(int index, qint64 maxBytes) {
    QSslSocket *socket = m_connections.value(index);
    if (!socket) return;
    const QByteArray bytes = maxBytes < 0 ? socket->readAll() : socket->read(maxBytes);
    if (bytes.isEmpty()) return;
    QByteArray &received = m_received[index];
    received += bytes;
    if (m_answerKeepAlives) {
        // Frames may be split across reads: only those that are now complete are answered.
        const int before = (received.size() - bytes.size());
        const int seen = received.left(before).count("\x02_KA_\x03");
        for (int n = received.count("\x02_KA_\x03") - seen; n > 0; --n)
            socket->write("\x02_KAS_\x03");
    }
    if (!m_registrationAnswer.isEmpty() && !m_registrationAnswered[index] &&
        received.contains("registerPOS") && received.contains('\n')) {
        m_registrationAnswered[index] = true;
        socket->write(m_registrationAnswer);
    }
    emit dataReceived();
}

void TlsTestServer::readSlowly() {
    const qint64 slice = m_readRate / readTicksPerSecond;
    if (slice <= 0) return;
    for (int i = 0; i < m_connections.size(); ++i) take(i, slice);
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
    m_registrationAnswered.append(false);
    if (m_closeOnAccept) {
        socket->abort();
        return;
    }
    if (m_silentAccept) return;
    // Qt would otherwise take everything the kernel has into its own buffer.
    if (m_readRate >= 0) socket->setReadBufferSize(readBufferBytes());
    socket->setLocalCertificate(m_cert);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(socket, &QSslSocket::encrypted, this, [this] {
        ++m_encrypted;
        emit newEncryptedConnection();
    });
    connect(socket, &QSslSocket::readyRead, this, [this, index] {
        if (m_readRate < 0) take(index, -1);
    });
    socket->startServerEncryption();
}
