#include "link/restserversslsocketclient.h"

#include <malloc.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSslSocket>

#include "core/globals.h"
#include "core/log.h"
#include "core/parameters.h"
#include "core/settings.h"
#include "link/jsonreader.h"
#include "storage/filewriter.h"

namespace {
// A streamed value between the JSON before it and the JSON after it.
class enclosedSource : public byteSource {
  public:
    enclosedSource(QByteArray before, std::shared_ptr<byteSource> value, QByteArray after)
        : m_before(std::move(before)), m_value(std::move(value)), m_after(std::move(after)) {}
    bool next(QByteArray *slice, QString *error) override {
        if (!m_before.isEmpty()) {
            slice->swap(m_before);
            m_before.clear();
            return true;
        }
        if (m_value) {
            if (!m_value->next(slice, error)) return false;
            if (!slice->isEmpty()) return true;
            m_value.reset();
        }
        slice->swap(m_after);
        m_after.clear();
        return true;
    }

  private:
    QByteArray m_before;
    std::shared_ptr<byteSource> m_value;
    QByteArray m_after;
};

// Below this a message's variants take a few MB at most, which later messages reuse.
constexpr int releaseHeapFromBytes = 64 * 1024;

QString cls(const char *method) {
    return QStringLiteral("RestServerSslSocketClient::") + QLatin1String(method);
}
}  // namespace

RestServerSslSocketClient::RestServerSslSocketClient(QObject *parent)
    : RestServerSslSocketClient(newServerSocket(), parent) {}

RestServerSslSocketClient::RestServerSslSocketClient(QSslSocket *socket, QObject *parent)
    : QObject(parent), m_transport(socket), m_guard(dataRoot::settingsFile(Session), appLog()) {
    connect(&m_transport, &linkTransport::stateChanged, this,
            [this](LinkState state, const QString &detail) {
                emit signal_linkStateChanged(state, detail);
            });
    connect(&m_transport, &linkTransport::connected, this,
            &RestServerSslSocketClient::registerClient);
    connect(&m_transport, &linkTransport::messageAvailable, this,
            &RestServerSslSocketClient::scheduleDispatch);
    connect(&m_transport, &linkTransport::outputDrained, this,
            &RestServerSslSocketClient::onOutputDrained);
    connect(&m_dispatcher, &commandDispatcher::signal_settingsChanged, this,
            &RestServerSslSocketClient::onSettingsChanged);
    connect(&m_guard, &configurationGuard::signal_restored, this, [this] {
        settingsFiles(Settings, Session, appLog()).loadSettings(true);
        applySettings();
        m_transport.close(800, cls("handleRestServerData"),
                          QStringLiteral("Previous settings restored: reconnecting with them"),
                          linkTransport::CloseMode::Graceful);
    });
    m_reloadTimer.setSingleShot(true);
    m_reloadTimer.setInterval(1000);
    connect(&m_reloadTimer, &QTimer::timeout, this, &RestServerSslSocketClient::reloadSettings);
}

RestServerSslSocketClient::~RestServerSslSocketClient() {
    try {
        m_transport.disconnect(this);
        m_transport.close(210, cls("~RestServerSslSocketClient"),
                          QStringLiteral("Closing the link: the client ends"),
                          linkTransport::CloseMode::Abort);
    } catch (...) {
        log(219, QStringLiteral("An unknown error occured in deconstructor"),
            cls("~RestServerSslSocketClient"));
    }
}

void RestServerSslSocketClient::log(int code, const QString &text, const QString &source) const {
    appLog().write(code, text, source, true, true);
}

void RestServerSslSocketClient::applySettings() {
    m_transport.setServer(Settings.restServerQt_host, Settings.restServerQt_port);
    // Spools are the client's own files, in a folder that no command may write into. They may
    // hold the Base64 of the largest file a transfer may carry, with room for escaped slashes;
    // a longer upload is answered with its refusal (fileCommands::saveFileContent).
    const qint64 maxFileBytes = Settings.maxFileTransferBytes();
    m_transport.setSpooling(fileWriter(Session, appLog()).journalDirectory(),
                            maxFileBytes / 3 * 4 + maxFileBytes / 32, fileWriter::keptFreeBytes);
    m_transport.setBackoff({Settings.reconnectMaxDelaySeconds, Settings.reconnectJitterPercent});
}

