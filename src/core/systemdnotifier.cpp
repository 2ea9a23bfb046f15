#include "core/systemdnotifier.h"

#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "core/globals.h"
#include "core/log.h"

systemdNotifier::systemdNotifier(QObject *parent) : QObject(parent) {}

systemdNotifier::~systemdNotifier() {
    if (m_socket >= 0) ::close(m_socket);
}

void systemdNotifier::start() {
    const QByteArray socketName = qgetenv("NOTIFY_SOCKET");
    if (socketName.isEmpty()) return;
    const QString source = QStringLiteral("systemdNotifier::start");
    if (!setAddress(socketName)) {
        appLog().write(900,
                       QStringLiteral("NOTIFY_SOCKET %1 is not a usable socket name")
                           .arg(QString::fromLocal8Bit(socketName)),
                       source, true, true);
        return;
    }
    // Non-blocking: a stalled service manager must not stall the client too.
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_socket < 0) {
        const int error = errno;
        appLog().write(
            900,
            QStringLiteral("Cannot create the notification socket: %1").arg(qt_error_string(error)),
            source, true, true);
        return;
    }
    QTimer::singleShot(0, this, [this] { send(QByteArrayLiteral("READY=1")); });
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            [this] { send(QByteArrayLiteral("STOPPING=1")); });

    bool ok = false;
    const qulonglong watchdogUsec = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || watchdogUsec == 0) {
        appLog().write(100, QStringLiteral("Notifying systemd, no watchdog"), source, true, true);
        return;
    }
    const int intervalMs = int(std::clamp<qulonglong>(watchdogUsec / 2000, 1, INT_MAX));
    connect(&m_watchdogTimer, &QTimer::timeout, this,
            [this] { send(QByteArrayLiteral("WATCHDOG=1")); });
    m_watchdogTimer.start(intervalMs);
    appLog().write(100,
                   QStringLiteral("Notifying systemd, watchdog ping every %1 ms").arg(intervalMs),
                   source, true, true);
}

void systemdNotifier::status(const QString &text) {
    if (m_socket >= 0) send("STATUS=" + text.toUtf8());
}

// A name starting with '@' is in the abstract namespace: a leading NUL instead of the '@' and
// no terminating NUL, the address length says where it ends.
bool systemdNotifier::setAddress(const QByteArray &socketName) {
    const bool abstract = socketName.startsWith('@');
    if (!abstract && !socketName.startsWith('/')) return false;
    const size_t length = size_t(socketName.size()) + (abstract ? 0 : 1);
    if (length > sizeof m_address.sun_path) return false;
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, socketName.constData(), size_t(socketName.size()));
    if (abstract) m_address.sun_path[0] = '\0';
    m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    return true;
}

void systemdNotifier::send(const QByteArray &state) {
    const ssize_t sent = ::sendto(m_socket, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&m_address), m_addressLength);
    const int error = errno;
    const bool failed = sent != ssize_t(state.size());
    if (failed && !m_lastSendFailed) {
        appLog().write(900,
                       QStringLiteral("Cannot send %1 to systemd: %2")
                           .arg(QString::fromLatin1(state), qt_error_string(error)),
                       QStringLiteral("systemdNotifier::send"), true, true);
    }
    m_lastSendFailed = failed;
}
