#include "commands/utilsmodel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <limits>

#include "commands/deploymentcommands.h"
#include "commands/filecommands.h"
#include "commands/infocommands.h"
#include "commands/pingcommands.h"
#include "commands/poscommands.h"
#include "commands/processcommands.h"
#include "core/encoding.h"
#include "core/identity.h"
#include "core/replies.h"
#include "core/settings.h"
#include "pos/postools.h"
#include "storage/filewriter.h"
#include "storage/pathresolver.h"

utilsModel utils;

utilsModel::utilsModel(QObject *parent) : QObject(parent) {}

void utilsModel::multitask(int mSecs) {
    if (mSecs <= 0) return;
    // A nested loop keeps sockets, timers and signals serviced while the caller waits.
    QEventLoop loop;
    QTimer::singleShot(mSecs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QString utilsModel::getDateFromDateTimeString(const QString &s) {
    if (s.size() != 12) return {};
    return s.mid(0, 4) + QLatin1Char('-') + s.mid(4, 2) + QLatin1Char('-') + s.mid(6, 2);
}

QString utilsModel::getTimeFromDateTimeString(const QString &s) {
    if (s.size() != 12) return {};
    return s.mid(8, 2) + QLatin1Char(':') + s.mid(10, 2) + QStringLiteral(":00");
}

void utilsModel::addDebugText(int logCode, const QString &logText, const QString &identifier,
                              bool writeToLog, bool writeToConsole) {
    appLog().write(logCode, logText, identifier, writeToLog, writeToConsole);
}

void utilsModel::cleanLogFiles() {
    Session.cleanLogFilesLastDate = QDate::currentDate();
    appLog().cleanOldFiles(Session.cleanLogFilesLastDate);
}

QJsonObject utilsModel::setErrorData(int code, const QString &description) {
    return reply::error(code, description);
}

QJsonObject utilsModel::getClientInfo(QVariantMap data) {
    return infoCommands(Settings, appSession, appLog()).getClientInfo(data);
}

QString utilsModel::formatDuration(qint64 seconds) { return infoCommands::formatDuration(seconds); }

QJsonObject utilsModel::getVariousSetting(QVariantMap data) {
    return infoCommands(Settings, appSession, appLog()).getVariousSetting(data);
}

QJsonObject utilsModel::getPosInfo(QVariantMap data) {
    return infoCommands(Settings, appSession, appLog()).getPosInfo(data);
}

namespace {
deviceIdentity identity() {
    return deviceIdentity(appSession, Settings, dataRoot::deviceIdFile(Session), appLog());
}

settingsFiles settings() { return settingsFiles(Settings, Session, appLog()); }
}  // namespace

void utilsModel::getMAC_addresses() { identity().getMAC_addresses(); }
void utilsModel::getCurrentIP() { identity().getCurrentIP(); }
bool utilsModel::getGeneratedDeviceID() { return identity().getGeneratedDeviceID(); }
QString utilsModel::getMAC_address() { return identity().getMAC_address(); }
bool utilsModel::getOsDetails() { return identity().getOsDetails(); }
bool utilsModel::getVersionDetails() { return identity().getVersionDetails(); }
double utilsModel::getDpi() { return identity().getDpi(); }
QString utilsModel::getIMEI() { return identity().getIMEI(); }
QString utilsModel::getDeviceId() { return identity().getDeviceId(); }
QString utilsModel::getAndroidId() { return identity().getAndroidId(); }
QString utilsModel::getLogCatData(const QString &a, const QString &b) {
    return identity().getLogCatData(a, b);
}
int utilsModel::restartApp() { return identity().restartApp(); }
bool utilsModel::hasPermission(const QString &p) { return identity().hasPermission(p); }
void utilsModel::requestPermissionIfNeeded(const QString &p) {
    identity().requestPermissionIfNeeded(p);
}

void utilsModel::setDirectories(const QString &) {
    dataRoot::setDirectories(Session);
    appLog().setDirectory(Session.dataLogLocation);
}

void utilsModel::createDirectories(const QString &specialDir) {
    if (specialDir.isEmpty())
        dataRoot::createDirectories(Session, appLog());
    else
        QDir().mkpath(specialDir);
}

QString utilsModel::rightsFilePath() { return dataRoot::rightsFile(Session); }
QString utilsModel::encodeBase64(const QString &text) { return base64::encodeText(text); }
QString utilsModel::readSetting(const QString &name) { return settings().readSetting(name); }
void utilsModel::writeSetting(const QString &name, const QString &value) {
    settings().writeSetting(name, value);
}
QMap<QString, QString> utilsModel::readSettingsVarious() {
    return settings().readSettingsVarious();
}
void utilsModel::loadSettings(bool logSettings) { settings().loadSettings(logSettings); }
bool utilsModel::loadRights(bool) { return settings().loadRights(); }
readResultStruct utilsModel::readFile(const QString &filePath, bool toBase64) {
    return readTextFile(filePath, toBase64);
}

bool utilsModel::createDirectoryIfNeeded(const QString &filePath) {
    return fileWriter::createDirectoryIfNeeded(filePath);
}

QString utilsModel::getPlatformPathDivider() { return pathResolver::divider(); }

saveResultStruct utilsModel::saveFile(const QString &path, const QByteArray &data, bool isBase64,
                                      bool isBinary) {
    return fileWriter(Session, appLog()).write(path, data, isBase64, isBinary);
}

QString utilsModel::decodeBase64(const QString &text) { return base64::lenientText(text); }

QJsonObject utilsModel::getDirectoryFiles(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).getDirectoryFiles(data);
}

QJsonObject utilsModel::createAndEmptyDirectory(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).createAndEmptyDirectory(data);
}

