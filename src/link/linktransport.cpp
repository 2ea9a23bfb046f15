#include "link/linktransport.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QFile>
#include <QMetaEnum>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

#include "core/encoding.h"
#include "core/globals.h"
#include "core/log.h"

namespace {
const QByteArray keepAliveRequest = QByteArray("\x02_KA_\x03");
const QByteArray keepAliveAnswerText = QByteArray("_KAS_");
const QByteArray acknowledgement = QByteArray("\x02_OK_\x03");
constexpr int controlFrameTimeoutS = 5;
// How often the progress of pending output is looked at.
constexpr int progressSampleMs = 250;

QString cls(const char *method) {
    return QStringLiteral("RestServerSslSocketClient::") + QLatin1String(method);
}

QList<QSslCertificate> trustedServerCa() {
    QFile file(QStringLiteral(":/server-ca.crt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QSslCertificate::fromData(file.readAll(), QSsl::Pem);
}

// The count of a repeated event, for the lines that log only some of them.
QString repeats(quint64 count, const char *where) {
    return count > 1 ? QStringLiteral(" (%1 so far %2)").arg(count).arg(QLatin1String(where))
                     : QString();
}

template <typename Enum>
QString enumName(int value) {
    const char *name = QMetaEnum::fromType<Enum>().valueToKey(value);
    return QLatin1String(name ? name : "Unknown");
}
}  // namespace

// The CA lives in the static core library, whose resource initialiser the linker would drop.
static void initTrustResource() { Q_INIT_RESOURCE(servertrust); }

QSslSocket *newServerSocket() {
    initTrustResource();
    auto *socket = new QSslSocket;
    QSslConfiguration config = socket->sslConfiguration();
    // TLS 1.2 is what the server speaks; allowing 1.3 costs no peer and gains a stronger
    // handshake where both ends have it.
    config.setProtocol(QSsl::TlsV1_2OrLater);
    const QList<QSslCertificate> ca = trustedServerCa();
    if (ca.isEmpty())
        appLog().write(900,
                       QStringLiteral("No trusted server CA compiled in: every connection will "
                                      "fail"),
                       cls("RestServerSslSocketClient"), true, true);
    // Only the compiled-in CA is trusted, never the system store: the link is a device's
    // remote control and must talk to its own server alone.
    config.setCaCertificates(ca);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setSslOption(QSsl::SslOptionDisableEmptyFragments, true);
    socket->setSslConfiguration(config);
    return socket;
}

linkTransport::linkTransport(QSslSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket) {
    qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
    m_socket->setParent(this);
    // What the server sends waits in the kernel, not in our memory, while we are busy: a long
    // upload goes to its spool as fast as the disk takes it, and no faster.
    m_socket->setReadBufferSize(readBufferBytes);
    connect(m_socket, &QSslSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState s) { onSocketStateChanged(s); });
    connect(m_socket, &QSslSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError e) { onSocketError(e); });
    connect(m_socket, &QSslSocket::encrypted, this, &linkTransport::onEncrypted);
    connect(m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &linkTransport::onSslErrors);
    connect(m_socket, &QSslSocket::readyRead, this, &linkTransport::onReadyRead);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &linkTransport::onBytesLeft);

    for (QTimer *timer : {&m_reconnectTimer, &m_pauseTimer, &m_handshakeTimer, &m_closeTimer,
                          &m_silenceTimer, &m_lifeTimer, &m_answerTimer})
        timer->setSingleShot(true);
    m_progressTimer.setInterval(progressSampleMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &linkTransport::sampleProgress);
    m_pauseTimer.setTimerType(Qt::PreciseTimer);  // a pause must never end early
    connect(&m_reconnectTimer, &QTimer::timeout, this, &linkTransport::reconnect);
    connect(&m_pauseTimer, &QTimer::timeout, this, [this] {
        m_pauseWanted = false;
        if (m_state != State::Paused) return;  // still closing: the close schedules the rest
        setState(State::Unconnected, QStringLiteral("Pause over, reconnecting"));
        reconnect();
    });
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        close(399, cls("connectToHost"),
              QStringLiteral("Connection to %1 not established within %2 s (TCP and TLS)")
                  .arg(hostPort())
                  .arg(m_timing.handshakeTimeoutMs / 1000.0),
              CloseMode::Abort);
    });
    connect(&m_closeTimer, &QTimer::timeout, m_socket, &QSslSocket::abort);
    connect(&m_silenceTimer, &QTimer::timeout, this, &linkTransport::sendKeepAlive);
    connect(&m_lifeTimer, &QTimer::timeout, this, [this] {
        close(399, cls("readClient"),
              QStringLiteral("Nothing received from the server and no output delivered for "
                             "%1 s")
                  .arg((m_timing.keepAliveIntervalMs + m_timing.keepAliveAnswerMs) / 1000.0),
              CloseMode::Abort);
    });
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        close(399, cls("sendKeepAliveMessage"),
              QStringLiteral("Timeout occurred (timeout=%1 seconds)")
                  .arg(m_timing.keepAliveAnswerMs / 1000.0),
              CloseMode::Abort);
    });
}

