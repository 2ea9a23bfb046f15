#include "restserversslsocketclient.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTextCodec>

#include "jsonreader.h"

namespace {
const QByteArray keepAliveRequest = QByteArray("\x02_KA_\x03");
const QByteArray keepAliveAnswerText = QByteArray("_KAS_");
const QByteArray acknowledgement = QByteArray("\x02_OK_\x03");
constexpr int defaultReplyTimeoutS = 55;
constexpr int maxReplyTimeoutS = 24 * 60 * 60;

QString cls(const char *method) {
    return QStringLiteral("RestServerSslSocketClient::") + QLatin1String(method);
}

QTextCodec *wireCodec() {
    static QTextCodec *codec = QTextCodec::codecForName("Windows-1252");
    return codec;
}

QList<QSslCertificate> trustedServerCa() {
    QFile file(QStringLiteral(":/server-ca.crt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QSslCertificate::fromData(file.readAll(), QSsl::Pem);
}
}  // namespace

// The CA lives in the static core library, whose resource initialiser the linker would drop.
static void initTrustResource() { Q_INIT_RESOURCE(servertrust); }

RestServerSslSocketClient::RestServerSslSocketClient(QObject *parent)
    : QObject(parent), m_socket(new QSslSocket(this)) {
    initTrustResource();
    qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
    QSslConfiguration config = m_socket->sslConfiguration();
    // TLS 1.2 is what the server speaks; allowing 1.3 costs no peer and gains a stronger
    // handshake where both ends have it.
    config.setProtocol(QSsl::TlsV1_2OrLater);
    const QList<QSslCertificate> ca = trustedServerCa();
    if (ca.isEmpty())
        log(900, QStringLiteral("No trusted server CA compiled in: every connection will fail"),
            cls("RestServerSslSocketClient"));
    // Only the compiled-in CA is trusted, never the system store: the link is a device's
    // remote control and must talk to its own server alone.
    config.setCaCertificates(ca);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setSslOption(QSsl::SslOptionDisableEmptyFragments, true);
    m_socket->setSslConfiguration(config);

    connect(m_socket, &QSslSocket::stateChanged, this,
            &RestServerSslSocketClient::socketStateChanged);
    connect(m_socket, &QSslSocket::errorOccurred, this, &RestServerSslSocketClient::socketError);
    connect(m_socket, &QSslSocket::encrypted, this, &RestServerSslSocketClient::socketEncrypted);
    connect(m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &RestServerSslSocketClient::sslErrors);
    connect(m_socket, &QSslSocket::readyRead, this, &RestServerSslSocketClient::socketReadyRead);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this,
            &RestServerSslSocketClient::onBytesWritten);

    m_reconnectTimer.setSingleShot(true);
    m_reconnectTimer.setInterval(reconnectDelayMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &RestServerSslSocketClient::reconnect);
    m_pauseTimer.setSingleShot(true);
    m_pauseTimer.setTimerType(Qt::PreciseTimer);  // a pause must never end early
    connect(&m_pauseTimer, &QTimer::timeout, this, &RestServerSslSocketClient::endPause);

    const auto call = [](QJsonObject (utilsModel::*method)(QVariantMapT)) {
        return [method](const QVariantMapT &data) { return (utils.*method)(data); };
    };
    m_handlers = {
        {QStringLiteral("testConnection"), call(&utilsModel::testConnection)},
        {QStringLiteral("deamonDirect"), call(&utilsModel::doDeamonCommand)},
        {QStringLiteral("doAccClose"), [](const QVariantMapT &) { return utils.doAccCloseIfNeeded(); }},
        {QStringLiteral("getDirectoryFiles"), call(&utilsModel::getDirectoryFiles)},
        {QStringLiteral("getClientInfo"), call(&utilsModel::getClientInfo)},
        {QStringLiteral("getFileContent"), call(&utilsModel::getFileContent)},
        {QStringLiteral("createAndEmptyDirectory"), call(&utilsModel::createAndEmptyDirectory)},
        {QStringLiteral("getVariousSetting"), call(&utilsModel::getVariousSetting)},
        {QStringLiteral("saveFileContent"), call(&utilsModel::saveFileContent)},
        {QStringLiteral("setRights"), call(&utilsModel::setRights)},
        {QStringLiteral("getConfiguration"), [this](const QVariantMapT &) { return getConfiguration(); }},
        {QStringLiteral("getNodes"), call(&utilsModel::getNodes)},
        {QStringLiteral("rebootDevice"), call(&utilsModel::rebootDevice)},
        {QStringLiteral("restartClient"), call(&utilsModel::restartClient)},
        {QStringLiteral("pingDevices"), call(&utilsModel::pingDevices)},
        {QStringLiteral("pushLicense"), call(&utilsModel::pushLicense)},
        {QStringLiteral("getPosInfo"), call(&utilsModel::getPosInfo)},
        {QStringLiteral("getProcessInfo"), call(&utilsModel::getProcessInfo)},
        {QStringLiteral("getProcesses"), call(&utilsModel::getProcesses)},
        {QStringLiteral("killProcessByName"), call(&utilsModel::killProcessByName)},
        {QStringLiteral("killPidById"), call(&utilsModel::killPidById)},
    };
}

void RestServerSslSocketClient::log(int code, const QString &text, const QString &source,
                                    bool toFile, bool toConsole) const {
    utils.addDebugText(code, text, source, toFile, toConsole);
}

QString RestServerSslSocketClient::hostPort(const QString &text) const {
    return text.arg(m_hostName).arg(m_port);
}

void RestServerSslSocketClient::setLinkState(LinkState state) {
    if (m_state == state) return;
    m_state = state;
    emit signal_linkStateChanged(state);
}

// Every failure that ends a connection comes through here: one log line, one way down.
void RestServerSslSocketClient::closeWithReason(int logCode, const QString &source,
                                                const QString &reason) {
    log(logCode, reason, source);
    disconnectFromHost();
}

void RestServerSslSocketClient::connectToHost(QString &host, quint16 port) {
    log(100, QStringLiteral("Connect to host %1:%2").arg(host).arg(port), cls("connectToHost"));
    if (m_pauseConnect) return;  // the end of the pause connects
    // The configured server always wins over what a caller passes.
    if (host != Settings.restServerQt_host) host = Settings.restServerQt_host;
    if (port != Settings.restServerQt_port) port = Settings.restServerQt_port;
    m_hostName = host;
    m_port = port;
    ++m_connectionGeneration;
    m_framer.reset();
    m_pendingMessages.clear();
    setLinkState(LinkState::Connecting);
    m_socket->connectToHostEncrypted(m_hostName, m_port, QIODevice::ReadWrite,
                                     QAbstractSocket::AnyIPProtocol);
}

void RestServerSslSocketClient::socketStateChanged(QAbstractSocket::SocketState state) {
    switch (state) {
        case QAbstractSocket::UnconnectedState:
            if (!m_pauseConnect)
                log(404, hostPort(QStringLiteral("Failed to connect to host %1:%2")),
                    cls("socketStateChanged"));
            if (!m_pendingMessages.isEmpty()) {
                log(102,
                    QStringLiteral("%1 received command(s) dropped with the connection")
                        .arg(m_pendingMessages.size()),
                    cls("socketStateChanged"));
                m_pendingMessages.clear();
            }
            m_framer.reset();
            setLinkState(LinkState::Unconnected);
            Session.functionBusy[QStringLiteral("posTools::sendPos")] = false;
            emit signal_doneReading();
            emit signal_doneWriting();
            emit signal_socketError();
            m_reconnectTimer.start();
            break;
        case QAbstractSocket::ConnectedState:
            log(404, hostPort(QStringLiteral("Connected to host %1:%2")),
                cls("socketStateChanged"));
            setLinkState(LinkState::Connected);
            registerClient();
            break;
        case QAbstractSocket::ClosingState:
            log(404, hostPort(QStringLiteral("Closing connection to host %1:%2")),
                cls("socketStateChanged"));
            break;
        default:
            break;
    }
}

void RestServerSslSocketClient::socketError(QAbstractSocket::SocketError error) {
    const char *name = QMetaEnum::fromType<QAbstractSocket::SocketError>().valueToKey(error);
    log(900,
        hostPort(QStringLiteral("Error with socket to host %1:%2: %3"))
            .arg(QLatin1String(name ? name : "UnknownSocketError")),
        cls("socketError"));
    emit signal_doneReading();
    emit signal_doneWriting();
    emit signal_socketError();
}

void RestServerSslSocketClient::socketEncrypted() {
    log(900, hostPort(QStringLiteral("Socket to host %1:%2 is encrypted")), cls("socketEncrypted"));
}

void RestServerSslSocketClient::sslErrors(const QList<QSslError> &errors) {
    // Not ignored: a certificate that does not chain to our CA or names another host ends
    // the handshake, and the normal reconnect schedule tries again.
    for (const QSslError &error : errors) qDebug() << "SSL error:" << error.errorString();
}

void RestServerSslSocketClient::socketReadyRead() {
    log(102, hostPort(QStringLiteral("Data ready to read from host %1:%2")),
        cls("socketReadyRead"), false, true);
    readClient();
}

void RestServerSslSocketClient::reconnect() {
    if (m_socket->state() != QAbstractSocket::UnconnectedState || m_pauseConnect) return;
    log(102, hostPort(QStringLiteral("Reconnect to host %1:%2")), cls("reconnect"));
    connectToHost(m_hostName, m_port);
}

void RestServerSslSocketClient::disconnectFromHost() {
    log(800, QStringLiteral("Do a disconnectFromHost"), cls("disconnectFromHost"));
    m_socket->disconnectFromHost();
}

void RestServerSslSocketClient::readClient() {
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty()) return;
    const QVector<MessageFramer::Frame> frames = m_framer.append(chunk);
    int acknowledgements = 0;
    bool overflow = false;
    for (const MessageFramer::Frame &frame : frames) {
        switch (frame.kind) {
            case MessageFramer::Frame::Control:
                if (frame.bytes == keepAliveAnswerText) {
                    log(700, QStringLiteral("Received OK from the keep-alive message"),
                        QStringLiteral("keepAliveTimerUpdate::readClient"), false, true);
                    m_keepAliveResponseReceived = true;
                    ++m_completedReads;
                    emit signal_doneReading();
                    ++acknowledgements;
                } else {
                    log(905,
                        QStringLiteral("Unknown control frame ignored: %1")
                            .arg(QString::fromLatin1(frame.bytes.toPercentEncoding())),
                        cls("readClient"));
                }
                break;
            case MessageFramer::Frame::Json:
                // The start of each message, not of each chunk: a chunk may begin inside a
                // value, where no key tells that it is a secret to be masked.
                log(300,
                    QStringLiteral("Received (first 128 bytes):\n%1")
                        .arg(wireCodec()->toUnicode(frame.bytes.left(128))),
                    QStringLiteral("RestServerSslSocketClient.readClient"));
                m_pendingMessages.enqueue(frame.bytes);
                break;
            case MessageFramer::Frame::Discarded:
                log(905, QStringLiteral("Discarded data from the server: %1")
                             .arg(wireCodec()->toUnicode(frame.bytes)),
                    cls("readClient"));
                break;
            case MessageFramer::Frame::Overflow:
                overflow = true;
                break;
        }
    }
    if (overflow) {
        closeWithReason(906,
                        cls("readClient"),
                        QStringLiteral("Message from the server discarded: %1; closing the "
                                       "connection")
                            .arg(QString::fromLatin1(frames.last().bytes)));
        return;
    }
    // Everything is queued before any nested wait below, so later data cannot overtake it.
    for (int i = 0; i < acknowledgements; ++i)
        sendToClientRAW(QStringLiteral("keepAlive"), acknowledgement, 5, true);
    // Commands run outside this readyRead emission: the socket does not report new data while
    // its readyRead slot runs, and a command that waits must still see keep-alive answers.
    if (!m_pendingMessages.isEmpty())
        QMetaObject::invokeMethod(this, &RestServerSslSocketClient::dispatchPending,
                                  Qt::QueuedConnection);
}

