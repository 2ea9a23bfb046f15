#include <limits>

#include "commands/utilsmodel.h"
#include "pos/postools.h"

namespace {

const QString errorCodeKey = QStringLiteral("errorCode");
const QString errorDescriptionKey = QStringLiteral("errorDescription");
const QString firstPartCodeKey = QStringLiteral("firstPartCode");

int intParam(const QVariantMap &data, const QString &key, int fallback) {
    return int(qBound<qint64>(std::numeric_limits<int>::min(), param::integer(data, key, fallback),
                              std::numeric_limits<int>::max()));
}

// The reply to a daemon command once sendPos has returned; requiredCode <= 0 accepts any
// code that sendPos counted as expected.
QJsonObject daemonReply(bool completed, const posDataResponseStruct &response, int requiredCode) {
    QJsonObject reply{{errorCodeKey, 404},
                      {errorDescriptionKey, QStringLiteral("Unknown error")},
                      {firstPartCodeKey, 0}};
    if (!completed) {
        const QString where =
            Settings.POS_host + QLatin1Char(':') + QString::number(Settings.POS_port);
        QString message;
        if (response.connectTimedOut)
            message = QStringLiteral("connection timed out (%1)!").arg(where);
        else if (response.deamonNotReady)
            message = QStringLiteral("deamon not ready (%1)!").arg(where);
        else
            message = QStringLiteral("There was a problem with command from POS (%1), %2")
                          .arg(where, response.resultText);
        utils.addDebugText(399, message, QStringLiteral("tcpserver::doDeamonCommand"), true, true);
        // The server learns why, not just that something failed.
        reply.insert(errorDescriptionKey, message);
        return reply;
    }
    const bool success =
        response.resultBool && (requiredCode <= 0 || response.firstPartCode == requiredCode);
    reply.insert(QStringLiteral("received"), response.resultText);
    reply.insert(firstPartCodeKey, response.firstPartCode);
    if (success) {
        reply.insert(errorCodeKey, 0);
        reply.insert(errorDescriptionKey, QString());
    } else if (response.firstPartCode > 0) {
        reply.insert(errorCodeKey, response.firstPartCode);
        reply.insert(errorDescriptionKey, response.resultText);
    } else {
        // No code at all (silence, a closed connection, text without a code) is a failure,
        // and must not read as errorCode 0.
        const QString where =
            Settings.POS_host + QLatin1Char(':') + QString::number(Settings.POS_port);
        const QString message = response.resultText.isEmpty()
                                    ? QStringLiteral("No reply from POS (%1)").arg(where)
                                    : QStringLiteral("Reply from POS without a code (%1): %2")
                                          .arg(where, response.resultText);
        utils.addDebugText(399, message, QStringLiteral("tcpserver::doDeamonCommand"), true, true);
        reply.insert(errorCodeKey, 404);
        reply.insert(errorDescriptionKey, message);
    }
    return reply;
}

}  // namespace

QJsonObject utilsModel::testConnection(QVariantMap) {
    QJsonObject reply{{errorCodeKey, 982},
                      {errorDescriptionKey, QStringLiteral("Result empty!")},
                      {QStringLiteral("completeResult"), QString()},
                      {QStringLiteral("deamonVersionString"), QString()},
                      {QStringLiteral("deamonVersionInt"), 0},
                      {QStringLiteral("deamonReady"), false}};
    posDataResponseStruct response;
    if (!posToolsInstance().sendPos(response, QString(),
                                    QStringLiteral("utilsModel::testConnection"),
                                    {{QStringLiteral("testConnection"), true}}))
        return reply;
    // Ready is what the session was on the tested connection, which is closed by now.
    const bool ready = !response.deamonNotReady;
    const QString firstLine = posToolsInstance().greetingLine();
    const posGreeting greeting = posToolsInstance().greeting();
    reply.insert(QStringLiteral("completeResult"), firstLine);
    reply.insert(QStringLiteral("deamonVersionString"), greeting.version);
    reply.insert(QStringLiteral("deamonVersionInt"), greeting.versionInt);
    reply.insert(QStringLiteral("deamonReady"), ready);
    reply.insert(errorCodeKey, ready ? 0 : 980);
    if (ready) {
        reply.insert(errorDescriptionKey, QString());
    } else if (firstLine.section(QLatin1Char(' '), 0, 0).toInt() == 500) {
        reply.insert(errorCodeKey, 500);
        reply.insert(errorDescriptionKey,
                     QStringLiteral("Server not found (POS not running correctly)"));
    } else {
        reply.insert(errorDescriptionKey,
                     QStringLiteral("Deamon didn't respond with welcome and version."));
    }
    return reply;
}

QJsonObject utilsModel::doDeamonCommand(QVariantMap dataMap) {
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
        posToolsInstance().sendPos(response, param::string(dataMap, QStringLiteral("cmd")),
                                   QStringLiteral("utilsModel::doDeamonCommand"), arguments);
    return daemonReply(completed, response, okCodeIfReceive2X);
}

QJsonObject utilsModel::doAccCloseIfNeeded() {
    if (!posToolsInstance().getConnectedState())
        return setErrorData(-1, QStringLiteral("Socket close no acclose needed."));
    posDataResponseStruct response;
    const bool completed = posToolsInstance().sendPos(
        response, QStringLiteral("ACCCLOSE"), QStringLiteral("utilsModel::doDeamonCommand"),
        {{QStringLiteral("endTag"), QStringLiteral("\n")}});
    return daemonReply(completed, response, 200);
}
