#include "pos/postools.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include "core/log.h"

namespace {

// Runs a local event loop until the socket emits `wakeUp`, closes, fails, or the time is up.
template <typename Signal>
void waitForSocket(QTcpSocket *socket, Signal wakeUp, int timeoutMs) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(socket, wakeUp, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    loop.exec();
}

// True when the socket has bytes to read, waiting up to timeoutMs for them.
bool waitForData(QTcpSocket *socket, int timeoutMs) {
    if (socket->bytesAvailable() > 0) return true;
    if (socket->state() != QAbstractSocket::ConnectedState) return false;
    waitForSocket(socket, &QIODevice::readyRead, timeoutMs);
    return socket->bytesAvailable() > 0;
}

// Of what a daemon sends out of turn, the log shows this much.
constexpr int strayBytesShown = 80;

void log(int code, const QString &text, const QString &source) {
    appLog().write(code, text, source, true, true);
}

}  // namespace

// The options of one exchange, taken from its argument map.
struct posTools::exchangeOptions {
    bool testConnection = false;
    int okResultCode = 200;
    int okCodeForPart2 = 0;
    QString cmdDataPart2;
    QString endTagForPart2;
    bool waitForEndAtPart2 = false;
    int okCodeIfReceive2X = 0;
    QString endTag;
    bool noClose = true;

    bool waitForEnd() const { return !endTag.isEmpty() && okCodeIfReceive2X >= 1; }
    bool sendDataPart2() const { return !cmdDataPart2.isEmpty() && okCodeForPart2 >= 1; }
    static exchangeOptions from(const QVariantMap &arguments);
};

posTools::exchangeOptions posTools::exchangeOptions::from(const QVariantMap &a) {
    exchangeOptions o;
    o.testConnection = a.value(QStringLiteral("testConnection")).toBool();
    o.cmdDataPart2 = a.value(QStringLiteral("cmdDataPart2")).toString();
    o.endTagForPart2 = a.value(QStringLiteral("endTagForPart2")).toString();
    o.endTag = a.value(QStringLiteral("endTag")).toString();
    o.noClose = a.value(QStringLiteral("noClose"), true).toBool();
    if (a.contains(QStringLiteral("okCodeForPart2")))
        o.okResultCode = o.okCodeForPart2 = a.value(QStringLiteral("okCodeForPart2")).toInt();
    if (a.contains(QStringLiteral("waitForEndAtPart2"))) {
        o.waitForEndAtPart2 = a.value(QStringLiteral("waitForEndAtPart2")).toBool();
        if (a.contains(QStringLiteral("okCodeAfterPart2")))
            o.okResultCode = a.value(QStringLiteral("okCodeAfterPart2")).toInt();
    }
    if (o.okCodeForPart2 < 1 && a.contains(QStringLiteral("okCodeIfReceive2X")))
        o.okResultCode = o.okCodeIfReceive2X = a.value(QStringLiteral("okCodeIfReceive2X")).toInt();
    return o;
}

posTools &posToolsInstance() {
    // Lives until the process ends, like the link that calls it.
    static posTools *const instance = new posTools;
    return *instance;
}

posTools::posTools(QObject *parent) : QObject(parent), m_accountPOS_Socket(new QTcpSocket(this)) {}

bool posTools::sendPos(posDataResponseStruct &result, const QString &toSendCommand,
                       const QString &identifier, const QVariantMap &arguments) {
    if (m_exchangeRunning) {
        // On one thread, a second exchange can only start from inside the first one's waits:
        // waiting for the first would never end, and going on would mix two replies.
        const QString reason =
            QStringLiteral("another exchange with the POS daemon is still running");
        log(9758,
            QStringLiteral("SendPos: (command: %1) refused: %2")
                .arg(logformat::escaped(toSendCommand), reason),
            identifier);
        result.deamonNotReady = false;
        result.resultText = reason;
        return false;
    }
    m_exchangeRunning = true;
    const bool done = exchange(result, toSendCommand, identifier, arguments);
    m_exchangeRunning = false;
    return done;
}

bool posTools::exchange(posDataResponseStruct &result, const QString &command,
                        const QString &identifier, const QVariantMap &arguments) {
    const exchangeOptions o = exchangeOptions::from(arguments);
    if (o.testConnection) {
        result.connectTimedOut = false;
        connectIfNeeded(result, identifier, arguments);
        // The caller learns whether the daemon was ready on the connection just tested.
        result.deamonNotReady = m_state < State::Ready;
        accCloseAndDisconnect();
        return true;
    }
    attemptOutcome outcome = attempt(result, command, identifier, arguments, o);
    if (outcome == attemptOutcome::Retry) {
        // The whole exchange again, on a new connection: a second part alone would reach the
        // new session as a command of its own.
        accCloseAndDisconnect();
        outcome = attempt(result, command, identifier, arguments, o);
    }
    if (Session.logPosCommands)
        log(100, QStringLiteral("Code received: %1").arg(result.firstPartCode), identifier);
    if (!o.noClose && getConnectedState()) accCloseAndDisconnect();
    if (!result.resultText.isEmpty())
        result.resultText = QString::fromUtf8(result.resultText.toLocal8Bit());
    return outcome == attemptOutcome::Done;
}