// Commands run one at a time: one that arrives while another waits inside its handler is
// queued and runs after the first one's reply has gone out.
void RestServerSslSocketClient::dispatchPending() {
    if (m_dispatching) return;
    m_dispatching = true;
    while (!m_pendingMessages.isEmpty()) {
        const QVariant message = parseMessage(m_pendingMessages.dequeue());
        if (!message.isValid()) continue;
        handleRestServerData(message);
        ++m_completedReads;
        emit signal_doneReading();
    }
    m_dispatching = false;
}

// A message may carry a whole file: it is read without intermediate forms and its bytes are
// released as soon as the values exist.
QVariant RestServerSslSocketClient::parseMessage(QByteArray raw) {
    const jsonReader::Result parsed = jsonReader::read(raw, MessageFramer::defaultMaxDepth);
    if (!parsed.error.isEmpty()) {
        log(905,
            QStringLiteral("Malformed message from the server discarded (%1 at offset %2): %3")
                .arg(parsed.error)
                .arg(parsed.offset)
                .arg(wireCodec()->toUnicode(raw.left(128))),
            cls("readClient"));
        return {};
    }
    if (!parsed.repeatedKey.isNull())
        log(905,
            QStringLiteral("Key '%1' appears twice in one object of a message from the server; "
                           "the last value counts")
                .arg(parsed.repeatedKey),
            cls("readClient"));
    return parsed.value;
}

