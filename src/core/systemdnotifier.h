#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <QByteArray>
#include <QObject>
#include <QTimer>

// Speaks systemd's notification protocol when systemd started the client as a Type=notify
// service: READY=1 once the event loop runs, WATCHDOG=1 from that loop every half of the
// watchdog period (a loop that hangs misses it and systemd restarts the client), STATUS= on
// every change of the link, STOPPING=1 on the way out. Each state is one datagram to the AF_UNIX
// socket named by NOTIFY_SOCKET; that is a few lines here instead of a new library dependency
// (libsystemd) for them. Without NOTIFY_SOCKET it does nothing, without WATCHDOG_USEC it sends no
// watchdog pings.
class systemdNotifier : public QObject {
    Q_OBJECT
  public:
    explicit systemdNotifier(QObject *parent = nullptr);
    ~systemdNotifier() override;

    // Reads the environment and schedules READY=1; needs the application object.
    void start();
    // A line for `systemctl status`: what the client is doing right now.
    void status(const QString &text);

  private:
    bool setAddress(const QByteArray &socketName);
    void send(const QByteArray &state);

    int m_socket = -1;
    sockaddr_un m_address = {};
    socklen_t m_addressLength = 0;
    // Nested waits keep the event loop turning, so only a blocked loop misses a ping.
    QTimer m_watchdogTimer;
    bool m_lastSendFailed = false;  // reports a broken socket once, not on every ping
};
