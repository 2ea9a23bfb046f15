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

using QVariantMapT = QMap<QString, QVariant>;

class utilsModel : public QObject {
    Q_OBJECT
  public:
    explicit utilsModel(QObject *parent = nullptr);

    // --- waiting and dates (utils_time.cpp)
    void multitask(int mSecs);
    QString getDateFromDateTimeString(const QString &dateTimeString);
    QString getTimeFromDateTimeString(const QString &dateTimeString);

    // --- log (utils_log.cpp)
    void addDebugText(int logCode, const QString &logText, const QString &identifier,
                      bool writeToLog, bool writeToConsole);
    void cleanLogFiles();

    // --- directories, settings, rights, text files (utils_settings.cpp)
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
    QString settingsFilePath();
    QString rightsFilePath();

    // --- device identity (utils_identity.cpp)
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

    // --- file commands (utils_files.cpp)
    // Writes atomically; the file gets the mode of `modeOf` (default: `path`) when that
    // exists, else the default, which is owner-only in the settings directory.
    saveResultStruct saveFile(const QString &path, const QByteArray &data, bool isBase64,
                              bool isBinary, const QString &modeOf = QString());
    QString decodeBase64(const QString &text);
    QJsonObject getDirectoryFiles(QVariantMapT data);
    QJsonObject createAndEmptyDirectory(QVariantMapT data);
    QJsonObject getFileContent(QVariantMapT data);
    QJsonObject saveFileContent(QVariantMapT data);
    QJsonObject setRights(QVariantMapT data);

    // --- POS daemon commands (utils_pos.cpp)
    QJsonObject testConnection(QVariantMapT data);
    QJsonObject doDeamonCommand(QVariantMapT dataMap);
    QJsonObject doAccCloseIfNeeded();

    // --- system commands (utils_system.cpp)
    QJsonObject getProcesses(QVariantMapT data);
    QJsonObject getProcessInfo(QVariantMapT data);
    variousResultStruct findPidsByName(const QString &processName);
    QJsonObject killPidById(QVariantMapT data);
    QJsonObject killProcessByName(QVariantMapT data);
    QJsonObject pingDevices(QVariantMapT data);
    QJsonObject pingDevice(const QString &ipAddresss, int pingHops, bool doFlood);
    QJsonObject getClientInfo(QVariantMapT data);
    QString formatDuration(qint64 seconds);
    QJsonObject getVariousSetting(QVariantMapT data);
    QJsonObject getPosInfo(QVariantMapT data);
    QJsonObject pushLicense(QVariantMapT data);
    QJsonObject getNodes(QVariantMapT data);
    QJsonObject rebootDevice(QVariantMapT data);
    QJsonObject restartClient(QVariantMapT data);
};

extern utilsModel utils;

// Milliseconds of a monotonic clock: durations never follow wall-clock changes.
qint64 monotonicMs();

// Typed access to command parameters: a parameter counts only when it has the expected type.
// A string may come as QString or, when long and plain ASCII, as its bytes (see jsonReader).
namespace param {
bool isString(const QVariantMapT &data, const QString &key);
bool isBool(const QVariantMapT &data, const QString &key);
bool isNumber(const QVariantMapT &data, const QString &key);  // 64-bit integer or double
QString string(const QVariantMapT &data, const QString &key, const QString &fallback = {});
// The string's UTF-8 bytes, shared rather than copied when it came as bytes: for Base64 uploads.
QByteArray stringBytes(const QVariantMapT &data, const QString &key);
bool boolean(const QVariantMapT &data, const QString &key, bool fallback);
qint64 integer(const QVariantMapT &data, const QString &key, qint64 fallback);
}  // namespace param

// The log line and the daily file it goes to, for a given moment.
namespace logformat {
QString line(const QDateTime &when, int logCode, const QString &identifier, const QString &text);
QString filePath(const QString &logDir, const QDate &day);
// Log lines that could not be written since start (the client never stops for a full disk).
int lostLineCount();
// The text with every secret replaced by "****": the values of the JSON keys that carry the
// password, the rights entries, or files that hold them (settings, rights, licenses, uploads),
// also when the text ends inside such a value, and "loginPass=" lines of a settings file.
QString maskSecrets(const QString &text);
// The syslog priority (2 critical ... 7 debug) of a line with this log code, for the journal.
int syslogPriority(int logCode);
}  // namespace logformat

// Qt message handler: routes Qt's own messages into the daily log.
void messageOutputHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
void installMessageHandler();
