#include "commands/utilsmodel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cmath>
#include <limits>

#include "commands/infocommands.h"
#include "commands/pingcommands.h"
#include "commands/poscommands.h"
#include "commands/processcommands.h"
#include "pos/postools.h"

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