// One try of the exchange: the command and, once its reply has the expected code, the second
// part on the same connection.
posTools::attemptOutcome posTools::attempt(posDataResponseStruct &result, const QString &command,
                                           const QString &identifier, const QVariantMap &arguments,
                                           const exchangeOptions &o) {
    // Nothing a failed try accepted may count for this one.
    result.resultBool = false;
    result.connectTimedOut = false;
    connectIfNeeded(result, identifier, arguments);
    if (!m_accountPOS_Socket->isOpen() || !getConnectedState())
        return result.connectTimedOut ? attemptOutcome::Failed : attemptOutcome::Retry;
    if (m_state < State::Ready) {
        result.deamonNotReady = true;
        return attemptOutcome::Retry;
    }
    result.deamonNotReady = false;
    bool secondPartDue = false;
    const attemptOutcome first = sendPart(result, command, identifier, o, &secondPartDue);
    if (first != attemptOutcome::Done || !secondPartDue) return first;
    // The second reply is read up to its end marker, whatever its code.
    QVariantMap second = arguments;
    if (!o.endTagForPart2.isEmpty()) second[QStringLiteral("endTag")] = o.endTagForPart2;
    second[QStringLiteral("okCodeForPart2")] = 0;
    second[QStringLiteral("waitForEndAtPart2")] = true;
    return sendPart(result, o.cmdDataPart2, identifier, exchangeOptions::from(second),
                    &secondPartDue);
}

// Sends one line and reads its reply into `result`.
posTools::attemptOutcome posTools::sendPart(posDataResponseStruct &result, const QString &line,
                                            const QString &identifier, const exchangeOptions &o,
                                            bool *secondPartDue) {
    if (Session.logPosCommands)
        log(100,
            QStringLiteral("To send:\n%1\nOk code: %2")
                .arg(logformat::escaped(line.trimmed()))
                .arg(o.okResultCode),
            identifier);
    // Exactly one line end, on the retry too.
    writeLine(line.toLocal8Bit());
    posReplyParser parser(o.okResultCode, o.waitForEnd(), o.waitForEndAtPart2,
                          posReplyParser::encode(o.endTagForPart2));
    readReply(parser);
    switch (parser.state()) {
        case posReplyParser::State::Incomplete:
        case posReplyParser::State::Truncated:
            result.resultText =
                QStringLiteral("incomplete reply (%1): %2")
                    .arg(parser.missingEnd(), posReplyParser::decode(parser.buffer()));
            return attemptOutcome::Retry;
        case posReplyParser::State::Overflow:
            result.resultText =
                QStringLiteral("reply longer than %1 bytes").arg(posReplyParser::maxReplyBytes);
            dropConnection(m_accountPOS_Socket, result.resultText, identifier);
            // Another try would only bring the same flood again.
            return attemptOutcome::Failed;
        case posReplyParser::State::Complete:
            break;
    }
    *secondPartDue = takeReply(result, parser.buffer(), o, line, identifier);
    return attemptOutcome::Done;
}

void posTools::connectIfNeeded(posDataResponseStruct &result, const QString &identifier,
                               const QVariantMap &arguments) {
    if (getConnectedState()) return;
    openConnection(result, identifier);
    if (getConnectedState()) login(identifier, arguments);
}

// Rounds of reading until the reply is complete, overflows, or has been read long enough.
void posTools::readReply(posReplyParser &parser) {
    QElapsedTimer clock;
    clock.start();
    while (parser.state() == posReplyParser::State::Incomplete) {
        const int room = posReplyParser::maxReplyBytes - parser.buffer().size();
        parser.addChunk(readBytes(m_accountPOS_Socket, {}, replyRoundTimeoutMs, room));
        if (parser.state() == posReplyParser::State::Incomplete &&
            clock.elapsed() >= replyReadingMs)
            return;
    }
}

