#include "clientconnection.h"

#include <sys/socket.h>

#include <QDebug>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTimer>

ClientConnection::ClientConnection(int id, QSslSocket *socket, int segmentMin, int segmentMax,
                                   QObject *parent)
    : QObject(parent),
      m_id(id),
      m_socket(socket),
      m_segmentMin(segmentMin),
      m_segmentMax(segmentMax) {
    m_socket->setParent(this);
    // Small segments must leave as they are written, not merged by Nagle's algorithm.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QSslSocket::readyRead, this, &ClientConnection::readAvailable);
    connect(m_socket, &QSslSocket::encrypted, this, &ClientConnection::schedulePump);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &ClientConnection::schedulePump);
    connect(m_socket, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), this,
            &ClientConnection::reportSslErrors);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError) {
            emit sslError(m_socket->errorString());
        } else {
            qInfo().noquote() << "conn" << m_id << "socket error:" << m_socket->errorString();
        }
    });
    connect(m_socket, &QSslSocket::disconnected, this, &ClientConnection::closed);
}

void ClientConnection::send(const QByteArray &bytes) {
    m_outgoing.enqueue(bytes);
    schedulePump();
}

void ClientConnection::close() {
    m_closeWhenFlushed = true;
    schedulePump();
}

void ClientConnection::reset() {
    m_outgoing.clear();
    // A zero linger time makes the close send RST instead of FIN.
    const linger immediately{1, 0};
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &immediately,
                 sizeof immediately);
    m_socket->abort();
}

bool ClientConnection::isFlushed() const {
    return m_outgoing.isEmpty() && m_socket->bytesToWrite() == 0 &&
           m_socket->encryptedBytesToWrite() == 0;
}

void ClientConnection::readAvailable() {
    for (const ClientFramer::Frame &frame : m_framer.feed(m_socket->readAll())) {
        emit frameReceived(frame);
    }
}

void ClientConnection::schedulePump() {
    if (m_pumpScheduled) return;
    m_pumpScheduled = true;
    // Returning to the event loop between writes lets every segment leave on its own.
    QTimer::singleShot(0, this, &ClientConnection::pump);
}

void ClientConnection::pump() {
    m_pumpScheduled = false;
    if (!m_socket->isEncrypted()) return;
    // The next write waits until the previous one has reached the network.
    if (m_socket->bytesToWrite() > 0 || m_socket->encryptedBytesToWrite() > 0) return;
    if (m_outgoing.isEmpty()) {
        emit flushed();
        if (m_closeWhenFlushed) m_socket->disconnectFromHost();
        return;
    }
    QByteArray &head = m_outgoing.head();
    const int size =
        m_segmentMin > 0
            ? qMin(head.size(), QRandomGenerator::global()->bounded(m_segmentMin, m_segmentMax + 1))
            : head.size();
    m_socket->write(head.constData(), size);
    m_socket->flush();
    head.remove(0, size);
    if (head.isEmpty()) m_outgoing.dequeue();
    schedulePump();
}

void ClientConnection::reportSslErrors(const QList<QSslError> &errors) {
    for (const QSslError &error : errors) emit sslError(error.errorString());
}
