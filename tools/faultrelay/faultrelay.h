#pragma once

#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include "relaycommand.h"
#include "relayoptions.h"

class QSocketNotifier;
class RelayConnection;

// Listens on 127.0.0.1, relays every connection to the target port and applies the commands
// that switch its behaviour.
class FaultRelay : public QObject {
    Q_OBJECT
  public:
    explicit FaultRelay(const RelayOptions &options, QObject *parent = nullptr);

    bool start(QString *error);  // listens; port() then tells where
    quint16 port() const { return m_port; }
    // One control line; a line that is not a command is reported as an error event.
    void executeLine(const QByteArray &line);

  private:
    void execute(const RelayCommand &command);
    bool openListener(QString *error);
    void closeListener();
    void acceptAll();
    void grantReadBudgets();
    QJsonArray counters() const;

    const RelayOptions m_options;
    quint16 m_port;
    int m_listenFd = -1;
    QSocketNotifier *m_acceptNotifier = nullptr;
    RelayMode m_mode;
    QList<RelayConnection *> m_connections;
    QTimer m_slowReadTick;
    int m_lastId = 0;
};