void RestServerSslSocketClient::connectToHost(QString &host, quint16 port) {
    log(100, QStringLiteral("Connect to host %1:%2").arg(host).arg(port), cls("connectToHost"));
    if (host != Settings.restServerQt_host) host = Settings.restServerQt_host;
    applySettings();
    // New settings that had not registered when the client last ended are still on trial.
    m_guard.startTrial(Settings.settingsRollbackSeconds);
    m_transport.connectToHost();
}

void RestServerSslSocketClient::disconnectFromHost() {
    m_transport.close(800, cls("disconnectFromHost"), QStringLiteral("Disconnect requested"),
                      linkTransport::CloseMode::Graceful);
}

void RestServerSslSocketClient::sendKeepAliveMessage() { m_transport.sendKeepAlive(); }

void RestServerSslSocketClient::stop() {
    m_stopping = true;
    stopIfIdle();
}

void RestServerSslSocketClient::stopIfIdle() {
    if (!m_stopping || m_stopped || m_dispatching || !m_transport.outputDelivered()) return;
    m_stopped = true;
    emit signal_stopped();
}

bool RestServerSslSocketClient::sendToClient(const QString &typeCall, const QJsonObject &json,
                                             int timeoutS, bool quiet, quint64 generation,
                                             std::shared_ptr<byteSource> fileData) {
    QByteArray compact = QJsonDocument(json).toJson(QJsonDocument::Compact);
    if (!quiet) {
        log(300,
            QStringLiteral("Sending the following json message (timeout %1 seconds, first 256 "
                           "bytes):\n%2")
                .arg(timeoutS)
                .arg(QString::fromUtf8(compact.left(256))),
            cls("sendToClient"));
    }
    if (fileData) {
        // Compact JSON escapes every quote inside a string: this is the key itself, once.
        static const QByteArray emptyValue = QByteArrayLiteral("\"fileData\":\"\"");
        const int at = compact.indexOf(emptyValue);
        if (at >= 0) {
            const int inside = at + emptyValue.size() - 1;
            return m_transport.sendStreamed(
                std::make_shared<enclosedSource>(compact.left(inside), std::move(fileData),
                                                 compact.mid(inside) + '\n'),
                timeoutS, typeCall, generation);
        }
    }
    compact.append('\n');  // in place: a reply may carry a whole file
    return m_transport.send(compact, timeoutS, typeCall, generation);
}

bool RestServerSslSocketClient::registerClient() {
    QJsonObject record;
    record.insert(QStringLiteral("MAC"),
                  QString(appSession.macAddress_license).remove(QLatin1Char(':')));
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
    return sendToClient(QStringLiteral("registerPOS"), message, registrationTimeoutS, false,
                        m_transport.generation());
}

// Commands run outside the readyRead emission that brought them: a command may wait, and the
// transport must go on reading (keep-alive answers, further commands) meanwhile.
void RestServerSslSocketClient::scheduleDispatch() {
    if (m_dispatchScheduled) return;
    m_dispatchScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_dispatchScheduled = false;
            dispatchPending();
        },
        Qt::QueuedConnection);
}

// One command at a time, and the next only once the reply of the previous one has left: a
// server that sends faster than the link carries fills the bounded intake, not our memory.
void RestServerSslSocketClient::dispatchPending() {
    if (m_dispatching) return;
    m_dispatching = true;
    while (m_transport.hasMessage() && m_transport.outputIdle() && !m_stopping &&
           !m_reloadSettings && !m_reloadRights) {
        messageFramer::Frame message = m_transport.takeMessage();
        // A spooled string came through the socket's large reads, and its command handles the
        // string in large slices.
        const bool large =
            message.bytes.size() >= releaseHeapFromBytes || !message.spools.isEmpty();
        {
            const jsonReader::Result parsed = jsonReader::read(
                message.bytes, messageFramer::defaultMaxDepth, jsonReader::compactStringBytes,
                jsonReader::messageBudget, message.spools);
            // A file's worth, maybe; the command needs only the variants (and the spools the
            // variants hold).
            message = messageFramer::Frame{};
            if (!parsed.error.isEmpty()) {
                log(905,
                    QStringLiteral("Malformed message from the server discarded (%1 at offset %2)")
                        .arg(parsed.error)
                        .arg(parsed.offset),
                    cls("readClient"));
            } else {
                if (!parsed.repeatedKey.isNull())
                    log(905,
                        QStringLiteral("Key '%1' appears twice in one object of a message from "
                                       "the server; the last value counts")
                            .arg(logformat::escaped(parsed.repeatedKey)),
                        cls("readClient"));
                handleRestServerData(parsed.value);
            }
        }
        // The message's variants are gone, but glibc keeps the heap they took for later
        // allocations, as it keeps any freed memory below its mappings: after one large message
        // the process would stay that large for good. Hand it back to the system.
        if (large) malloc_trim(0);
    }
    m_dispatching = false;
    stopIfIdle();
}

