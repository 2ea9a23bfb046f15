#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

#include "core/globals.h"
#include "commands/utilsmodel.h"

class QTcpSocket;
class posReplyParser;

// The client of the local POS daemon: one account socket, kept open across exchanges, a
// cashier login on each new connection, one command line (optionally followed by a second
// part) per exchange. Every wait runs a local event loop, so the management-server link and
// its keep-alives go on while the daemon takes its time.
class posTools : public QObject {
    Q_OBJECT
  public:
    static constexpr int connectTimeoutMs = 5000;
    static constexpr int greetingTimeoutMs = 1000;
    static constexpr int loginTimeoutMs = 1000;
    // A reply is read in rounds; each waits this long for data, and silence ends the reply.
    static constexpr int replyRoundTimeoutMs = 10000;
    // No further round starts once the reply has been read this long.
    static constexpr int replyReadingMs = 2500;
    static constexpr int moreDataTimeoutMs = 300;

    explicit posTools(QObject *parent = nullptr);

    // One exchange, described by `arguments` ("testConnection", "okCodeForPart2",
    // "cmdDataPart2", "endTagForPart2", "okCodeIfReceive2X", "endTag", "noClose", "usrPk",
    // "cashReg"). True when a complete reply came (whatever its code), and always in
    // test-connection mode. An exchange never starts while another one runs.
    bool sendPos(posDataResponseStruct &result, const QString &toSendCommand,
                 const QString &identifier, const QVariantMap &arguments);
    // What arrives within readTimeoutMs, and while end_string (if given) has not come, further
    // data that follows within moreDataTimeoutMs each. Bounded at maxReplyBytes.
    QString readSocket(QTcpSocket *thisSocket, const QString &end_string, bool convertEncoding,
                       int readTimeoutMs);
    bool getConnectedState() const { return m_accountSocketConnected; }

  public slots:
    void connected();
    void disconnected();
    void errorReceived(QAbstractSocket::SocketError socketError);
    // Ends the daemon session ("ACCCLOSE", "BYE") and disconnects; no reply is read.
    void accCloseAndDisconnect();
    void forceAccountSocketdisconnect();

  private:
    struct exchangeOptions;
    // Done: a complete reply came. Retry: worth one more try on a new connection. Failed: not.
    enum class attemptOutcome { Done, Retry, Failed };

    bool exchange(posDataResponseStruct &result, const QString &command, const QString &identifier,
                  const QVariantMap &arguments);
    attemptOutcome attempt(posDataResponseStruct &result, const QString &command,
                           const QString &identifier, const QVariantMap &arguments,
                           const exchangeOptions &o);
    attemptOutcome sendPart(posDataResponseStruct &result, const QString &line,
                            const QString &identifier, const exchangeOptions &o,
                            bool *secondPartDue);
    void connectIfNeeded(posDataResponseStruct &result, const QString &identifier,
                         const QVariantMap &arguments);
    void readReply(posReplyParser &parser);
    bool takeReply(posDataResponseStruct &result, const QByteArray &raw, const exchangeOptions &o,
                   const QString &command, const QString &identifier);
    void openConnection(posDataResponseStruct &result, const QString &identifier);
    void login(const QString &identifier, const QVariantMap &arguments);
    QByteArray readBytes(QTcpSocket *socket, const QByteArray &endString, int readTimeoutMs,
                         int maxBytes);
    void dropConnection(QTcpSocket *socket, const QString &reason, const QString &source);
    void retireAccountSocket();
    void writeLine(const QByteArray &line);
    QString hostPort() const;
    void debug(const QString &text) const;

    QTcpSocket *m_accountPOS_Socket;
    bool m_accountSocketConnected = false;
    // Only a call from inside the running exchange's own waits can find this set.
    bool m_exchangeRunning = false;
};

// The one instance, made on first use.
posTools &posToolsInstance();
