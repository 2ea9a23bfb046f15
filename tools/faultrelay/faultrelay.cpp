#include "faultrelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonObject>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "eventline.h"
#include "relayconnection.h"

namespace {

// The slow reader's budget is handed out in these steps; small steps keep the pace even.
constexpr int kSlowReadTickMs = 100;

void printEvent(const QString &event, QJsonObject fields = {}) {
    fields.insert(QStringLiteral("t"), monotonicMs());
    fields.insert(QStringLiteral("event"), event);
    printJsonLine(fields);
}

}  // namespace

FaultRelay::FaultRelay(const RelayOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_port(options.port), m_mode(options.mode) {
    m_slowReadTick.setInterval(kSlowReadTickMs);
    connect(&m_slowReadTick, &QTimer::timeout, this, &FaultRelay::grantReadBudgets);
}

bool FaultRelay::start(QString *error) {
    if (!openListener(error)) return false;
    if (m_mode.kind == RelayMode::SlowRead) m_slowReadTick.start();
    return true;
}

bool FaultRelay::openListener(QString *error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const auto fail = [&](const char *step) {
        *error = QStringLiteral("%1 on 127.0.0.1:%2: %3")
                     .arg(QLatin1String(step))
                     .arg(m_port)
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0) ::close(fd);
        return false;
    };
    if (fd < 0) return fail("socket");
    const int one = 1;
    // Set before listen() so that every accepted socket inherits them.
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &m_options.receiveBuffer,
                     sizeof m_options.receiveBuffer) != 0) {
        return fail("setsockopt");
    }
    if (m_options.segmentSize > 0 &&
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &m_options.segmentSize,
                     sizeof m_options.segmentSize) != 0) {
        return fail("TCP_MAXSEG");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail("bind");
    if (::listen(fd, 128) != 0) return fail("listen");
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(address.sin_port);  // `listen` after `refuse` comes back to this one
    m_listenFd = fd;
    m_acceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &FaultRelay::acceptAll);
    return true;
}

void FaultRelay::closeListener() {
    if (m_listenFd < 0) return;
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    ::close(m_listenFd);
    m_listenFd = -1;
}

void FaultRelay::acceptAll() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: nothing more waits; anything else comes back on the next wake-up
        }
        auto *connection = new RelayConnection(++m_lastId, fd, m_mode, this);
        m_connections.append(connection);
        connect(connection, &RelayConnection::finished, this, [this](RelayConnection *done) {
            m_connections.removeOne(done);
            done->deleteLater();
        });
        connection->start(m_options.targetPort);
    }
}

void FaultRelay::grantReadBudgets() {
    // Rounded up, so that even a few bytes per second move.
    const qint64 step = (qint64(m_mode.bytesPerSecond) * kSlowReadTickMs + 999) / 1000;
    for (RelayConnection *connection : qAsConst(m_connections)) connection->grantReadBudget(step);
}

QJsonArray FaultRelay::counters() const {
    QJsonArray list;
    for (const RelayConnection *connection : m_connections) list.append(connection->counters());
    return list;
}

void FaultRelay::executeLine(const QByteArray &line) {
    if (line.isEmpty()) return;
    RelayCommand command;
    QString error;
    if (RelayCommand::parse(line, &command, &error)) {
        execute(command);
    } else {
        printEvent(QStringLiteral("error"), {{QStringLiteral("text"), error}});
    }
}

void FaultRelay::execute(const RelayCommand &command) {
    switch (command.action) {
        case RelayCommand::SetMode: {
            m_mode = command.mode;
            QJsonObject fields{{QStringLiteral("mode"), m_mode.name()},
                               {QStringLiteral("conns"), counters()}};
            if (m_mode.kind == RelayMode::SlowRead) {
                fields.insert(QStringLiteral("rate"), m_mode.bytesPerSecond);
                m_slowReadTick.start();
            } else {
                m_slowReadTick.stop();
            }
            printEvent(QStringLiteral("mode"), fields);
            // A copy: a connection may finish while it takes the new mode.
            const QList<RelayConnection *> connections = m_connections;
            for (RelayConnection *connection : connections) connection->setMode(m_mode);
            break;
        }
        case RelayCommand::Drop: {
            printEvent(QStringLiteral("drop"), {{QStringLiteral("conns"), counters()}});
            const QList<RelayConnection *> connections = m_connections;
            for (RelayConnection *connection : connections) connection->reset();
            break;
        }
        case RelayCommand::Refuse:
            closeListener();
            printEvent(QStringLiteral("refusing"), {{QStringLiteral("port"), m_port}});
            break;
        case RelayCommand::Listen: {
            QString error;
            if (m_listenFd >= 0 || openListener(&error)) {
                printEvent(QStringLiteral("listening"), {{QStringLiteral("port"), m_port}});
            } else {
                printEvent(QStringLiteral("error"), {{QStringLiteral("text"), error}});
            }
            break;
        }
    }
}
