#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>
#include <functional>

#include "messageframer.h"
#include "utils.h"

// The one TLS link to the management server: connection and reconnection, the wire
// exchange (JSON messages and control frames), registration, and command dispatch.
class RestServerSslSocketClient : public QObject {
    Q_OBJECT
public:
    enum class LinkState { Unconnected, Connecting, Connected, Registered };
    Q_ENUM(LinkState)

    static constexpr int reconnectDelayMs = 3000;
    static constexpr int keepAliveAnswerTimeoutS = 10;
    static constexpr int maxSleepSeconds = 24 * 60 * 60;

    explicit RestServerSslSocketClient(QObject *parent = nullptr);

    void connectToHost(QString &host, quint16 port);
    void disconnectFromHost();

    LinkState linkState() const { return m_state; }
    bool isConnected() const { return m_state >= LinkState::Connected; }
    bool isRegistered() const { return m_state == LinkState::Registered; }

signals:
    void signal_doneReading();
    void signal_doneWriting();
    void signal_socketError();
    void signal_linkStateChanged(RestServerSslSocketClient::LinkState state);

public slots:
    void socketStateChanged(QAbstractSocket::SocketState state);
    void sslErrors(const QList<QSslError> &errors);
    void socketError(QAbstractSocket::SocketError error);
    void socketEncrypted();
    void socketReadyRead();
    void readClient();
    void reconnect();
    bool sendToClient(const QString &typeCall, const QJsonObject &json, int timeoutS, bool quiet);
    bool sendToClientRAW(const QString &typeCall, const QByteArray &data, int timeoutS,
                         bool quiet);
    bool sendKeepAliveMessage();
    bool registerClient();
    void handleRestServerData(const QVariant &message);
    void handleCommandTypes(const QString &commandType, const QVariantMapT &data);

private:
    using Handler = std::function<QJsonObject(const QVariantMapT &)>;

    void setLinkState(LinkState state);
    void closeWithReason(int logCode, const QString &source, const QString &reason);
    bool outputDrained() const;
    bool sendBytes(const QByteArray &bytes, int timeoutS, const QString &typeCall,
                   const QString &source);
    void onBytesWritten();
    void dispatchPending();
    QVariant parseMessage(QByteArray raw);
    void evaluateRegisterAnswer(const QVariantMap &record);
    void endPause();
    QJsonObject getConfiguration();
    QJsonObject setConfiguration(const QVariantMapT &data, bool *changed);
    QString hostPort(const QString &text) const;
    void log(int code, const QString &text, const QString &source, bool toFile = true,
             bool toConsole = true) const;

    QSslSocket *m_socket;
    QString m_hostName;
    quint16 m_port = 0;
    MessageFramer m_framer;
    QQueue<QByteArray> m_pendingMessages;
    bool m_dispatching = false;
    // Counts connections so a reply never leaves on a connection its command did not come on.
    quint64 m_connectionGeneration = 0;
    qint64 m_lastSendTimeoutInSeconds = 0;
    qint64 m_bytesWritten = 0;
    LinkState m_state = LinkState::Unconnected;
    bool m_pauseConnect = false;
    QTimer m_pauseTimer;
    QTimer m_reconnectTimer;
    bool m_keepAliveResponseReceived = false;
    quint64 m_completedReads = 0;
    QMap<QString, Handler> m_handlers;
};
