#pragma once

// Process-wide records shared by every module. The client runs on one thread, so they are
// plain public fields without locks.

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

struct settingsStruct {
    int keepAliveSecondsInterval = 25;
    QString restServerQt_host = QStringLiteral("localhost");
    quint16 restServerQt_port = 7957;
    // Reconnection after repeated failed attempts: the delay doubles from 3 s up to this cap,
    // and each delay is shortened by a random part of up to this percentage. The defaults
    // keep a fixed 3 s.
    int reconnectMaxDelaySeconds = 3;
    int reconnectJitterPercent = 0;
    // Settings sent by the server that have not registered within this time are replaced by
    // the previous ones.
    int settingsRollbackSeconds = 600;
    QString POS_host = QStringLiteral("127.0.0.1");
    quint16 POS_port = 1027;
    bool posSocketHighDebug = true;
    QString loginName;
    QString loginPass;
    QString channelID;
    int ID__BoCompanyID = -1;
    int debugLevel = 50;
    // The largest file getFileContent sends and saveFileContent takes. At most 1 GiB: the
    // Base64 of a larger one would pass 2^31 characters, more than many JSON readers take in
    // one string.
    int maxFileTransferMiB = 1024;
    qint64 maxFileTransferBytes() const { return qint64(maxFileTransferMiB) * 1024 * 1024; }
    QMap<QString, QString> variousSettings;
    QMap<QString, QString> passwordRightsPaths;
    bool getAlternative_MAC = false;
};

struct sessionStruct {
    QString appDir;
    QString dataLocation;
    QString dataLogLocation;
    QString dataSettingsLocation;
    QString dataTempLocation;
    QString dataSymbolDataLocation;
    bool logPosCommands = true;
    QDate cleanLogFilesLastDate = QDate(2000, 1, 1);
    // Monotonic milliseconds (standAloneKeepAliveTimer::nowMs()) of the last keep-alive request;
    // negative until the first one, so the first timer tick sends one.
    qint64 sendKeepAliveLastMs = -1;
};

struct appSessionStruct {
    QDateTime clientStartTime;
    int versionCode = 0;
    QString os_type = QStringLiteral("?");
    int os_version = 0;
    QString os_buildnumber;
    QString os_deviceType;
    QString deviceId;
    QString androidId;
    QString currentIP;
    QString macAddress_read;
    QString macAddress_license;
    QString thisDeviceID;
    QString unique_deviceID;
};

struct constantsStruct {
    const QString versionString = QStringLiteral("1.0.1");
    const bool socketHighDebug = true;
    const int _TO_KEEP_BACKUP_FILES_ = 14;
    const int globalTimerIntervalMS = 60000;
    const int KeepAliveTimerIntervalMS = 20000;
};

struct readResultStruct {
    int errorCode = 0;
    QString errorDescription;
    QByteArray fileData;
};

struct saveResultStruct {
    int errorCode = 0;
    QString errorDescription;
    QString extraInfo;
};

struct variousResultStruct {
    int errorCode = 0;
    QString errorDescription;
    QString string_1;
    QList<int> intList;
};

struct posDataResponseStruct {
    bool resultBool = false;
    int firstPartCode = 0;
    QString resultText;
    bool connectTimedOut = false;
    bool deamonNotReady = true;
};

extern settingsStruct Settings;
extern sessionStruct Session;
extern appSessionStruct appSession;
extern const constantsStruct constants;
