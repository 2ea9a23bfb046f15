#include "standalonerunner.h"

#include <QCoreApplication>

#include "restserversslsocketclient.h"
#include "utils.h"

standaloneRunner::standaloneRunner(QObject *parent) : QObject(parent) {
    utils.addDebugText(200, QStringLiteral("Defining standalone runner variables"),
                       QStringLiteral("standaloneRunner::standaloneRunner"), true, true);
}

standaloneRunner::~standaloneRunner() {
    utils.addDebugText(210, QStringLiteral("Destroying standalone runner"),
                       QStringLiteral("standaloneRunner::~standaloneRunner"), true, true);
    QCoreApplication::quit();
}

void standaloneRunner::start() {
    const QString id = QStringLiteral("standaloneRunner::start");
    utils.addDebugText(700, QStringLiteral("Start timers..."), id, true, true);
    m_globalTimer1.timerStart(constants.globalTimerIntervalMS);
    m_keepAliveTimer1.timerStart(constants.KeepAliveTimerIntervalMS);
    try {
        m_restServerSslSocketClient = new RestServerSslSocketClient(this);
        connect(&m_keepAliveTimer1, &standAloneKeepAliveTimer::signal_sendKeepAliveMessage,
                m_restServerSslSocketClient, &RestServerSslSocketClient::sendKeepAliveMessage);
        m_restServerSslSocketClient->connectToHost(Settings.restServerQt_host,
                                                   Settings.restServerQt_port);
    } catch (...) {
        qCritical("An unknown error occured in start");
        utils.addDebugText(229, QStringLiteral("An unknown error occured in start"), id, true,
                           true);
    }
}