bool RestServerSslSocketClient::outputDrained() const {
    return m_socket->bytesToWrite() == 0 && m_socket->encryptedBytesToWrite() == 0;
}

void RestServerSslSocketClient::onBytesWritten() {
    if (outputDrained()) emit signal_doneWriting();
}

// Writes one frame and waits until it has left for the network (so a stalled peer times
// out). Frames never wait for each other: each is appended whole to the socket's buffer, so
// a reply sent from inside another send's wait can neither interleave nor deadlock.
bool RestServerSslSocketClient::sendBytes(const QByteArray &bytes, int timeoutS,
                                          const QString &typeCall, const QString &source) {
    if (!isConnected()) return false;
    m_lastSendTimeoutInSeconds = timeoutS;
    m_bytesWritten = m_socket->write(bytes);
    if (m_bytesWritten == -1) return false;
    if (outputDrained()) return true;
    const quint64 generation = m_connectionGeneration;
    bool drained = false;
    bool failed = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (generation != m_connectionGeneration || !isConnected()) {
            failed = true;
            loop.quit();
        } else if (outputDrained()) {
            drained = true;
            loop.quit();
        }
    };
    connect(this, &RestServerSslSocketClient::signal_doneWriting, &loop, check);
    connect(this, &RestServerSslSocketClient::signal_socketError, &loop, [&] {
        failed = true;
        loop.quit();
    });
    timer.start(timeoutS * 1000);
    loop.exec();
    if (drained) return true;
    if (failed) return false;
    closeWithReason(399, source,
                    QStringLiteral("%1: Timeout occurred (timeout=%2 seconds)")
                        .arg(typeCall)
                        .arg(timeoutS));
    return false;
}

