#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

#include "relaycommand.h"

class QSocketNotifier;

// One accepted connection and, unless it was accepted into a stall, its own connection to the
// target. Bytes are moved by hand between the two non-blocking sockets and at most one chunk
// waits in between, so "not reading" really leaves the data in the kernel's small receive buffer
// and the sender feels it at once.
class RelayConnection : public QObject {
    Q_OBJECT
  public:
    RelayConnection(int id, int clientFd, const RelayMode &mode, QObject *parent = nullptr);

    // Reports the accept and, unless stalled, connects to the target port on 127.0.0.1.
    void start(quint16 targetPort);

    int id() const { return m_id; }
    void setMode(const RelayMode &mode);
    // SlowRead: what this connection may read from its client until the next grant.
    void grantReadBudget(qint64 bytes);
    // Drops both sides at once with a reset.
    void reset();
    // {"conn", "up", "down"}: bytes passed on to the server and to the client so far.
    QJsonObject counters() const;

  signals:
    // Both sides are closed; the connection can be deleted.
    void finished(RelayConnection *connection);

  private:
    enum Side { Client, Server };
    // One direction: bytes read from `from` wait in `pending` until `to` takes them.
    struct Flow {
        explicit Flow(Side from) : source(from) {}
        const Side source;
        int from = -1;
        int to = -1;
        QSocketNotifier *readable = nullptr;  // on `from`
        QSocketNotifier *writable = nullptr;  // on `to`
        QByteArray pending;
        qint64 forwarded = 0;
        bool ended = false;     // `from` sent its end of stream
        bool shutDown = false;  // and that end was passed on to `to`
    };

    void connectUpstream(quint16 targetPort);
    void upstreamWritable();
    void discardFromClient();
    void readFrom(Flow &flow);
    void pump(Flow &flow);
    bool allowed(const Flow &flow) const;      // the mode lets this direction flow
    bool rateLimited(const Flow &flow) const;  // SlowRead: reads wait for the budget
    // The one way a connection ends: print who closed it and why, close both sockets (with a
    // reset when asked), and report finished.
    void finish(const QString &by, const QString &reason, bool resetSockets);

    const int m_id;
    const bool m_stalled;  // accepted into a stall: never connected, never forwarded
    RelayMode m_mode;
    int m_clientFd;
    int m_upstreamFd = -1;
    bool m_connecting = false;
    bool m_finished = false;
    qint64 m_budget = 0;
    qint64 m_discarded = 0;
    QString m_firstEnd;  // the side that ended its stream first
    Flow m_up{Client};
    Flow m_down{Server};
};