QJsonObject utilsModel::getFileContent(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).getFileContent(data);
}

commandResult utilsModel::getFileContentStreamed(const QVariantMap &data) {
    return fileCommands(Session, rightsFilePath(), appLog()).getFileContentStreamed(data);
}

QJsonObject utilsModel::saveFileContent(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).saveFileContent(data);
}

QJsonObject utilsModel::setRights(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).setRights(data);
}

QJsonObject utilsModel::pushLicense(QVariantMap data) {
    return deploymentCommands(Session, appLog()).pushLicense(data);
}

QJsonObject utilsModel::getNodes(QVariantMap data) { return deploymentCommands::getNodes(data); }

QJsonObject utilsModel::rebootDevice(QVariantMap data) {
    return deploymentCommands::rebootDevice(data);
}

QJsonObject utilsModel::restartClient(QVariantMap data) {
    return deploymentCommands::restartClient(data);
}

QJsonObject utilsModel::getProcesses(QVariantMap data) {
    return processCommands(appLog()).getProcesses(data);
}

QJsonObject utilsModel::getProcessInfo(QVariantMap data) {
    return processCommands(appLog()).getProcessInfo(data);
}

variousResultStruct utilsModel::findPidsByName(const QString &processName) {
    return processCommands(appLog()).findPidsByName(processName);
}

QJsonObject utilsModel::killPidById(QVariantMap data) {
    return processCommands(appLog()).killPidById(data);
}

QJsonObject utilsModel::killProcessByName(QVariantMap data) {
    return processCommands(appLog()).killProcessByName(data);
}

QJsonObject utilsModel::pingDevices(QVariantMap data) {
    return pingCommands(appLog()).pingDevices(data);
}

QJsonObject utilsModel::pingDevice(const QString &ipAddresss, int pingHops, bool doFlood) {
    return pingCommands(appLog()).pingDevice(ipAddresss, pingHops, doFlood);
}

QJsonObject utilsModel::testConnection(QVariantMap data) {
    return posCommands(posToolsInstance(), appLog()).testConnection(data);
}

QJsonObject utilsModel::doDeamonCommand(QVariantMap dataMap) {
    return posCommands(posToolsInstance(), appLog()).doDeamonCommand(dataMap);
}

QJsonObject utilsModel::doAccCloseIfNeeded() {
    return posCommands(posToolsInstance(), appLog()).doAccCloseIfNeeded();
}
