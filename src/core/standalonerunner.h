#pragma once

#include <QObject>

#include "core/standaloneglobaltimer.h"
#include "core/standalonekeepalivetimer.h"

class RestServerSslSocketClient;

// Owns the two periodic timers and the one link to the management server.
class standaloneRunner : public QObject {
    Q_OBJECT
  public:
    // The longest a stop waits for the running command's reply; the service manager allows
    // the client 15 s to end.
    static constexpr int stopGraceMs = 10000;

    explicit standaloneRunner(QObject *parent = nullptr);
    ~standaloneRunner() override;
    void start();
    // Ends the event loop with exit code 0 once the running command's reply has left (or
    // after stopGraceMs); no new command starts meanwhile.
    void stop();

    RestServerSslSocketClient *m_restServerSslSocketClient = nullptr;
    standAloneGlobalTimer m_globalTimer1;
    standAloneKeepAliveTimer m_keepAliveTimer1;
};
