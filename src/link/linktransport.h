#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QSslError>
#include <QString>
#include <QTimer>
#include <memory>

#include "core/bytesource.h"
#include "link/messageframer.h"

class QSslSocket;

// The TLS connection to the management server and everything that keeps it alive: the
// connection state, a deadline for every phase, keep-alives, the outgoing frames and the
// incoming messages, and the reconnection after every loss. It knows frames and messages as
// bytes only; what they mean is the business of the link that uses it.
//
// The rule it keeps: the connection is either healthy, or on its way down (bounded), or on its
// way to a new one. Every give-up goes through close(), which logs the reason once and aborts.
class linkTransport : public QObject {
    Q_OBJECT
  public:
    enum class State { Unconnected, Connecting, Encrypted, Registered, Paused, Closing };
    Q_ENUM(State)

    // The deadlines of the link. The defaults are the product's; tests pass shorter ones.
    struct Timing {
        int reconnectDelayMs = 3000;
        // TCP connect and TLS handshake together.
        int handshakeTimeoutMs = 15000;
        // Nothing received for this long: a keep-alive request probes the server.
        int keepAliveIntervalMs = 25000;
        // A keep-alive request that left gets an answer, or any other data, within this.
        int keepAliveAnswerMs = 10000;
        // A graceful close that has not finished by then is cut short.
        int closeGraceMs = 2000;
    };

    // After repeated failed attempts the delay may grow, with jitter, for fleets that would
    // otherwise all come back in the same second; the defaults keep a fixed delay.
    struct Backoff {
        int maxDelaySeconds = 3;
        int jitterPercent = 0;
    };

    // Complete messages waiting while a command runs; a server that sends more is misbehaving.
    static constexpr int maxQueuedMessages = 100;
    static constexpr qint64 maxQueuedBytes = messageFramer::defaultMaxMessageBytes;

    // Takes ownership of the socket, which carries the trust settings (see newServerSocket).
    explicit linkTransport(QSslSocket *socket, QObject *parent = nullptr);
    ~linkTransport() override;

    void setTiming(const Timing &timing) { m_timing = timing; }
    void setBackoff(const Backoff &backoff) { m_backoff = backoff; }
    // The delay before the next attempt after `failures` attempts in a row that did not
    // register, before jitter; 0 failures is a loss of a registered connection.
    qint64 reconnectDelayMs(int failures) const;

    // The server of the next connection; the one under way keeps its own.
    void setServer(const QString &host, quint16 port);
    void connectToHost();
    // Ends the connection: gracefully (output first, bounded by closeGraceMs) or at once.
    // The reason is logged once; the reconnection follows unless paused.
    enum class CloseMode { Graceful, Abort };
    void close(int logCode, const QString &source, const QString &reason, CloseMode mode);
    // The server accepted the registration; resets the back-off.
    void markRegistered();
    // The server asked the client to stay away: close gracefully, reconnect after `seconds`.
    void pause(qint64 seconds);

    State state() const { return m_state; }
    QString hostPort() const;
    // Counts connections, so that a reply never leaves on another connection than its command.
    quint64 generation() const { return m_generation; }

    // Queues a frame for the connection of `generation`; frames leave whole and in order. A
    // frame fails the connection when none of its bytes leave for timeoutS, counted from the
    // moment it is next in line (not while frames before it drain). False when not queued.
    bool send(const QByteArray &frame, int timeoutS, const QString &label, quint64 generation);
    // The same for a frame made while it leaves, one slice whenever the socket has handed the
    // last one to the kernel. A source that fails breaks the connection off: the server must
    // never take a cut frame for a whole one.
    bool sendStreamed(std::shared_ptr<byteSource> frame, int timeoutS, const QString &label,
                      quint64 generation);
    // Sends a keep-alive request unless one is under way.
    void sendKeepAlive();
    // No frame is queued or in the socket's buffers (the kernel may still hold some).
    bool outputIdle() const;
    // Moreover the server has acknowledged every byte sent.
    bool outputDelivered() const;

