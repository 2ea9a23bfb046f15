#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QSslError>

#include "clientframer.h"

class QSslSocket;

// One TLS connection from the client: frames what arrives and writes what is queued, each
// message whole or, with segments set, in writes of random sizes.
class ClientConnection : public QObject {
    Q_OBJECT
  public:
    // segmentMin 0 writes every message in one go.
    ClientConnection(int id, QSslSocket *socket, int segmentMin, int segmentMax,
                     QObject *parent = nullptr);

    int id() const { return m_id; }
    void send(const QByteArray &bytes);
    // Closes once everything queued has been written.
    void close();
    // Drops the connection at once with a TCP reset; what is queued is lost.
    void reset();
    bool isFlushed() const;

  signals:
    void frameReceived(const ClientFramer::Frame &frame);
    void sslError(const QString &text);
    void flushed();
    void closed();

  private:
    void readAvailable();
    void schedulePump();
    void pump();
    void reportSslErrors(const QList<QSslError> &errors);

    const int m_id;
    QSslSocket *const m_socket;
    const int m_segmentMin;
    const int m_segmentMax;
    ClientFramer m_framer;
    QQueue<QByteArray> m_outgoing;
    bool m_pumpScheduled = false;
    bool m_closeWhenFlushed = false;
};