linkTransport::~linkTransport() {
    // The socket's last signals must not reach a half-destroyed transport.
    m_socket->disconnect(this);
    m_socket->abort();
}

void linkTransport::log(int code, const QString &text, const QString &source, bool toFile) const {
    appLog().write(code, text, source, toFile, true);
}

QString linkTransport::hostPort() const {
    return m_host + QLatin1Char(':') + QString::number(m_port);
}

void linkTransport::setState(State state, const QString &detail) {
    if (m_state == state && detail.isEmpty()) return;
    m_state = state;
    emit stateChanged(state, detail);
}

qint64 linkTransport::reconnectDelayMs(int failures) const {
    qint64 delay = m_timing.reconnectDelayMs;
    const qint64 cap = qMax(delay, qint64(m_backoff.maxDelaySeconds) * 1000);
    for (int i = 1; i < failures && delay < cap; ++i) delay *= 2;
    return qMin(delay, cap);
}

void linkTransport::setServer(const QString &host, quint16 port) {
    m_host = host;
    m_port = port;
}

void linkTransport::connectToHost() {
    if (m_state == State::Paused || m_socket->state() != QAbstractSocket::UnconnectedState) return;
    ++m_generation;
    m_wasRegistered = false;
    m_closeReason.clear();
    m_framer.reset();
    if (!m_spoolDirectory.isEmpty())
        m_framer.setSpooling(m_spoolDirectory, spoolFromBytes, m_maxSpooledBytes,
                             m_spoolReserveBytes);
    m_messages.clear();
    m_queuedBytes = 0;
    m_unknownFrames = m_discardedFrames = m_answersSinceRequest = 0;
    clearOutput();
    setState(State::Connecting, QStringLiteral("Connecting to %1").arg(hostPort()));
    m_handshakeTimer.start(m_timing.handshakeTimeoutMs);
    m_socket->connectToHostEncrypted(m_host, m_port, QIODevice::ReadWrite,
                                     QAbstractSocket::AnyIPProtocol);
}

void linkTransport::reconnect() {
    if (m_state != State::Unconnected) return;
    log(102, QStringLiteral("Reconnect to host %1").arg(hostPort()), cls("reconnect"));
    connectToHost();
}

void linkTransport::close(int logCode, const QString &source, const QString &reason,
                          CloseMode mode) {
    if (m_socket->state() == QAbstractSocket::UnconnectedState) return;
    log(logCode, reason, source);
    shutDown(reason, mode);
}

