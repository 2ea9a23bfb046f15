// POS daemon commands: a test of the connection, a raw command, closing an open account.

#include "commands/poscommands.h"

#include <limits>

#include "core/log.h"
#include "core/parameters.h"
#include "core/replies.h"
#include "pos/posreplyparser.h"
#include "pos/postools.h"

namespace {

const QString firstPartCodeKey = QStringLiteral("firstPartCode");

int intParam(const QVariantMap &data, const QString &key, int fallback) {
    return int(qBound<qint64>(std::numeric_limits<int>::min(), param::integer(data, key, fallback),
                              std::numeric_limits<int>::max()));
}

}  // namespace

posCommands::posCommands(posTools &session, const logger &log) : m_session(session), m_log(log) {}

// The reply to a daemon command once sendPos has returned; requiredCode <= 0 accepts any
// code that sendPos counted as expected.
QJsonObject posCommands::daemonReply(bool completed, const posDataResponseStruct &response,
                                     int requiredCode) const {
    const QString logSource = QStringLiteral("tcpserver::doDeamonCommand");
    QJsonObject result{{firstPartCodeKey, 0}};
    if (!completed) {
        QString message;
        if (response.connectTimedOut)
            message = QStringLiteral("connection timed out (%1)!").arg(m_session.hostPort());
        else if (response.deamonNotReady)
            message = QStringLiteral("deamon not ready (%1)!").arg(m_session.hostPort());
        else
            message = QStringLiteral("There was a problem with command from POS (%1), %2")
                          .arg(m_session.hostPort(), posReplyParser::quoted(response.resultText));
        m_log.write(399, logformat::escaped(message), logSource);
        // The server learns why, not just that something failed.
        return reply::setError(result, 404, message);
    }
    const bool success =
        response.resultBool && (requiredCode <= 0 || response.firstPartCode == requiredCode);
    // The reply is the command's result and goes whole (it is bounded as it is read); the
    // description only quotes it.
    result.insert(QStringLiteral("received"), response.resultText);
    const QString quoted = posReplyParser::quoted(response.resultText);
    result.insert(firstPartCodeKey, response.firstPartCode);
    if (success) return reply::setError(result, 0, QString());
    if (response.firstPartCode > 0) return reply::setError(result, response.firstPartCode, quoted);
    // No code at all (silence, a closed connection, text without a code) is a failure, and
    // must not read as errorCode 0.
    const QString message = response.resultText.isEmpty()
                                ? QStringLiteral("No reply from POS (%1)").arg(m_session.hostPort())
                                : QStringLiteral("Reply from POS without a code (%1): %2")
                                      .arg(m_session.hostPort(), quoted);
    m_log.write(399, logformat::escaped(message), logSource);
    return reply::setError(result, 404, message);
}

QJsonObject posCommands::testConnection(const QVariantMap &) {
    QJsonObject result{{QStringLiteral("completeResult"), QString()},
                       {QStringLiteral("deamonVersionString"), QString()},
                       {QStringLiteral("deamonVersionInt"), 0},
                       {QStringLiteral("deamonReady"), false}};
    posDataResponseStruct response;
    if (!m_session.sendPos(response, QString(), QStringLiteral("utilsModel::testConnection"),
                           {{QStringLiteral("testConnection"), true}}))
        return reply::setError(result, 982, QStringLiteral("Result empty!"));
    // Ready is what the session was on the tested connection, which is closed by now.
    const bool ready = !response.deamonNotReady;
    const QString firstLine = m_session.greetingLine();
    const posGreeting greeting = m_session.greeting();
    result.insert(QStringLiteral("completeResult"), firstLine);
    result.insert(QStringLiteral("deamonVersionString"), greeting.version);
    result.insert(QStringLiteral("deamonVersionInt"), greeting.versionInt);
    result.insert(QStringLiteral("deamonReady"), ready);
    if (ready) return reply::setError(result, 0, QString());
    if (firstLine.section(QLatin1Char(' '), 0, 0).toInt() == 500)
        return reply::setError(result, 500,
                               QStringLiteral("Server not found (POS not running correctly)"));
    return reply::setError(result, 980,
                           QStringLiteral("Deamon didn't respond with welcome and version."));
}

QJsonObject posCommands::doDeamonCommand(const QVariantMap &dataMap) {
    const int okCodeIfReceive2X = intParam(dataMap, QStringLiteral("okCodeIfReceive2X"), 0);
    const int okCodeForPart2 = intParam(dataMap, QStringLiteral("okCodeForPart2"), 0);
    const int okCodeAfterPart2 = intParam(dataMap, QStringLiteral("okCodeAfterPart2"), 0);
    const QString cmdDataPart2 = param::string(dataMap, QStringLiteral("cmdDataPart2"));
    const QString endTagForPart2 = param::string(dataMap, QStringLiteral("endTagForPart2"));

    QVariantMap arguments{
        {QStringLiteral("endTag"),
         param::string(dataMap, QStringLiteral("endTag"), QStringLiteral("\n"))},
        {QStringLiteral("cashReg"), intParam(dataMap, QStringLiteral("usrCashReg"), 1)},
        {QStringLiteral("usrPk"), intParam(dataMap, QStringLiteral("usrPk"), 1)},
        {QStringLiteral("noClose"), param::boolean(dataMap, QStringLiteral("noClose"), false)}};
    if (okCodeIfReceive2X > 0)
        arguments.insert(QStringLiteral("okCodeIfReceive2X"), okCodeIfReceive2X);
    if (okCodeForPart2 > 0) arguments.insert(QStringLiteral("okCodeForPart2"), okCodeForPart2);
    if (!cmdDataPart2.isEmpty()) arguments.insert(QStringLiteral("cmdDataPart2"), cmdDataPart2);
    if (!endTagForPart2.isEmpty())
        arguments.insert(QStringLiteral("endTagForPart2"), endTagForPart2);
    if (okCodeAfterPart2 > 0)
        arguments.insert(QStringLiteral("okCodeAfterPart2"), okCodeAfterPart2);

    posDataResponseStruct response;
    const bool completed =
        m_session.sendPos(response, param::string(dataMap, QStringLiteral("cmd")),
                          QStringLiteral("utilsModel::doDeamonCommand"), arguments);
    return daemonReply(completed, response, okCodeIfReceive2X);
}

QJsonObject posCommands::doAccCloseIfNeeded() {
    if (!m_session.getConnectedState())
        return reply::error(-1, QStringLiteral("Socket close no acclose needed."));
    posDataResponseStruct response;
    const bool completed = m_session.sendPos(response, QStringLiteral("ACCCLOSE"),
                                             QStringLiteral("utilsModel::doDeamonCommand"),
                                             {{QStringLiteral("endTag"), QStringLiteral("\n")}});
    return daemonReply(completed, response, 200);
}
