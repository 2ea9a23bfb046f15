#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

#include "core/globals.h"
#include "pos/posreplyparser.h"

class QTcpSocket;

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

    // The account socket's session, in the order a connection goes through. It is posTools'
    // alone: the socket's slots and the exchange move it, everyone else reads it.
    enum class State {
        Closed,      // no connection
        Connecting,  // connectToHost issued, not connected yet
        NotReady,    // connected, but no greeting with a version, or the daemon lost its back end
        Ready,       // greeted with a version, no cashier logged in
        LoggedIn,    // greeted, and a cashier logged in with SETUSR on this connection
    };

    explicit posTools(QObject *parent = nullptr);

    // One exchange, described by `arguments` ("testConnection", "okCodeForPart2",
    // "cmdDataPart2", "endTagForPart2", "okCodeIfReceive2X", "endTag", "noClose", "usrPk",
    // "cashReg"). True when a complete reply came (whatever its code), and always in
    // test-connection mode. An exchange never starts while another one runs.
    bool sendPos(posDataResponseStruct &result, const QString &toSendCommand,
                 const QString &identifier, const QVariantMap &arguments);
    State state() const { return m_state; }
    bool getConnectedState() const { return m_state >= State::NotReady; }
    // The daemon's first line on the latest connection (as posReplyParser::greetingLine keeps
    // it), and what it announced there. Kept after the connection closed, so that a test of
    // the connection can report them; empty from the start of each new connection.
    const QString &greetingLine() const { return m_greetingLine; }
    posGreeting greeting() const { return posReplyParser::parseGreeting(m_greetingLine); }
    // Where the daemon is, as log lines and replies show it.
    QString hostPort() const;

  public slots:
    void connected();
    void disconnected();
    void errorReceived(QAbstractSocket::SocketError socketError);
    // Outside an exchange the daemon has nothing to say: what it sends then closes the session.
    void readyRead();
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
    // What arrives within readTimeoutMs, and while the line end has not come, further data
    // that follows within moreDataTimeoutMs each and readTimeoutMs in all. Bounded at
    // maxReplyBytes.
    QString readLine(QTcpSocket *socket, int readTimeoutMs);
    QByteArray readBytes(QTcpSocket *socket, const QByteArray &endString, int readTimeoutMs,
                         int maxBytes);
    void dropConnection(QTcpSocket *socket, const QString &reason, const QString &source);
    void retireAccountSocket();
    void writeLine(const QByteArray &line);
    void debug(const QString &text) const;

    QTcpSocket *m_accountPOS_Socket;
    State m_state = State::Closed;
    QString m_greetingLine;
    // Only a call from inside the running exchange's own waits can find this set.
    bool m_exchangeRunning = false;
};

// The one instance, made on first use.
posTools &posToolsInstance();