void linkTransport::shutDown(const QString &reason, CloseMode mode) {
    m_closeReason = reason;
    stopTimers();
    if (mode == CloseMode::Graceful && m_socket->state() == QAbstractSocket::ConnectedState) {
        setState(State::Closing, QStringLiteral("Closing: %1").arg(reason));
        log(800, QStringLiteral("Do a disconnectFromHost"), cls("disconnectFromHost"));
        // Whatever is queued still leaves, but a peer that takes no more cannot hold us.
        m_closeTimer.start(m_timing.closeGraceMs);
        m_socket->disconnectFromHost();
        return;
    }
    m_socket->abort();
}

void linkTransport::markRegistered() {
    m_failedAttempts = 0;
    m_wasRegistered = true;
    setState(State::Registered, QStringLiteral("Registered with %1").arg(hostPort()));
}

void linkTransport::pause(qint64 seconds) {
    m_pauseWanted = true;
    m_pauseTimer.start(int(seconds * 1000));
    m_reconnectTimer.stop();
    m_pauseDetail = QStringLiteral("Paused by the server for %1 s").arg(seconds);
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        setState(State::Paused, m_pauseDetail);
    else
        shutDown(m_pauseDetail, CloseMode::Graceful);
}

void linkTransport::stopTimers() {
    for (QTimer *timer :
         {&m_handshakeTimer, &m_silenceTimer, &m_lifeTimer, &m_answerTimer, &m_progressTimer})
        timer->stop();
}

void linkTransport::clearOutput() {
    m_outgoing.clear();
    m_frameLeaving = false;
    m_leaving.source.reset();  // a file being sent is closed with its connection
    m_inKernel.clear();
    m_handedToKernel = 0;
    m_acknowledged = 0;
    m_keepAliveInLine = false;
    m_acknowledgementQueued = false;
}

void linkTransport::onSocketStateChanged(int socketState) {
    switch (socketState) {
        case QAbstractSocket::UnconnectedState:
            // The socket reports why right after this change: the reason is known once the
            // signals of this change have all been delivered.
            QMetaObject::invokeMethod(this, &linkTransport::onClosed, Qt::QueuedConnection);
            break;
        case QAbstractSocket::ConnectedState:
            log(404, QStringLiteral("Connected to host %1").arg(hostPort()),
                cls("socketStateChanged"));
            setSocketOptions();
            emit connected();
            break;
        case QAbstractSocket::ClosingState:
            log(404, QStringLiteral("Closing connection to host %1").arg(hostPort()),
                cls("socketStateChanged"));
            break;
        default:
            break;
    }
}

void linkTransport::onClosed() {
    if (m_state == State::Unconnected || m_state == State::Paused ||
        m_socket->state() != QAbstractSocket::UnconnectedState)
        return;
    if (!m_pauseWanted)
        log(404, QStringLiteral("Failed to connect to host %1").arg(hostPort()),
            cls("socketStateChanged"));
    stopTimers();
    m_closeTimer.stop();
    if (!m_messages.isEmpty())
        log(102,
            QStringLiteral("%1 received command(s) dropped with the connection")
                .arg(m_messages.size()),
            cls("socketStateChanged"));
    m_messages.clear();
    m_queuedBytes = 0;
    clearOutput();
    m_framer.reset();
    if (!m_wasRegistered) ++m_failedAttempts;
    if (m_pauseWanted)
        setState(State::Paused, m_pauseDetail);
    else
        scheduleReconnect();
    emit outputDrained();
}

void linkTransport::scheduleReconnect() {
    qint64 delay = reconnectDelayMs(m_failedAttempts);
    if (m_backoff.jitterPercent > 0)
        delay -= qint64(double(delay) * m_backoff.jitterPercent / 100.0 *
                        QRandomGenerator::global()->generateDouble());
    m_reconnectTimer.start(int(delay));
    setState(State::Unconnected, reconnectDetail(delay));
}

QString linkTransport::reconnectDetail(qint64 delayMs) const {
    const QString reason =
        m_closeReason.isEmpty() ? QStringLiteral("connection closed") : m_closeReason;
    return QStringLiteral("Reconnecting in %1 s: %2").arg(delayMs / 1000.0).arg(reason);
}

