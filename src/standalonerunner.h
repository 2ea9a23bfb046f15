#pragma once

#include <QObject>

#include "standaloneglobaltimer.h"
#include "standalonekeepalivetimer.h"

class RestServerSslSocketClient;

// Owns the two periodic timers and the one link to the management server.
class standaloneRunner : public QObject {
    Q_OBJECT
public:
    explicit standaloneRunner(QObject *parent = nullptr);
    ~standaloneRunner() override;
    void start();

    RestServerSslSocketClient *m_restServerSslSocketClient = nullptr;
    standAloneGlobalTimer m_globalTimer1;
    standAloneKeepAliveTimer m_keepAliveTimer1;
};
