#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include "link/commanddispatcher.h"
#include "link/configurationguard.h"
#include "link/linktransport.h"

class QSslSocket;

// The link to the management server: the transport keeps the connection alive, this class
// registers the device on every connection, reads the server's answers and hands commands to
// the dispatcher, one at a time, each reply sent on the connection its command came on.
class RestServerSslSocketClient : public QObject {
    Q_OBJECT
  public:
    using LinkState = linkTransport::State;

    static constexpr int maxSleepSeconds = 24 * 60 * 60;
    static constexpr int registrationTimeoutS = 10;

    explicit RestServerSslSocketClient(QObject *parent = nullptr);
    // With a socket of the caller's (tests); it carries its own trust settings.
    RestServerSslSocketClient(QSslSocket *socket, QObject *parent);
    ~RestServerSslSocketClient() override;

    void setTiming(const linkTransport::Timing &timing) { m_transport.setTiming(timing); }
    // The configured server always wins over what a caller passes; the caller's text is
    // changed to it.
    void connectToHost(QString &host, quint16 port);
    void disconnectFromHost();
    // Takes no further command, lets the running one finish and its reply leave, then emits
    // signal_stopped. The caller bounds the wait.
    void stop();

    LinkState linkState() const { return m_transport.state(); }
    bool isRegistered() const { return linkState() == LinkState::Registered; }

  public slots:
    void sendKeepAliveMessage();

  signals:
    void signal_linkStateChanged(RestServerSslSocketClient::LinkState state, const QString &detail);
    void signal_stopped();

  private:
    void applySettings();
    bool registerClient();
    // With `fileData`, the JSON's empty "fileData" value is filled from it while the reply
    // leaves.
    bool sendToClient(const QString &typeCall, const QJsonObject &json, int timeoutS, bool quiet,
                      quint64 generation, std::shared_ptr<byteSource> fileData = nullptr);
    void scheduleDispatch();
    void dispatchPending();
    void handleRestServerData(const QVariant &message);
    void evaluateRegisterAnswer(const QVariantMap &record);
    void handleCommandTypes(const QString &commandType, const QVariantMap &data);
    void onSettingsChanged(bool configurationChanged, bool rightsChanged);
    void reloadSettings();
    void onOutputDrained();
    void stopIfIdle();
    void log(int code, const QString &text, const QString &source) const;

    linkTransport m_transport;
    commandDispatcher m_dispatcher;
    configurationGuard m_guard;
    bool m_dispatching = false;
    bool m_dispatchScheduled = false;
    bool m_stopping = false;
    bool m_stopped = false;
    // A changed settings or rights file is loaded once the reply that confirms it has left.
    bool m_reloadSettings = false;
    bool m_reloadRights = false;
    QTimer m_reloadTimer;
};
