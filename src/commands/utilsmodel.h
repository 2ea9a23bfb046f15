#pragma once

// utilsModel: the command handlers and the shared utilities (settings, directories, log,
// identity). It keeps no state of its own; everything lives in the records of globals.h.

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include "core/globals.h"
#include "core/log.h"
#include "core/parameters.h"
#include "core/replies.h"

class utilsModel : public QObject {
    Q_OBJECT
  public:
    explicit utilsModel(QObject *parent = nullptr);

    // --- waiting and dates
    void multitask(int mSecs);
    QString getDateFromDateTimeString(const QString &dateTimeString);
    QString getTimeFromDateTimeString(const QString &dateTimeString);

    // --- log
    void addDebugText(int logCode, const QString &logText, const QString &identifier,
                      bool writeToLog, bool writeToConsole);
    void cleanLogFiles();

    // --- directories, settings, rights, text files
    void setDirectories(const QString &appDir);
    void createDirectories(const QString &specialDir);
    bool createDirectoryIfNeeded(const QString &filePath);
    QString getPlatformPathDivider();
    QString encodeBase64(const QString &text);
    QString readSetting(const QString &settingName);
    void writeSetting(const QString &settingName, const QString &settingValue);
    QMap<QString, QString> readSettingsVarious();
    void loadSettings(bool logSettings);
    bool loadRights(bool logRights);
    readResultStruct readFile(const QString &filePath, bool toBase64);
    QString rightsFilePath();

    // --- device identity
    void getMAC_addresses();
    void getCurrentIP();
    bool getGeneratedDeviceID();
    QString getMAC_address();
    bool getOsDetails();
    bool getVersionDetails();
    double getDpi();
    QString getIMEI();
    QString getDeviceId();
    QString getAndroidId();
    QString getLogCatData(const QString &, const QString &);
    int restartApp();
    bool hasPermission(const QString &);
    void requestPermissionIfNeeded(const QString &);

    // --- replies
    QJsonObject setErrorData(int code, const QString &description);

    // --- file commands
    saveResultStruct saveFile(const QString &path, const QByteArray &data, bool isBase64,
                              bool isBinary);
    QString decodeBase64(const QString &text);
    QJsonObject getDirectoryFiles(QVariantMap data);
    QJsonObject createAndEmptyDirectory(QVariantMap data);
    QJsonObject getFileContent(QVariantMap data);
    // As getFileContent, with the file data made while the reply leaves.
    commandResult getFileContentStreamed(const QVariantMap &data);
    QJsonObject saveFileContent(QVariantMap data);
    QJsonObject setRights(QVariantMap data);

    // --- POS daemon commands
    QJsonObject testConnection(QVariantMap data);
    QJsonObject doDeamonCommand(QVariantMap dataMap);
    QJsonObject doAccCloseIfNeeded();

    // --- system commands
    QJsonObject getProcesses(QVariantMap data);
    QJsonObject getProcessInfo(QVariantMap data);
    variousResultStruct findPidsByName(const QString &processName);
    QJsonObject killPidById(QVariantMap data);
    QJsonObject killProcessByName(QVariantMap data);
    QJsonObject pingDevices(QVariantMap data);
    QJsonObject pingDevice(const QString &ipAddresss, int pingHops, bool doFlood);
    QJsonObject getClientInfo(QVariantMap data);
    QString formatDuration(qint64 seconds);
    QJsonObject getVariousSetting(QVariantMap data);
    QJsonObject getPosInfo(QVariantMap data);
    QJsonObject pushLicense(QVariantMap data);
    QJsonObject getNodes(QVariantMap data);
    QJsonObject rebootDevice(QVariantMap data);
    QJsonObject restartClient(QVariantMap data);
};

extern utilsModel utils;