bool RestServerSslSocketClient::sendToClient(const QString &typeCall, const QJsonObject &json,
                                             int timeoutS, bool quiet) {
    QByteArray compact = QJsonDocument(json).toJson(QJsonDocument::Compact);
    if (!quiet) {
        log(300,
            QStringLiteral("Sending the following json message (timeout %1 seconds, first 256 "
                           "bytes):\n%2")
                .arg(timeoutS)
                .arg(QString::fromUtf8(compact.left(256))),
            cls("sendToClient"));
    }
    compact.append('\n');  // in place: a reply may carry a whole file
    return sendBytes(compact, timeoutS, typeCall, cls("sendToClient"));
}

bool RestServerSslSocketClient::sendToClientRAW(const QString &typeCall, const QByteArray &data,
                                                int timeoutS, bool quiet) {
    if (!quiet) {
        log(300,
            QStringLiteral("%1: sending the following RAW message (timeout %2 seconds):\n%3")
                .arg(typeCall)
                .arg(timeoutS)
                .arg(QString::fromUtf8(data)),
            cls("sendToClientRAW"));
    }
    return sendBytes(data, timeoutS, typeCall, cls("sendToClientRAW"));
}

bool RestServerSslSocketClient::sendKeepAliveMessage() {
    if (!isConnected()) return false;  // nothing to keep alive; the reconnect is scheduled
    m_keepAliveResponseReceived = false;
    const quint64 readsBefore = m_completedReads;
    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &RestServerSslSocketClient::signal_socketError, &loop, &QEventLoop::quit);
    connect(this, &RestServerSslSocketClient::signal_doneReading, &loop, &QEventLoop::quit);
    timer.start(keepAliveAnswerTimeoutS * 1000);
    sendToClientRAW(QStringLiteral("signal sendKeepAliveMessage"), keepAliveRequest, 5, true);
    // On loopback the answer may already have come in while the frame was being written.
    if (m_completedReads == readsBefore && isConnected()) loop.exec();
    if (m_completedReads != readsBefore) return true;
    if (!isConnected()) return false;
    closeWithReason(399, cls("sendKeepAliveMessage"),
                    QStringLiteral("Timeout occurred (timeout=%1 seconds)")
                        .arg(keepAliveAnswerTimeoutS));
    return false;
}