    // Long strings of a message go to spool files in `directory` as the message arrives, at
    // most `maxSpooledBytes` of them a message and leaving `reserveBytes` free on the disk (see
    // messageFramer::setSpooling), from the next connection on.
    void setSpooling(const QString &directory, qint64 maxSpooledBytes, qint64 reserveBytes) {
        m_spoolDirectory = directory;
        m_maxSpooledBytes = maxSpooledBytes;
        m_spoolReserveBytes = reserveBytes;
    }
    // A string longer than this is kept on disk while it arrives.
    static constexpr qint64 spoolFromBytes = 4 * 1024 * 1024;
    // Received bytes the socket holds before they are taken.
    static constexpr qint64 readBufferBytes = 1024 * 1024;

    bool hasMessage() const { return !m_messages.isEmpty(); }
    messageFramer::Frame takeMessage();

  signals:
    void stateChanged(linkTransport::State state, const QString &detail);
    // TCP stands: the moment to queue the registration (it leaves once encrypted).
    void connected();
    void messageAvailable();
    // Emitted when the output becomes idle, and again once it is delivered.
    void outputDrained();

  private:
    struct OutFrame {
        QByteArray bytes;
        int timeoutS;
        QString label;
        bool keepAliveRequest;
        qint64 endOffset = 0;                // in the encrypted stream, once handed to the kernel
        std::shared_ptr<byteSource> source;  // the rest of a streamed frame
    };

    void setState(State state, const QString &detail = QString());
    bool isOpen() const;  // encrypted, registered or not
    void shutDown(const QString &reason, CloseMode mode);
    void onSocketStateChanged(int socketState);
    void onClosed();
    void onSocketError(int socketError);
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void onReadyRead();
    void onBytesLeft(qint64 bytes);
    void sampleProgress();
    void takeFrames(const QByteArray &chunk);
    void queueMessage(const messageFramer::Frame &message);
    void pump();
    void advance();
    bool feed();
    bool socketDrained() const;
    void scheduleReconnect();
    QString reconnectDetail(qint64 delayMs) const;
    void reconnect();
    void stopTimers();
    void clearOutput();
    void setSocketOptions();
    void log(int code, const QString &text, const QString &source, bool toFile = true) const;

    QSslSocket *m_socket;
    Timing m_timing;
    Backoff m_backoff;
    State m_state = State::Unconnected;
    QString m_host;
    quint16 m_port = 0;
    quint64 m_generation = 0;
    int m_failedAttempts = 0;
    bool m_wasRegistered = false;  // this connection was
    bool m_pauseWanted = false;
    QString m_pauseDetail;
    QString m_closeReason;
    messageFramer m_framer;
    QQueue<messageFramer::Frame> m_messages;
    QString m_spoolDirectory;
    qint64 m_maxSpooledBytes = 0;
    qint64 m_spoolReserveBytes = 0;
    qint64 m_queuedBytes = 0;
    // A frame waits in m_outgoing, then leaves the socket's buffers (m_leaving, one at a time),
    // then waits in the kernel until the server acknowledged its last byte (m_inKernel).
    QQueue<OutFrame> m_outgoing;
    bool m_frameLeaving = false;
    OutFrame m_leaving;
    QQueue<OutFrame> m_inKernel;
    qint64 m_handedToKernel = 0;  // encrypted bytes, this connection
    qint64 m_acknowledged = 0;
    QElapsedTimer m_sinceProgress;
    // Queued, leaving or unacknowledged; its answer clock starts once the server has it.
    bool m_keepAliveInLine = false;
    bool m_receivedSinceKeepAlive = false;
    // An acknowledgement is queued and has not started to leave.
    bool m_acknowledgementQueued = false;
    // For the lines that log only some repeats.
    quint64 m_answersSinceRequest = 0;
    quint64 m_unknownFrames = 0;  // this connection
    quint64 m_discardedFrames = 0;

    QTimer m_reconnectTimer;
    QTimer m_pauseTimer;
    QTimer m_handshakeTimer;
    QTimer m_closeTimer;
    // Liveness: nothing received (probe), nothing received and no output progress (dead), a
    // keep-alive request without answer (dead); while output is pending, its progress is
    // sampled and the oldest unacknowledged frame without progress for its time-out is dead.
    QTimer m_silenceTimer;
    QTimer m_lifeTimer;
    QTimer m_answerTimer;
    QTimer m_progressTimer;
};

// A socket that trusts only the CA compiled into the client and verifies the server's name.
QSslSocket *newServerSocket();