// Fills the result from a complete reply; true when the second part is to be sent now.
bool posTools::takeReply(posDataResponseStruct &result, const QByteArray &raw,
                         const exchangeOptions &o, const QString &command,
                         const QString &identifier) {
    if (raw.isEmpty())
        log(399,
            QStringLiteral("No reply from the POS daemon (%1) to: %2")
                .arg(hostPort(), logformat::escaped(command)),
            identifier);
    else if (!posReplyParser::startsWithCode(raw))
        log(399,
            QStringLiteral("Reply from the POS daemon (%1) without a code: %2")
                .arg(hostPort(), posReplyParser::preview(raw)),
            identifier);
    const posReply reply = posReplyParser::parse(raw);
    result.firstPartCode = reply.code;
    if (reply.code != o.okResultCode) {
        if (raw == "500 Server not found\n") {
            // The daemon lost its back end: the next exchange connects and logs in anew.
            result.deamonNotReady = true;
            if (getConnectedState()) m_state = State::NotReady;
        }
        result.resultText = reply.text;
        return false;
    }
    result.resultBool = true;
    result.resultText = reply.afterFirstLine;
    return o.sendDataPart2();
}

void posTools::openConnection(posDataResponseStruct &result, const QString &identifier) {
    retireAccountSocket();
    m_accountPOS_Socket = new QTcpSocket(this);
    QTcpSocket *socket = m_accountPOS_Socket;
    connect(socket, &QTcpSocket::connected, this, &posTools::connected);
    connect(socket, &QTcpSocket::errorOccurred, this, &posTools::errorReceived);
    connect(socket, &QTcpSocket::disconnected, this, &posTools::disconnected);
    connect(socket, &QTcpSocket::readyRead, this, &posTools::readyRead);

    log(100, QStringLiteral("do connectToHost"), identifier);
    socket->connectToHost(Settings.POS_host, Settings.POS_port, QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
    log(100, QStringLiteral("done with connectToHost"), identifier);
    if (!socket->isOpen()) {
        log(395, QStringLiteral("m_accountPOS_Socket didn't open!"), identifier);
        result.connectTimedOut = true;
        return;
    }
    // A greeting from an earlier connection must not pass for this one's.
    m_greetingLine.clear();
    m_state = State::Connecting;
    debug(identifier + QStringLiteral(": creating account socket to ") + hostPort());

    // A refused connection reports an error at once and ends the wait with it; the error slot
    // has closed the session then.
    waitForSocket(socket, &QAbstractSocket::connected, connectTimeoutMs);
    if (m_state != State::Connecting) return;
    result.connectTimedOut = true;
    // A late connection would be a session nobody greeted or logged in.
    socket->abort();
    m_state = State::Closed;
    debug(identifier + QStringLiteral(": socket connect timeout for account socket..."));
}

void posTools::login(const QString &identifier, const QVariantMap &arguments) {
    QTcpSocket *socket = m_accountPOS_Socket;
    debug(identifier + QStringLiteral(": account socket connected."));
    const QString socketName = hostPort();
    // Anything after the first line is no greeting, and no reply to a command either.
    m_greetingLine = posReplyParser::greetingLine(readLine(socket, greetingTimeoutMs));

    const posGreeting greeting = posReplyParser::parseGreeting(m_greetingLine);
    if (greeting.ready) {
        // Unless the daemon hung up while its greeting was read.
        if (m_state == State::NotReady) m_state = State::Ready;
        const QString usrPk = QStringLiteral("usrPk");
        const QString cashReg = QStringLiteral("cashReg");
        // A new connection has nobody logged in yet.
        if (arguments.contains(usrPk) && arguments.contains(cashReg)) {
            writeLine(
                QStringLiteral("SETUSR %1 %2")
                    .arg(arguments.value(usrPk).toString(), arguments.value(cashReg).toString())
                    .toLocal8Bit());
            const QString answer = readLine(socket, loginTimeoutMs);
            if (!answer.startsWith(QLatin1String("200 Ok")))
                debug(QStringLiteral("POS-> failed to login: socket result: ") +
                      logformat::escaped(answer));
            else if (m_state == State::Ready)
                m_state = State::LoggedIn;
        }
    } else if (greeting.welcome) {
        debug(identifier +
              QStringLiteral(": POS-> deamon not ready (could not be parsed), socket name: ") +
              socketName + QStringLiteral(", socket result: ") +
              logformat::escaped(m_greetingLine));
    } else {
        debug(identifier + QStringLiteral(": POS-> deamon not ready, socket name: ") + socketName +
              QLatin1Char('!'));
    }
    debug(QStringLiteral("Setting socket with name ") + socketName +
          QStringLiteral(" to not busy..."));
}

QString posTools::readLine(QTcpSocket *socket, int readTimeoutMs) {
    QByteArray bytes = readBytes(socket, "\n", readTimeoutMs, posReplyParser::maxReplyBytes);
    if (bytes.size() > posReplyParser::maxReplyBytes) {
        bytes.truncate(posReplyParser::maxReplyBytes);
        dropConnection(
            socket, QStringLiteral("line longer than %1 bytes").arg(posReplyParser::maxReplyBytes),
            QStringLiteral("posTools::readLine"));
    }
    return posReplyParser::decode(bytes);
}

// At most maxBytes + 1 bytes, so that the caller can tell an overlong input.
QByteArray posTools::readBytes(QTcpSocket *socket, const QByteArray &endString, int readTimeoutMs,
                               int maxBytes) {
    QByteArray collected;
    if (!waitForData(socket, readTimeoutMs)) return collected;
    // Sized by what is there: read() would reserve its whole limit for every chunk.
    collected = socket->read(qMin(socket->bytesAvailable(), qint64(maxBytes) + 1));
    if (endString.isEmpty()) return collected;
    // A daemon that trickles bytes and never the end string must not hold the exchange: the
    // rest has as long as the first byte had.
    const QDeadlineTimer rest(readTimeoutMs);
    int searchFrom = 0;
    while (collected.indexOf(endString, searchFrom) < 0 && collected.size() <= maxBytes) {
        const int waitMs = int(qMin<qint64>(moreDataTimeoutMs, rest.remainingTime()));
        if (waitMs <= 0 || !waitForData(socket, waitMs)) break;
        const QByteArray chunk =
            socket->read(qMin(socket->bytesAvailable(), qint64(maxBytes) + 1 - collected.size()));
        if (chunk.isEmpty()) break;
        // Only the new bytes, and an end string split across chunks, need a look.
        searchFrom = qMax(0, collected.size() - endString.size() + 1);
        collected += chunk;
    }
    return collected;
}

// The disconnected slot clears the session state of the account socket.
void posTools::dropConnection(QTcpSocket *socket, const QString &reason, const QString &source) {
    log(399, QStringLiteral("POS daemon (%1) sent a %2; connection closed").arg(hostPort(), reason),
        source);
    socket->abort();
}

void posTools::accCloseAndDisconnect() {
    writeLine("ACCCLOSE");
    writeLine("BYE");
    m_accountPOS_Socket->disconnectFromHost();
    m_state = State::Closed;
}

void posTools::forceAccountSocketdisconnect() { m_accountPOS_Socket->disconnect(); }

// A replaced socket gets no further use; one still closing is deleted once it is closed.
void posTools::retireAccountSocket() {
    QTcpSocket *old = m_accountPOS_Socket;
    forceAccountSocketdisconnect();
    if (old->state() == QAbstractSocket::ClosingState) {
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
    } else {
        old->abort();
        old->deleteLater();
    }
}

void posTools::writeLine(const QByteArray &line) {
    // The daemon may have hung up already; the disconnected slot has noted it.
    if (m_accountPOS_Socket->state() != QAbstractSocket::ConnectedState) return;
    m_accountPOS_Socket->write(line + '\n');
    m_accountPOS_Socket->flush();
}

// Connected, and not greeted yet: the login routine reads the greeting next.
void posTools::connected() {
    m_state = State::NotReady;
    if (Settings.posSocketHighDebug)
        log(300, QStringLiteral("Account socket connected"), QStringLiteral("posTools::connected"));
}

void posTools::disconnected() {
    m_state = State::Closed;
    if (Settings.posSocketHighDebug)
        log(359, QStringLiteral("Account socket disconnected"),
            QStringLiteral("posTools::disconnected"));
}

// Bytes that come while no exchange runs would pass for the next command's reply, and left
// unread they would pile up in the socket without limit. A few of them show in the log; the
// rest go with the connection, and the next exchange opens a new one.
void posTools::readyRead() {
    if (m_exchangeRunning) return;  // the exchange reads them
    QTcpSocket *socket = m_accountPOS_Socket;
    const qint64 size = socket->bytesAvailable();
    const QString shown = posReplyParser::decode(socket->read(strayBytesShown));
    dropConnection(socket,
                   QStringLiteral("message out of turn (%1 bytes): %2")
                       .arg(size)
                       .arg(logformat::escaped(shown)),
                   QStringLiteral("posTools::readyRead"));
}

void posTools::errorReceived(QAbstractSocket::SocketError socketError) {
    const QString source = QStringLiteral("posTools::errorReceived");
    if (socketError == QAbstractSocket::SocketTimeoutError) {
        log(398, QStringLiteral("Account socket error: timeout!"), source);
        return;
    }
    // A connection that failed to come up is over; one that stood ends in the disconnected
    // slot.
    if (m_state == State::Connecting) m_state = State::Closed;
    log(399, QStringLiteral("Account socket error: %1").arg(int(socketError)), source);
}

QString posTools::hostPort() const {
    return Settings.POS_host + QLatin1Char(':') + QString::number(Settings.POS_port);
}

void posTools::debug(const QString &text) const {
    if (constants.socketHighDebug) qDebug().noquote() << text;
}