bool RestServerSslSocketClient::registerClient() {
    QJsonObject record;
    record.insert(QStringLiteral("MAC"), QString(appSession.macAddress_license).remove(QLatin1Char(':')));
    record.insert(QStringLiteral("NID"), 1);
    record.insert(QStringLiteral("domain"), QStringLiteral("debian-pos1"));
    record.insert(QStringLiteral("ID__BoCompanyID"), Settings.ID__BoCompanyID);
    record.insert(QStringLiteral("client_Version"), constants.versionString);
    record.insert(QStringLiteral("loginName"), Settings.loginName);
    record.insert(QStringLiteral("loginPass"), Settings.loginPass);
    record.insert(QStringLiteral("channelID"), Settings.channelID);
    QJsonArray passwords;
    passwords.append(QJsonObject{{QStringLiteral("pwd"), QStringLiteral("?[*_*]_NONE_")}});
    for (auto it = Settings.passwordRightsPaths.cbegin(); it != Settings.passwordRightsPaths.cend();
         ++it) {
        passwords.append(QJsonObject{
            {QStringLiteral("pwd"), QStringLiteral("%1[*_*]%2").arg(it.key(), it.value())}});
    }
    record.insert(QStringLiteral("myPasswordList"), passwords);
    QJsonObject message;
    message.insert(QStringLiteral("typeCall"), QStringLiteral("registerPOS"));
    message.insert(QStringLiteral("data"), QJsonArray{record});
    return sendToClient(QStringLiteral("registerPOS"), message, 10, false);
}

void RestServerSslSocketClient::handleRestServerData(const QVariant &message) {
    const QString src = cls("handleRestServerData");
    if (message.userType() != QMetaType::QVariantMap) {
        log(901, QStringLiteral("Json not valid!!"), src);
        return;
    }
    const QVariantMap root = message.toMap();
    if (root.isEmpty()) {
        log(902, QStringLiteral("Json array node empty!"), src);
        return;
    }
    const QString responseType = QStringLiteral("responseType");
    const QString commandType = QStringLiteral("commandType");
    const bool isResponse = param::isString(root, responseType);
    if (!isResponse && !param::isString(root, commandType)) {
        log(903,
            QStringLiteral("Json root node -> 'responseType' or 'commandType' are missing or not "
                           "a string!"),
            src);
        return;
    }
    const QVariant data = root.value(QStringLiteral("data"));
    if (data.userType() != QMetaType::QVariantList) {
        log(904, QStringLiteral("Json data node doesn't exist"), src);
        return;
    }
    const QVariantList entries = data.toList();
    if (isResponse) {
        if (param::string(root, responseType) != QLatin1String("registerPOS"))
            return;
        for (const QVariant &entry : entries)
            if (entry.userType() == QMetaType::QVariantMap) evaluateRegisterAnswer(entry.toMap());
        return;
    }
    const QString command = param::string(root, commandType);
    const quint64 generation = m_connectionGeneration;
    for (const QVariant &entry : entries) {
        if (generation != m_connectionGeneration) break;  // the connection went away meanwhile
        if (entry.userType() == QMetaType::QVariantMap) handleCommandTypes(command, entry.toMap());
    }
}

void RestServerSslSocketClient::evaluateRegisterAnswer(const QVariantMap &record) {
    const QString src = cls("handleRestServerData");
    const QVariant code = record.value(QStringLiteral("errorCode"));
    if (code.userType() != QMetaType::LongLong && code.userType() != QMetaType::Double) {
        log(1002, QStringLiteral("registerPOS failed, errorCode not given!"), src);
        return;
    }
    const qint64 errorCode = param::integer(record, QStringLiteral("errorCode"), 0);
    if (errorCode != 0) {
        log(1001,
            QStringLiteral("registerPOS failed with errorCode %1 -> %2")
                .arg(errorCode)
                .arg(param::string(record, QStringLiteral("errorDescription"))),
            src);
        return;
    }
    setLinkState(LinkState::Registered);
    const QString extra = param::string(record, QStringLiteral("extraCmds"));
    if (!extra.startsWith(QLatin1String("sleep_"))) return;
    const QStringList parts = extra.split(QLatin1Char('_'));
    bool ok = false;
    const qint64 seconds = parts.size() >= 2 ? parts.at(1).toLongLong(&ok) : 0;
    if (!ok || seconds <= 0) return;
    qint64 pause = seconds;
    if (pause > maxSleepSeconds) {
        log(1858,
            QStringLiteral("registerPOS sleep of %1 seconds capped at %2 seconds")
                .arg(seconds)
                .arg(maxSleepSeconds),
            src);
        pause = maxSleepSeconds;
    }
    // Stay away for the pause: no reconnect until it has passed.
    m_pauseConnect = true;
    m_pauseTimer.start(int(pause * 1000));
    disconnectFromHost();
    log(1857, QStringLiteral("registerPOS got the command to sleep %1 seconds").arg(pause), src);
}

