#include "core/standalonerunner.h"

#include <QCoreApplication>
#include <QTimer>

#include "core/globals.h"
#include "core/log.h"
#include "link/restserversslsocketclient.h"

standaloneRunner::standaloneRunner(QObject *parent) : QObject(parent) {
    appLog().write(200, QStringLiteral("Defining standalone runner variables"),
                   QStringLiteral("standaloneRunner::standaloneRunner"), true, true);
}

standaloneRunner::~standaloneRunner() {
    const QString id = QStringLiteral("standaloneRunner::~standaloneRunner");
    try {
        appLog().write(210, QStringLiteral("Destroying standalone runner"), id, true, true);
        QCoreApplication::quit();
    } catch (...) {
        appLog().write(219, QStringLiteral("An unknown error occured in deconstructor"), id, true,
                       true);
    }
}

void standaloneRunner::stop() {
    const QString id = QStringLiteral("standaloneRunner::stop");
    if (!m_restServerSslSocketClient) {
        QCoreApplication::exit(0);
        return;
    }
    appLog().write(700,
                   QStringLiteral("Stopping: no new command; the running one may finish "
                                  "within %1 s")
                       .arg(stopGraceMs / 1000),
                   id, true, true);
    connect(m_restServerSslSocketClient, &RestServerSslSocketClient::signal_stopped, this,
            [] { QCoreApplication::exit(0); });
    QTimer::singleShot(stopGraceMs, this, [id] {
        appLog().write(701,
                       QStringLiteral("Stopping: the running command did not finish in time; "
                                      "its reply is lost"),
                       id, true, true);
        QCoreApplication::exit(0);
    });
    m_restServerSslSocketClient->stop();
}

void standaloneRunner::start() {
    const QString id = QStringLiteral("standaloneRunner::start");
    appLog().write(700, QStringLiteral("Start timers..."), id, true, true);
    m_globalTimer1.timerStart(constants.globalTimerIntervalMS);
    m_keepAliveTimer1.timerStart(constants.KeepAliveTimerIntervalMS);
    try {
        m_restServerSslSocketClient = new RestServerSslSocketClient(this);
        connect(&m_keepAliveTimer1, &standAloneKeepAliveTimer::signal_sendKeepAliveMessage,
                m_restServerSslSocketClient, &RestServerSslSocketClient::sendKeepAliveMessage);
        // Once the event loop runs, so that whoever follows the link (the service manager's
        // status line) is listening by then and sees its first state too.
        QMetaObject::invokeMethod(
            m_restServerSslSocketClient,
            [client = m_restServerSslSocketClient] {
                client->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
            },
            Qt::QueuedConnection);
    } catch (...) {
        qCritical("An unknown error occured in start");
        appLog().write(229, QStringLiteral("An unknown error occured in start"), id, true, true);
    }
}
