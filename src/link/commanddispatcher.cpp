#include "link/commanddispatcher.h"

#include <QJsonArray>

#include "commands/utilsmodel.h"
#include "core/encoding.h"
#include "core/log.h"
#include "core/replies.h"
#include "core/settings.h"
#include "link/configurationguard.h"

namespace {
const QString keepAliveRequest = QStringLiteral("\x02_KA_\x03");
}  // namespace

commandDispatcher::commandDispatcher(QObject *parent) : QObject(parent) {
    const auto call = [](QJsonObject (utilsModel::*method)(QVariantMap)) {
        return [method](const QVariantMap &data) { return (utils.*method)(data); };
    };
    m_handlers = {
        {QStringLiteral("testConnection"), call(&utilsModel::testConnection)},
        {QStringLiteral("deamonDirect"), call(&utilsModel::doDeamonCommand)},
        {QStringLiteral("doAccClose"),
         [](const QVariantMap &) { return utils.doAccCloseIfNeeded(); }},
        {QStringLiteral("getDirectoryFiles"), call(&utilsModel::getDirectoryFiles)},
        {QStringLiteral("getClientInfo"), call(&utilsModel::getClientInfo)},
        {QStringLiteral("getFileContent"),
         [](const QVariantMap &data) { return utils.getFileContentStreamed(data); }},
        {QStringLiteral("createAndEmptyDirectory"), call(&utilsModel::createAndEmptyDirectory)},
        {QStringLiteral("getVariousSetting"), call(&utilsModel::getVariousSetting)},
        {QStringLiteral("saveFileContent"), call(&utilsModel::saveFileContent)},
        {QStringLiteral("setRights"),
         [this](const QVariantMap &data) {
             QJsonObject result = utils.setRights(data);
             if (result.value(QStringLiteral("errorCode")).toInt(-1) == 0)
                 emit signal_settingsChanged(false, true);
             return result;
         }},
        {QStringLiteral("getConfiguration"),
         [this](const QVariantMap &) { return getConfiguration(); }},
        {QStringLiteral("setConfiguration"),
         [this](const QVariantMap &data) { return setConfiguration(data); }},
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

serverMessage commandDispatcher::readMessage(const QVariant &message) {
    serverMessage read;
    const auto invalid = [&read](int code, const QString &problem) {
        read.logCode = code;
        read.problem = problem;
        return read;
    };
    if (message.userType() != QMetaType::QVariantMap)
        return invalid(901, QStringLiteral("Json not valid!!"));
    const QVariantMap root = message.toMap();
    if (root.isEmpty()) return invalid(902, QStringLiteral("Json array node empty!"));
    const QString responseType = QStringLiteral("responseType");
    const QString commandType = QStringLiteral("commandType");
    const bool isResponse = param::isString(root, responseType);
    if (!isResponse && !param::isString(root, commandType))
        return invalid(903, QStringLiteral("Json root node -> 'responseType' or 'commandType' are "
                                           "missing or not a string!"));
    const QVariant data = root.value(QStringLiteral("data"));
    if (data.userType() != QMetaType::QVariantList)
        return invalid(904, QStringLiteral("Json data node doesn't exist"));
    read.kind = isResponse ? serverMessage::Response : serverMessage::Command;
    read.name = param::string(root, isResponse ? responseType : commandType);
    const QVariantList entries = data.toList();
    for (const QVariant &entry : entries)
        if (entry.userType() == QMetaType::QVariantMap) read.entries << entry.toMap();
    return read;
}

int commandDispatcher::replyTimeoutS(const QVariantMap &parameters) {
    const qint64 requested =
        param::integer(parameters, QStringLiteral("sendTimeOut"), defaultReplyTimeoutS);
    // A negative time-out would mean no deadline at all; the default is the safe reading.
    if (requested <= 0) return defaultReplyTimeoutS;
    return int(qMin<qint64>(requested, maxReplyTimeoutS));
}

commandReply commandDispatcher::dispatch(const QString &command, const QVariantMap &parameters) {
    commandReply reply;
    if (command == keepAliveRequest) {
        reply.send = false;
        return reply;
    }
    reply.timeoutS = replyTimeoutS(parameters);
    reply.quiet = command == QLatin1String("getFileContent");
    const auto handler = m_handlers.constFind(command);
    const commandResult result =
        handler != m_handlers.cend()
            ? handler.value()(parameters)
            : reply::error(404, QStringLiteral("Unknown command '%1'").arg(command));
    reply.envelope.insert(QStringLiteral("typeCall"), command);
    reply.envelope.insert(QStringLiteral("data"), QJsonArray{result.fields});
    reply.fileData = result.fileData;
    return reply;
}

QJsonObject commandDispatcher::getConfiguration() {
    const readResultStruct read = readTextFile(dataRoot::settingsFile(Session), true);
    QJsonObject result = reply::error(read.errorCode, read.errorDescription);
    result.insert(QStringLiteral("settingsFileData"), QString::fromLocal8Bit(read.fileData));
    return result;
}

QJsonObject commandDispatcher::setConfiguration(const QVariantMap &data) {
    const QString dataType = param::string(data, QStringLiteral("dataType"), QStringLiteral("raw"));
    if (!param::isString(data, QStringLiteral("dataValue")))
        return reply::error(901, QStringLiteral("No data to save!"));
    if (dataType != QLatin1String("raw"))
        return reply::error(902, QStringLiteral("Currently only dataType raw is supported!"));
    const QString value = param::string(data, QStringLiteral("dataValue"));
    const QString text = base64::lenientText(value);
    // An empty or undecodable value would wipe the settings and cut the device off its
    // server; refuse it like any other undecodable upload.
    if (text.isEmpty())
        return reply::error(959, QStringLiteral("Decode error of data from server!"));
    // The file is read at every start: one beyond the bounds is never stored.
    const QString refused =
        settingsBounds::refusal(settingsBounds::File::Settings, text.toLocal8Bit());
    if (!refused.isEmpty()) {
        appLog().write(903, QStringLiteral("New settings refused: ") + refused,
                       QStringLiteral("RestServerSslSocketClient::handleCommandTypes"), true, true);
        return reply::error(903, refused);
    }
    const QString path = dataRoot::settingsFile(Session);
    // The file that works stays at hand until the new one has registered.
    QString error;
    if (!configurationGuard::keepPrevious(path, &error)) {
        appLog().write(900, QStringLiteral("Keeping the current settings failed: %1").arg(error),
                       QStringLiteral("RestServerSslSocketClient::handleCommandTypes"), true, true);
        return reply::error(900, QStringLiteral("Can't keep the previous settings file!"));
    }
    const saveResultStruct saved = utils.saveFile(path, value.toLocal8Bit(), true, false);
    QJsonObject result = reply::error(saved.errorCode, saved.errorDescription);
    result.insert(QStringLiteral("settingsFileData"),
                  QString::fromLocal8Bit(readTextFile(path, true).fileData));
    if (saved.errorCode == 0) emit signal_settingsChanged(true, false);
    return result;
}