void RestServerSslSocketClient::onOutputDrained() {
    if ((m_reloadSettings || m_reloadRights) && !m_reloadTimer.isActive()) m_reloadTimer.start();
    scheduleDispatch();
    stopIfIdle();
}

void RestServerSslSocketClient::handleRestServerData(const QVariant &message) {
    const serverMessage read = commandDispatcher::readMessage(message);
    switch (read.kind) {
        case serverMessage::Invalid:
            log(read.logCode, read.problem, cls("handleRestServerData"));
            return;
        case serverMessage::Response:
            if (read.name != QLatin1String("registerPOS")) return;
            for (const QVariantMap &entry : read.entries) evaluateRegisterAnswer(entry);
            return;
        case serverMessage::Command: {
            const quint64 generation = m_transport.generation();
            for (const QVariantMap &entry : read.entries) {
                // The connection went away meanwhile: the rest would have no one to answer.
                if (generation != m_transport.generation()) break;
                handleCommandTypes(read.name, entry);
            }
            return;
        }
    }
}

void RestServerSslSocketClient::evaluateRegisterAnswer(const QVariantMap &record) {
    const QString src = cls("handleRestServerData");
    if (!param::isNumber(record, QStringLiteral("errorCode"))) {
        log(1002, QStringLiteral("registerPOS failed, errorCode not given!"), src);
        return;
    }
    const qint64 errorCode = param::integer(record, QStringLiteral("errorCode"), 0);
    if (errorCode != 0) {
        const QString refusal =
            QStringLiteral("registerPOS failed with errorCode %1 -> %2")
                .arg(errorCode)
                .arg(logformat::escaped(param::string(record, QStringLiteral("errorDescription"))));
        log(1001, refusal, src);
        m_guard.refused(refusal);
        return;
    }
    m_transport.markRegistered();
    m_guard.registered();
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
    m_transport.pause(pause);
    log(1857, QStringLiteral("registerPOS got the command to sleep %1 seconds").arg(pause), src);
}

void RestServerSslSocketClient::handleCommandTypes(const QString &commandType,
                                                   const QVariantMap &data) {
    const quint64 generation = m_transport.generation();
    const commandReply reply = m_dispatcher.dispatch(commandType, data);
    if (!reply.send) return;
    if (!sendToClient(commandType, reply.envelope, reply.timeoutS, reply.quiet, generation,
                      reply.fileData))
        log(102,
            QStringLiteral("Reply to %1 dropped: the connection it came on is gone")
                .arg(commandType),
            cls("handleCommandTypes"));
}

void RestServerSslSocketClient::onSettingsChanged(bool configurationChanged, bool rightsChanged) {
    m_reloadSettings = m_reloadSettings || configurationChanged;
    m_reloadRights = m_reloadRights || rightsChanged;
}

// A second after the confirming reply has left, as the server expects: reload, then reconnect
// with the new values and register again.
void RestServerSslSocketClient::reloadSettings() {
    if (m_reloadSettings) {
        settingsFiles(Settings, Session, appLog()).loadSettings(true);
        m_guard.startTrial(Settings.settingsRollbackSeconds);
    }
    if (m_reloadRights) settingsFiles(Settings, Session, appLog()).loadRights();
    m_reloadSettings = m_reloadRights = false;
    applySettings();
    m_transport.close(800, cls("handleCommandTypes"),
                      QStringLiteral("Settings changed: reconnecting with the new values"),
                      linkTransport::CloseMode::Graceful);
    scheduleDispatch();
}
