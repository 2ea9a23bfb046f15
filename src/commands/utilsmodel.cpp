#include "commands/utilsmodel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <limits>

#include "commands/deploymentcommands.h"
#include "commands/filecommands.h"
#include "commands/infocommands.h"
#include "core/encoding.h"
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
    QJsonObject o;
    o.insert(QStringLiteral("errorCode"), code);
    o.insert(QStringLiteral("errorDescription"), description);
    return o;
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

bool utilsModel::createDirectoryIfNeeded(const QString &filePath) {
    return fileWriter::createDirectoryIfNeeded(filePath);
}

QString utilsModel::getPlatformPathDivider() { return pathResolver::divider(); }

saveResultStruct utilsModel::saveFile(const QString &path, const QByteArray &data, bool isBase64,
                                      bool isBinary, const QString &modeOf) {
    return fileWriter(Session, appLog()).write(path, data, isBase64, isBinary, modeOf);
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

QJsonObject utilsModel::saveFileContent(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).saveFileContent(data);
}

QJsonObject utilsModel::setRights(QVariantMap data) {
    return fileCommands(Session, rightsFilePath(), appLog()).setRights(data);
}

QJsonObject utilsModel::pushLicense(QVariantMap data) {
    const auto killProcesses = [this](const QVariantMap &kill) { return killProcessByName(kill); };
    return deploymentCommands(Session, appLog(), killProcesses).pushLicense(data);
}

QJsonObject utilsModel::getNodes(QVariantMap data) { return deploymentCommands::getNodes(data); }

QJsonObject utilsModel::rebootDevice(QVariantMap data) {
    return deploymentCommands::rebootDevice(data);
}

QJsonObject utilsModel::restartClient(QVariantMap data) {
    return deploymentCommands::restartClient(data);
}