void linkTransport::onSocketError(int socketError) {
    const QString name = enumName<QAbstractSocket::SocketError>(socketError);
    log(900, QStringLiteral("Error with socket to host %1: %2").arg(hostPort(), name),
        cls("socketError"));
    if (m_closeReason.isEmpty()) m_closeReason = name;
}

void linkTransport::onSslErrors(const QList<QSslError> &errors) {
    // Not ignored: a certificate that does not chain to our CA or names another host ends
    // the handshake, and the normal reconnect schedule tries again.
    for (const QSslError &error : errors) qDebug() << "SSL error:" << error.errorString();
}

void linkTransport::onEncrypted() {
    log(900, QStringLiteral("Socket to host %1 is encrypted").arg(hostPort()),
        cls("socketEncrypted"));
    m_handshakeTimer.stop();
    setState(State::Encrypted, QStringLiteral("Connected to %1").arg(hostPort()));
    m_silenceTimer.start(m_timing.keepAliveIntervalMs);
    m_lifeTimer.start(m_timing.keepAliveIntervalMs + m_timing.keepAliveAnswerMs);
    pump();
}

// The kernel also gives up on a peer that vanished, within the same time as the keep-alives.
void linkTransport::setSocketOptions() {
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // Frames are written whole, and a streamed one in large slices: the small last piece of a
    // reply must not wait for the server to acknowledge the slice before it, which a server
    // may delay by 40 ms.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const int fd = int(m_socket->socketDescriptor());
    if (fd < 0) return;
    const int idle = qMax(1, m_timing.keepAliveIntervalMs / 1000);
    const int interval = qMax(1, m_timing.keepAliveAnswerMs / 2000);
    const int probes = 2;
    const unsigned userTimeout =
        unsigned(m_timing.keepAliveIntervalMs + m_timing.keepAliveAnswerMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

bool linkTransport::isOpen() const {
    return m_state == State::Encrypted || m_state == State::Registered;
}

// Nothing is logged per read: a large message comes in thousands of reads. Each message and
// each kind of control frame is logged once per read instead.
void linkTransport::onReadyRead() {
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty() || !isOpen()) return;
    // Any byte from the server is a sign of life and answers a keep-alive request.
    m_silenceTimer.start();
    m_lifeTimer.start();
    m_answerTimer.stop();
    m_receivedSinceKeepAlive = true;
    takeFrames(chunk);
}

// Control frames and discarded bytes are handled in place, without a wait and so without
// recursion, whatever their number in one read. A flood of them costs neither output nor log
// lines in proportion: one acknowledgement at a time waits to leave, and repeats are logged at
// the 1st, 2nd, 4th, 8th ... occurrence only.
void linkTransport::takeFrames(const QByteArray &chunk) {
    const quint64 generation = m_generation;
    const QVector<messageFramer::Frame> frames = m_framer.append(chunk);
    const auto worthALine = [](quint64 count) { return (count & (count - 1)) == 0; };
    for (const messageFramer::Frame &frame : frames) {
        if (generation != m_generation || !isOpen()) return;  // closed by an earlier frame
        switch (frame.kind) {
            case messageFramer::Frame::Control:
                if (frame.bytes == keepAliveAnswerText) {
                    if (worthALine(++m_answersSinceRequest))
                        appLog().write(700,
                                       QStringLiteral("Received OK from the keep-alive message") +
                                           repeats(m_answersSinceRequest, "since the last request"),
                                       QStringLiteral("keepAliveTimerUpdate::readClient"), false,
                                       true);
                    if (!m_acknowledgementQueued) {
                        m_acknowledgementQueued = true;
                        send(acknowledgement, controlFrameTimeoutS, QStringLiteral("keepAlive"),
                             m_generation);
                    }
                } else if (worthALine(++m_unknownFrames)) {
                    log(905,
                        QStringLiteral("Unknown control frame ignored: %1")
                                .arg(QString::fromLatin1(frame.bytes.toPercentEncoding())) +
                            repeats(m_unknownFrames, "on this connection"),
                        cls("readClient"));
                }
                break;
            case messageFramer::Frame::Json:
                queueMessage(frame);
                break;
            case messageFramer::Frame::Discarded:
                if (worthALine(++m_discardedFrames))
                    log(905,
                        QStringLiteral("Discarded data from the server: %1")
                                .arg(logformat::escaped(windows1252::decode(frame.bytes))) +
                            repeats(m_discardedFrames, "on this connection"),
                        cls("readClient"));
                break;
            case messageFramer::Frame::Overflow:
                close(906, cls("readClient"),
                      QStringLiteral("Message from the server discarded: %1; closing the "
                                     "connection")
                          .arg(QString::fromLatin1(frame.bytes)),
                      CloseMode::Abort);
                return;
        }
    }
}

void linkTransport::queueMessage(const messageFramer::Frame &frame) {
    const QByteArray &message = frame.bytes;
    // The start of each message, not of each chunk: a chunk may begin inside a value, where no
    // key tells that it is a secret to be masked.
    log(300,
        QStringLiteral("Received (first 128 bytes):\n%1")
            .arg(logformat::escaped(windows1252::decode(message.left(128)))),
        QStringLiteral("RestServerSslSocketClient.readClient"));
    if (m_messages.size() >= maxQueuedMessages || m_queuedBytes + message.size() > maxQueuedBytes) {
        close(906, cls("readClient"),
              QStringLiteral("The server sent more than %1 messages or %2 bytes while a command "
                             "ran (%3 messages, %4 bytes waiting); closing the connection")
                  .arg(maxQueuedMessages)
                  .arg(maxQueuedBytes)
                  .arg(m_messages.size())
                  .arg(m_queuedBytes),
              CloseMode::Abort);
        return;
    }
    m_messages.enqueue(frame);
    m_queuedBytes += message.size();
    emit messageAvailable();
}

messageFramer::Frame linkTransport::takeMessage() {
    if (m_messages.isEmpty()) return {messageFramer::Frame::Json, QByteArray()};
    messageFramer::Frame message = m_messages.dequeue();
    m_queuedBytes -= message.bytes.size();
    return message;
}

bool linkTransport::send(const QByteArray &frame, int timeoutS, const QString &label,
                         quint64 generation) {
    const bool connecting = m_state == State::Connecting;
    if (generation != m_generation || !(connecting || isOpen())) return false;
    m_outgoing.enqueue({frame, timeoutS, label, frame == keepAliveRequest, 0, nullptr});
    pump();
    return true;
}

bool linkTransport::sendStreamed(std::shared_ptr<byteSource> frame, int timeoutS,
                                 const QString &label, quint64 generation) {
    if (generation != m_generation || !isOpen()) return false;
    m_outgoing.enqueue({QByteArray(), timeoutS, label, false, 0, std::move(frame)});
    pump();
    return true;
}

void linkTransport::sendKeepAlive() {
    if (!isOpen() || m_keepAliveInLine || m_answerTimer.isActive()) return;
    m_keepAliveInLine = true;
    m_receivedSinceKeepAlive = false;
    m_answersSinceRequest = 0;
    send(keepAliveRequest, controlFrameTimeoutS, QStringLiteral("signal sendKeepAliveMessage"),
         m_generation);
}

bool linkTransport::outputIdle() const { return !m_frameLeaving && m_outgoing.isEmpty(); }

bool linkTransport::outputDelivered() const { return outputIdle() && m_inKernel.isEmpty(); }

// One frame at a time goes to the socket, so that the place where each frame ends in the
// encrypted stream is known once the socket's buffers are empty again.
void linkTransport::pump() {
    if (m_frameLeaving || m_outgoing.isEmpty() || !isOpen()) return;
    if (m_inKernel.isEmpty()) m_sinceProgress.start();  // a frame's clock starts at its turn
    m_leaving = m_outgoing.dequeue();
    if (m_leaving.bytes == acknowledgement) m_acknowledgementQueued = false;
    m_frameLeaving = true;
    if (!m_progressTimer.isActive()) m_progressTimer.start();
    if (m_leaving.source) {
        if (feed()) advance();  // a source may have nothing at all to give
        return;
    }
    const qint64 written = m_socket->write(m_leaving.bytes);
    const qint64 size = m_leaving.bytes.size();
    m_leaving.bytes = QByteArray();  // the socket keeps its own copy
    if (written != size) {
        close(399, cls("sendToClient"),
              QStringLiteral("%1: writing to the socket failed").arg(m_leaving.label),
              CloseMode::Abort);
    }
}

void linkTransport::onBytesLeft(qint64 bytes) {
    m_handedToKernel += bytes;
    if (!isOpen()) return;
    advance();
    if (isOpen()) sampleProgress();
}

// Once the socket's buffers are empty, the frame that is leaving moves on: a streamed frame by
// its next slice, any frame to the kernel's queue once it has all left.
void linkTransport::advance() {
    while (m_frameLeaving && isOpen() && m_socket->bytesToWrite() == 0 &&
           m_socket->encryptedBytesToWrite() == 0) {
        if (m_leaving.source) {
            if (!feed()) return;
            continue;
        }
        m_leaving.endOffset = m_handedToKernel;
        m_inKernel.enqueue(m_leaving);
        m_frameLeaving = false;
        pump();
        if (outputIdle()) emit outputDrained();
    }
}

// Writes the next slice of the streamed frame that is leaving, or ends its source. False when
// the connection was closed for it.
bool linkTransport::feed() {
    QByteArray slice;
    QString error;
    if (!m_leaving.source->next(&slice, &error)) {
        m_leaving.source.reset();
        close(399, cls("sendToClient"),
              QStringLiteral("%1: %2; the reply is broken off with the connection")
                  .arg(m_leaving.label, error),
              CloseMode::Abort);
        return false;
    }
    if (slice.isEmpty()) {
        m_leaving.source.reset();
        return true;
    }
    if (m_socket->write(slice) != slice.size()) {
        close(399, cls("sendToClient"),
              QStringLiteral("%1: writing to the socket failed").arg(m_leaving.label),
              CloseMode::Abort);
        return false;
    }
    return true;
}

// Progress is what the server has acknowledged: the kernel's send queue shrinking, however
// seldom the socket reports room for more. The oldest frame not acknowledged whole fails the
// connection once nothing has moved for its time-out; the frames behind it have no clock yet.
void linkTransport::sampleProgress() {
    if (!isOpen()) return;
    int inKernelQueue = 0;
    if (::ioctl(int(m_socket->socketDescriptor()), SIOCOUTQ, &inKernelQueue) != 0)
        inKernelQueue = 0;
    const qint64 acknowledged = m_handedToKernel - inKernelQueue;
    if (acknowledged > m_acknowledged) {
        m_acknowledged = acknowledged;
        m_sinceProgress.start();
        m_lifeTimer.start();  // the server takes our bytes: it is there
    }
    while (!m_inKernel.isEmpty() && m_inKernel.head().endOffset <= m_acknowledged) {
        if (m_inKernel.dequeue().keepAliveRequest) {
            m_keepAliveInLine = false;
            // The answer may have come with the acknowledgement, before this look.
            if (!m_receivedSinceKeepAlive) m_answerTimer.start(m_timing.keepAliveAnswerMs);
        }
    }
    if (outputDelivered()) {
        m_progressTimer.stop();
        emit outputDrained();
        return;
    }
    const OutFrame &oldest = m_inKernel.isEmpty() ? m_leaving : m_inKernel.head();
    if (m_sinceProgress.elapsed() < qint64(oldest.timeoutS) * 1000) return;
    close(399, cls("sendToClient"),
          QStringLiteral("%1: Timeout occurred (timeout=%2 seconds)")
              .arg(oldest.label)
              .arg(oldest.timeoutS),
          CloseMode::Abort);
}