void RestServerSslSocketClient::endPause() {
    m_pauseConnect = false;
    reconnect();
}

void RestServerSslSocketClient::handleCommandTypes(const QString &commandType,
                                                   const QVariantMapT &data) {
    qint64 timeout = defaultReplyTimeoutS;
    const qint64 requested = param::integer(data, QStringLiteral("sendTimeOut"), 0);
    if (requested != 0) timeout = qBound<qint64>(1, requested, maxReplyTimeoutS);
    if (commandType == QString::fromLatin1(keepAliveRequest)) {
        m_keepAliveResponseReceived = true;
        return;
    }
    const quint64 generation = m_connectionGeneration;
    bool configurationChanged = false;
    QJsonObject result;
    if (commandType == QLatin1String("setConfiguration")) {
        result = setConfiguration(data, &configurationChanged);
    } else if (const auto handler = m_handlers.constFind(commandType);
               handler != m_handlers.cend()) {
        result = handler.value()(data);
    } else {
        result = utils.setErrorData(404, QStringLiteral("Unknown command '%1'").arg(commandType));
    }
    const bool rightsChanged = commandType == QLatin1String("setRights") &&
                               result.value(QStringLiteral("errorCode")).toInt(-1) == 0;
    if (generation != m_connectionGeneration) {
        log(102,
            QStringLiteral("Reply to %1 dropped: the connection it came on is gone")
                .arg(commandType),
            cls("handleCommandTypes"));
    } else {
        QJsonObject envelope;
        envelope.insert(QStringLiteral("typeCall"), commandType);
        envelope.insert(QStringLiteral("data"), QJsonArray{result});
        sendToClient(commandType, envelope, int(timeout),
                     commandType == QLatin1String("getFileContent"));
    }
    if (configurationChanged || rightsChanged) {
        utils.multitask(1000);
        if (configurationChanged) utils.loadSettings(true);
        if (rightsChanged) utils.loadRights(true);
        disconnectFromHost();
    }
}

QJsonObject RestServerSslSocketClient::getConfiguration() {
    const readResultStruct read = utils.readFile(utils.settingsFilePath(), true);
    QJsonObject result = utils.setErrorData(read.errorCode, read.errorDescription);
    result.insert(QStringLiteral("settingsFileData"), QString::fromLocal8Bit(read.fileData));
    return result;
}

QJsonObject RestServerSslSocketClient::setConfiguration(const QVariantMapT &data, bool *changed) {
    const QString dataType = param::string(data, QStringLiteral("dataType"), QStringLiteral("raw"));
    if (!param::isString(data, QStringLiteral("dataValue")))
        return utils.setErrorData(901, QStringLiteral("No data to save!"));
    if (dataType != QLatin1String("raw"))
        return utils.setErrorData(902, QStringLiteral("Currently only dataType raw is supported!"));
    const QString value = param::string(data, QStringLiteral("dataValue"));
    // An empty or undecodable value would wipe the settings and cut the device off its
    // server; refuse it like any other undecodable upload.
    if (utils.decodeBase64(value).isEmpty())
        return utils.setErrorData(959, QStringLiteral("Decode error of data from server!"));
    const QString path = utils.settingsFilePath();
    const saveResultStruct saved = utils.saveFile(path, value.toLocal8Bit(), true, false);
    QJsonObject result = utils.setErrorData(saved.errorCode, saved.errorDescription);
    result.insert(QStringLiteral("settingsFileData"),
                  QString::fromLocal8Bit(utils.readFile(path, true).fileData));
    *changed = saved.errorCode == 0;
    return result;
}
