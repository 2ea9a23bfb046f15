#include "relayconnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "eventline.h"

namespace {

constexpr int kChunk = 16 * 1024;

QString sideName(int side) {
    return side == 0 ? QStringLiteral("client") : QStringLiteral("server");
}

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

quint16 peerPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace

RelayConnection::RelayConnection(int id, int clientFd, const RelayMode &mode, QObject *parent)
    : QObject(parent),
      m_id(id),
      m_stalled(!mode.connectsUpstream()),
      m_mode(mode),
      m_clientFd(clientFd) {
    m_up.from = m_down.to = clientFd;
    m_up.readable = new QSocketNotifier(clientFd, QSocketNotifier::Read, this);
    m_up.readable->setEnabled(false);
    m_down.writable = new QSocketNotifier(clientFd, QSocketNotifier::Write, this);
    m_down.writable->setEnabled(false);
}

void RelayConnection::start(quint16 targetPort) {
    printJsonLine({{QStringLiteral("t"), monotonicMs()},
                   {QStringLiteral("event"), QStringLiteral("accepted")},
                   {QStringLiteral("conn"), m_id},
                   {QStringLiteral("mode"), m_mode.name()},
                   {QStringLiteral("stalled"), m_stalled},
                   {QStringLiteral("peerPort"), peerPort(m_clientFd)}});
    if (m_stalled) {
        // Read and throw away, so that the client's handshake leaves it and its close is seen.
        connect(m_up.readable, &QSocketNotifier::activated, this,
                &RelayConnection::discardFromClient);
        m_up.readable->setEnabled(true);
        return;
    }
    connect(m_up.readable, &QSocketNotifier::activated, this, [this] { readFrom(m_up); });
    connect(m_down.writable, &QSocketNotifier::activated, this, [this] { pump(m_down); });
    connectUpstream(targetPort);
}

void RelayConnection::connectUpstream(quint16 targetPort) {
    m_upstreamFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_upstreamFd < 0) {
        finish(QStringLiteral("relay"), errorText(errno), true);
        return;
    }
    m_up.to = m_down.from = m_upstreamFd;
    m_up.writable = new QSocketNotifier(m_upstreamFd, QSocketNotifier::Write, this);
    m_down.readable = new QSocketNotifier(m_upstreamFd, QSocketNotifier::Read, this);
    m_down.readable->setEnabled(false);
    connect(m_up.writable, &QSocketNotifier::activated, this, &RelayConnection::upstreamWritable);
    connect(m_down.readable, &QSocketNotifier::activated, this, [this] { readFrom(m_down); });

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(targetPort);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connecting = true;
    if (::connect(m_upstreamFd, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0 &&
        errno != EINPROGRESS) {
        finish(QStringLiteral("server"), errorText(errno), false);
    }
    // Either way the socket turns writable once the connection stands or has failed.
}

void RelayConnection::upstreamWritable() {
    if (!m_connecting) {
        pump(m_up);
        return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_upstreamFd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        finish(QStringLiteral("server"), errorText(error), false);
        return;
    }
    m_connecting = false;
    printJsonLine({{QStringLiteral("t"), monotonicMs()},
                   {QStringLiteral("event"), QStringLiteral("upstream-connected")},
                   {QStringLiteral("conn"), m_id}});
    setMode(m_mode);
}

void RelayConnection::setMode(const RelayMode &mode) {
    m_mode = mode;
    if (m_stalled || m_connecting || m_finished) return;
    pump(m_up);
    if (!m_finished) pump(m_down);
}

void RelayConnection::grantReadBudget(qint64 bytes) {
    m_budget = bytes;
    setMode(m_mode);
}

void RelayConnection::reset() { finish(QStringLiteral("relay"), QStringLiteral("drop"), true); }

QJsonObject RelayConnection::counters() const {
    QJsonObject counters{{QStringLiteral("conn"), m_id},
                         {QStringLiteral("up"), m_up.forwarded},
                         {QStringLiteral("down"), m_down.forwarded}};
    if (m_stalled) counters.insert(QStringLiteral("discarded"), m_discarded);
    return counters;
}

void RelayConnection::discardFromClient() {
    char buffer[kChunk];
    const ssize_t n = ::recv(m_clientFd, buffer, sizeof buffer, 0);
    if (n > 0) {
        m_discarded += n;
    } else if (n == 0) {
        finish(QStringLiteral("client"), QStringLiteral("end of stream"), false);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        finish(QStringLiteral("client"), errorText(errno), true);
    }
}

bool RelayConnection::allowed(const Flow &flow) const {
    return flow.source == Client ? m_mode.forwardsUp() : m_mode.forwardsDown();
}

bool RelayConnection::rateLimited(const Flow &flow) const {
    return flow.source == Client && m_mode.kind == RelayMode::SlowRead;
}

void RelayConnection::readFrom(Flow &flow) {
    const bool limited = rateLimited(flow);
    const qint64 want = limited ? qMin<qint64>(kChunk, m_budget) : kChunk;
    if (want > 0 && allowed(flow) && flow.pending.isEmpty() && !flow.ended) {
        char buffer[kChunk];
        const ssize_t n = ::recv(flow.from, buffer, size_t(want), 0);
        if (n > 0) {
            flow.pending.append(buffer, int(n));
            if (limited) m_budget -= n;
        } else if (n == 0) {
            flow.ended = true;
            if (m_firstEnd.isEmpty()) m_firstEnd = sideName(flow.source);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // A reset travels on as a reset.
            finish(sideName(flow.source), errorText(errno), true);
            return;
        }
    }
    pump(flow);
}

void RelayConnection::pump(Flow &flow) {
    const bool open = allowed(flow);
    while (open && !flow.pending.isEmpty()) {
        const ssize_t n =
            ::send(flow.to, flow.pending.constData(), size_t(flow.pending.size()), MSG_NOSIGNAL);
        if (n > 0) {
            flow.pending.remove(0, int(n));
            flow.forwarded += n;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            finish(sideName(flow.source == Client ? Server : Client), errorText(errno), true);
            return;
        }
    }
    if (open && flow.ended && flow.pending.isEmpty() && !flow.shutDown) {
        ::shutdown(flow.to, SHUT_WR);
        flow.shutDown = true;
    }
    if (m_up.shutDown && m_down.shutDown) {
        finish(m_firstEnd, QStringLiteral("end of stream"), false);
        return;
    }
    flow.writable->setEnabled(open && !flow.pending.isEmpty());
    flow.readable->setEnabled(open && !flow.ended && flow.pending.isEmpty() &&
                              (!rateLimited(flow) || m_budget > 0));
}

void RelayConnection::finish(const QString &by, const QString &reason, bool resetSockets) {
    if (m_finished) return;
    m_finished = true;
    QJsonObject event = counters();
    event.insert(QStringLiteral("t"), monotonicMs());
    event.insert(QStringLiteral("event"), QStringLiteral("closed"));
    event.insert(QStringLiteral("by"), by);
    event.insert(QStringLiteral("reason"), reason);
    printJsonLine(event);
    // Notifiers stop before their sockets close: none may watch a closed descriptor. They go
    // with this object, which may be inside one of their signals now.
    for (QSocketNotifier *notifier :
         {m_up.readable, m_up.writable, m_down.readable, m_down.writable}) {
        if (notifier) notifier->setEnabled(false);
    }
    for (int fd : {m_clientFd, m_upstreamFd}) {
        if (fd < 0) continue;
        if (resetSockets) {
            // A zero linger time makes the close send RST instead of FIN.
            const linger immediately{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
        }
        ::close(fd);
    }
    m_clientFd = m_upstreamFd = -1;
    emit finished(this);
}
