#include "devserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include "clientconnection.h"
#include "eventline.h"

namespace {

const QByteArray kKeepAliveAnswer = QByteArrayLiteral("\x02_KAS_\x03");

// Events carry the monotonic time, so that a driver can relate them to its own clock and to the
// fault relay's events.
void printEvent(const QString &event, int connection) {
    printJsonLine({{QStringLiteral("event"), event},
                   {QStringLiteral("conn"), connection},
                   {QStringLiteral("t"), monotonicMs()}});
}

// Modes are used one per occurrence; the last one stays in force.
template <typename Mode>
const Mode &nextMode(const QVector<Mode> &modes, int *count) {
    return modes.at(qMin((*count)++, modes.size() - 1));
}

bool readFile(const QString &path, QByteArray *data, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *data = file.readAll();
    return true;
}

}  // namespace

DevServer::DevServer(const ServerOptions &options, QObject *parent)
    : QTcpServer(parent), m_options(options) {}

bool DevServer::start(QString *error) {
    QByteArray data;
    if (!readFile(m_options.certFile, &data, error)) return false;
    m_certificates = QSslCertificate::fromData(data, QSsl::Pem);
    if (m_certificates.isEmpty()) {
        *error = QStringLiteral("no PEM certificate in %1").arg(m_options.certFile);
        return false;
    }
    if (!readFile(m_options.keyFile, &data, error)) return false;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        m_key = QSslKey(data, algorithm, QSsl::Pem);
        if (!m_key.isNull()) break;
    }
    if (m_key.isNull()) {
        *error = QStringLiteral("no usable PEM private key in %1").arg(m_options.keyFile);
        return false;
    }
    if (!listen(QHostAddress::LocalHost, m_options.port)) {
        *error = QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                     .arg(m_options.port)
                     .arg(errorString());
        return false;
    }
    return true;
}

void DevServer::exitWhenFlushed(int code) {
    m_exitCode = code;
    exitIfFlushed();
}

void DevServer::setRegisterChooser(std::function<RegisterMode(ClientConnection *)> chooser) {
    m_registerChooser = std::move(chooser);
}

void DevServer::setKeepAliveChooser(std::function<KeepAliveMode(ClientConnection *)> chooser) {
    m_keepAliveChooser = std::move(chooser);
}

void DevServer::incomingConnection(qintptr handle) {
    auto *socket = new QSslSocket;
    if (!socket->setSocketDescriptor(handle)) {
        qWarning().noquote() << "cannot take the connection:" << socket->errorString();
        delete socket;
        return;
    }
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setLocalCertificateChain(m_certificates);
    configuration.setPrivateKey(m_key);
    socket->setSslConfiguration(configuration);

    auto *connection = new ClientConnection(++m_connectionCount, socket, m_options.segmentMin,
                                            m_options.segmentMax, this);
    m_connections.append(connection);
    connect(
        connection, &ClientConnection::frameReceived, this,
        [this, connection](const ClientFramer::Frame &frame) { handleFrame(connection, frame); });
    connect(connection, &ClientConnection::sslError, this, [connection](const QString &text) {
        printJsonLine({{QStringLiteral("event"), QStringLiteral("sslError")},
                       {QStringLiteral("conn"), connection->id()},
                       {QStringLiteral("text"), text}});
    });
    connect(connection, &ClientConnection::flushed, this, &DevServer::exitIfFlushed);
    connect(connection, &ClientConnection::closed, this,
            [this, connection] { removeConnection(connection); });
    printEvent(QStringLiteral("connected"), connection->id());
    emit connectionOpened(connection);
    socket->startServerEncryption();
}

void DevServer::handleFrame(ClientConnection *connection, const ClientFramer::Frame &frame) {
    switch (frame.kind) {
        case ClientFramer::Frame::Json:
            printJsonLine(frame.object);
            if (frame.object.value(QLatin1String("typeCall")).toString() ==
                QLatin1String("registerPOS")) {
                answerRegistration(connection);
            }
            emit messageReceivedOn(connection, frame.object);
            break;
        case ClientFramer::Frame::Control:
            printJsonLine({{QStringLiteral("frame"), QString::fromLatin1(frame.bytes)}});
            if (frame.bytes == "_KA_") answerKeepAlive(connection);
            break;
        case ClientFramer::Frame::Garbage:
            printJsonLine({{QStringLiteral("garbage"), QString::fromUtf8(frame.bytes)}});
            break;
    }
}

void DevServer::answerRegistration(ClientConnection *connection) {
    const RegisterMode mode = m_registerChooser
                                  ? m_registerChooser(connection)
                                  : nextMode(m_options.registerModes, &m_registrationCount);
    QJsonObject record{{QStringLiteral("errorCode"), mode.errorCode}};
    switch (mode.kind) {
        case RegisterMode::Accept:
            qInfo().noquote() << "conn" << connection->id() << "registration accepted";
            break;
        case RegisterMode::Refuse:
            record.insert(QStringLiteral("errorDescription"), mode.errorText);
            qInfo().noquote() << "conn" << connection->id() << "registration refused with"
                              << mode.errorCode;
            break;
        case RegisterMode::Sleep:
            record.insert(QStringLiteral("extraCmds"),
                          QStringLiteral("sleep_%1").arg(mode.sleepSeconds));
            qInfo().noquote() << "conn" << connection->id() << "registration answered with sleep"
                              << mode.sleepSeconds << "s";
            break;
    }
    const QJsonObject answer{{QStringLiteral("responseType"), QStringLiteral("registerPOS")},
                             {QStringLiteral("data"), QJsonArray{record}}};
    QByteArray bytes = QJsonDocument(answer).toJson(QJsonDocument::Compact);
    if (m_options.glue) bytes += kKeepAliveAnswer;
    connection->send(bytes);
    // A client told to sleep goes away at once, so only a plain accept counts as registered.
    if (mode.kind == RegisterMode::Accept) {
        printEvent(QStringLiteral("registered"), connection->id());
        emit registered(connection);
    }
}

void DevServer::answerKeepAlive(ClientConnection *connection) {
    const KeepAliveMode mode = m_keepAliveChooser
                                   ? m_keepAliveChooser(connection)
                                   : nextMode(m_options.keepAliveModes, &m_keepAliveCount);
    switch (mode.kind) {
        case KeepAliveMode::Answer:
            connection->send(kKeepAliveAnswer);
            break;
        case KeepAliveMode::Silent:
            qInfo().noquote() << "conn" << connection->id() << "keep-alive left unanswered";
            break;
        case KeepAliveMode::Slow:
            QTimer::singleShot(mode.delayMs, connection,
                               [connection] { connection->send(kKeepAliveAnswer); });
            break;
    }
}

void DevServer::removeConnection(ClientConnection *connection) {
    m_connections.removeOne(connection);
    printEvent(QStringLiteral("disconnected"), connection->id());
    emit connectionClosed(connection);
    connection->deleteLater();
    exitIfFlushed();
}

void DevServer::exitIfFlushed() {
    if (m_exitCode < 0) return;
    for (const ClientConnection *connection : qAsConst(m_connections)) {
        if (!connection->isFlushed()) return;
    }
    QCoreApplication::exit(m_exitCode);
}
