#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <climits>

#include "storage/regularfile.h"
#include "commands/utilsmodel.h"

namespace {
const QString productionDataRoot = QStringLiteral("/tmp_project/Quillet_restServerClient/");
// The rights file is small; a larger one is a mistake or an attack, so only its head is read.
constexpr qint64 maxRightsFileBytes = 1024 * 1024;

enum class Kind { String, Port, Integer, Boolean, VariousOnly };
struct SettingRow {
    const char *key;
    QString defaultValue;
    Kind kind;
    qint64 minimum = INT_MIN;  // for integers
    qint64 maximum = INT_MAX;
};

QList<SettingRow> settingRows() {
    return {
        {"RestServiceQt/restServerQt_host", QStringLiteral("localhost"), Kind::String},
        {"RestServiceQt/restServerQt_port", QStringLiteral("7957"), Kind::Port},
        {"RestServiceQt/reconnectMaxDelaySeconds", QStringLiteral("3"), Kind::Integer, 3, 86400},
        {"RestServiceQt/reconnectJitterPercent", QStringLiteral("0"), Kind::Integer, 0, 100},
        {"RestServiceQt/settingsRollbackSeconds", QStringLiteral("600"), Kind::Integer, 1, 86400},
        {"POS/pos_host", QStringLiteral("127.0.0.1"), Kind::String},
        {"POS/pos_port", QStringLiteral("1027"), Kind::Port},
        {"POS/posSocketHighDebug", QStringLiteral("1"), Kind::Boolean},
        {"Global/debugLevel", QStringLiteral("50"), Kind::Integer},
        {"Global/ID__BoCompanyID", QStringLiteral("-1"), Kind::Integer},
        {"Credentials/loginName", QStringLiteral("demo"), Kind::String},
        {"Credentials/loginPass", QStringLiteral("kelp"), Kind::String},
        {"Credentials/channelID", QStringLiteral("default"), Kind::String},
        {"Various/diffPLU_Waiter_ID", QStringLiteral("1"), Kind::VariousOnly},
        {"Various/diffPLU_PluPK", QStringLiteral("50001"), Kind::VariousOnly},
    };
}

// Strict conversions: a value that does not parse is reported instead of silently becoming 0.
bool parseStrictInt(const QString &text, qint64 *out) {
    bool ok = false;
    *out = text.trimmed().toLongLong(&ok, 10);
    return ok;
}

// Only "true" (any case) and "1" are true. Anything else is false, so that a hand-edited "no"
// or "off" is never read as its opposite; a word other than "false" or "0" is reported.
bool parseStrictBool(const QString &text, bool *out) {
    const QString t = text.trimmed().toUpper();
    *out = t == QLatin1String("TRUE") || t == QLatin1String("1");
    return *out || t == QLatin1String("FALSE") || t == QLatin1String("0");
}

void restrictToOwner(const QString &path, QFileDevice::Permissions perms) {
    if (QFileInfo::exists(path)) QFile::setPermissions(path, perms);
}

const QFileDevice::Permissions ownerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions ownerDir =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
}  // namespace

QString utilsModel::settingsFilePath() {
    return Session.dataSettingsLocation + QStringLiteral("qltRestClientQt.ini");
}

QString utilsModel::rightsFilePath() {
    return Session.dataSettingsLocation + QStringLiteral("qltRestClientRightsQt.conf");
}

void utilsModel::setDirectories(const QString &) {
    // Tests and the demo run the client in a throw-away data root; production leaves it unset.
    QString root = qEnvironmentVariable("QLT_DATA_ROOT");
    if (root.isEmpty()) root = productionDataRoot;
    if (!root.endsWith(QLatin1Char('/'))) root += QLatin1Char('/');
    Session.dataLocation = root;
    Session.dataLogLocation = root + QStringLiteral("Log/");
    Session.dataSettingsLocation = root + QStringLiteral("settings/");
    Session.dataTempLocation = root + QStringLiteral("temp/");
    Session.dataSymbolDataLocation = root + QStringLiteral("symbolData/");
    appLog().setDirectory(Session.dataLogLocation);
}

void utilsModel::createDirectories(const QString &specialDir) {
    if (!specialDir.isEmpty()) {
        QDir().mkpath(specialDir);
        return;
    }
    for (const QString &dir :
         {Session.dataLocation, Session.dataLogLocation, Session.dataSettingsLocation,
          Session.dataTempLocation, Session.dataSymbolDataLocation}) {
        QDir().mkpath(dir);
    }
    const QFileInfo root(Session.dataLocation);
    if (!root.isDir() || !root.isWritable()) {
        addDebugText(100,
                     QStringLiteral("Data directory %1 is missing or not writable: running with "
                                    "default settings and without a log file")
                         .arg(Session.dataLocation),
                     QStringLiteral("utilsModel::createDirectories"), false, true);
        return;
    }
    // The settings directory holds credentials: owner only, and so do the files in it.
    QFile::setPermissions(Session.dataSettingsLocation, ownerDir);
    restrictToOwner(settingsFilePath(), ownerFile);
    restrictToOwner(rightsFilePath(), ownerFile);
    restrictToOwner(Session.dataSettingsLocation + QStringLiteral("tessaron_device_id.dat"),
                    ownerFile);
}

QString utilsModel::encodeBase64(const QString &text) {
    return QString::fromLatin1(text.toLocal8Bit().toBase64());
}

QString utilsModel::readSetting(const QString &settingName) {
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    const QVariant value = settings.value(settingName);
    // A value holding commas comes back as a list; the file still holds one text.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

void utilsModel::writeSetting(const QString &settingName, const QString &settingValue) {
    {
        QSettings settings(settingsFilePath(), QSettings::IniFormat);
        settings.setValue(settingName, settingValue);
        settings.sync();
    }
    restrictToOwner(settingsFilePath(), ownerFile);
}

QMap<QString, QString> utilsModel::readSettingsVarious() {
    QMap<QString, QString> result;
    result.insert(QStringLiteral("diffPLU_Waiter_ID"), QStringLiteral("1"));
    result.insert(QStringLiteral("diffPLU_PluPK"), QStringLiteral("50001"));
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    const QString prefix = QStringLiteral("Various/");
    for (const QString &key : settings.allKeys()) {
        if (!key.startsWith(prefix)) continue;
        const QVariant v = settings.value(key);
        result.insert(key.mid(prefix.size()),
                      v.userType() == QMetaType::QStringList
                          ? v.toStringList().join(QLatin1Char(','))
                          : v.toString());
    }
    return result;
}

void utilsModel::loadSettings(bool logSettings) {
    const QString id = QStringLiteral("utilsModel::loadSettings");
    for (const SettingRow &row : settingRows()) {
        const QString key = QString::fromLatin1(row.key);
        QString text = readSetting(key);
        if (text.isEmpty()) {
            writeSetting(key, row.defaultValue);
            text = row.defaultValue;
        }
        qint64 number = 0;
        bool flag = false;
        bool valid = true;
        switch (row.kind) {
            case Kind::Port:
                valid = parseStrictInt(text, &number) && number > 0 && number <= 65535;
                break;
            case Kind::Integer:
                valid = parseStrictInt(text, &number) && number >= row.minimum &&
                        number <= row.maximum;
                break;
            case Kind::Boolean:
                valid = parseStrictBool(text, &flag);
                break;
            case Kind::String:
            case Kind::VariousOnly:
                break;
        }
        if (!valid && row.kind == Kind::Boolean) {
            addDebugText(601,
                         QStringLiteral("Setting %1 has the invalid value '%2'; taking it as false")
                             .arg(key, text),
                         id, true, true);
        } else if (!valid) {
            addDebugText(601,
                         QStringLiteral("Setting %1 has the invalid value '%2'; using the "
                                        "default '%3'")
                             .arg(key, text, row.defaultValue),
                         id, true, true);
            parseStrictInt(row.defaultValue, &number);
        }
        if (key == QLatin1String("RestServiceQt/restServerQt_host"))
            Settings.restServerQt_host = text;
        else if (key == QLatin1String("RestServiceQt/restServerQt_port"))
            Settings.restServerQt_port = quint16(number);
        else if (key == QLatin1String("RestServiceQt/reconnectMaxDelaySeconds"))
            Settings.reconnectMaxDelaySeconds = int(number);
        else if (key == QLatin1String("RestServiceQt/reconnectJitterPercent"))
            Settings.reconnectJitterPercent = int(number);
        else if (key == QLatin1String("RestServiceQt/settingsRollbackSeconds"))
            Settings.settingsRollbackSeconds = int(number);
        else if (key == QLatin1String("POS/pos_host"))
            Settings.POS_host = text;
        else if (key == QLatin1String("POS/pos_port"))
            Settings.POS_port = quint16(number);
        else if (key == QLatin1String("POS/posSocketHighDebug"))
            Settings.posSocketHighDebug = flag;
        else if (key == QLatin1String("Global/debugLevel"))
            Settings.debugLevel = int(number);
        else if (key == QLatin1String("Global/ID__BoCompanyID"))
            Settings.ID__BoCompanyID = int(number);
        else if (key == QLatin1String("Credentials/loginName"))
            Settings.loginName = text;
        else if (key == QLatin1String("Credentials/loginPass"))
            Settings.loginPass = text;
        else if (key == QLatin1String("Credentials/channelID"))
            Settings.channelID = text;
    }
    Settings.variousSettings = readSettingsVarious();
    if (!logSettings) return;
    const QString report =
        QStringLiteral("\nRestServiceQt settings\n") +
        QStringLiteral("  - restServerQt_host     : %1\n").arg(Settings.restServerQt_host) +
        QStringLiteral("  - restServerQt_port     : %1\n").arg(Settings.restServerQt_port) +
        QStringLiteral("  - reconnect delay       : 3 s, at most %1 s, jitter %2 %\n")
            .arg(Settings.reconnectMaxDelaySeconds)
            .arg(Settings.reconnectJitterPercent) +
        QStringLiteral("Tessaron POS settings\n") +
        QStringLiteral("  - POS_host              : %1\n").arg(Settings.POS_host) +
        QStringLiteral("  - POS_port              : %1\n").arg(Settings.POS_port) +
        QStringLiteral("  - posSocketHighDebug    : %1\n").arg(Settings.posSocketHighDebug ? 1 : 0) +
        QStringLiteral("Tessaron Global settings\n") +
        QStringLiteral("  - debugLevel            : %1\n").arg(Settings.debugLevel) +
        QStringLiteral("Tessaron RestServerQt credentials\n") +
        QStringLiteral("  - loginName             : %1\n").arg(Settings.loginName) +
        // The log is readable by whoever services the device; the password stays out of it.
        QStringLiteral("  - loginPass             : %1\n").arg(QStringLiteral("****")) +
        QStringLiteral("  - channelID             : %1\n").arg(Settings.channelID);
    addDebugText(600, report, id, true, false);
}

bool utilsModel::loadRights(bool) {
    QFile file;
    const regularFile::Status opened =
        regularFile::openForReading(rightsFilePath(), &file, QIODevice::Text);
    if (opened == regularFile::Status::NotRegular)
        addDebugText(602, regularFile::notRegular(rightsFilePath()) + QStringLiteral(" Not read."),
                     QStringLiteral("utilsModel::loadRights"), true, true);
    if (opened != regularFile::Status::Opened) return false;
    const QByteArray head = file.read(maxRightsFileBytes);
    if (file.size() > maxRightsFileBytes) {
        addDebugText(602,
                     QStringLiteral("Rights file is larger than %1 bytes; the rest (%2 bytes) "
                                    "is ignored")
                         .arg(maxRightsFileBytes)
                         .arg(file.size() - maxRightsFileBytes),
                     QStringLiteral("utilsModel::loadRights"), true, true);
    }
    Settings.passwordRightsPaths.clear();
    // Explicit size: a NUL byte in a damaged file must not hide the lines after it.
    const QStringList lines =
        QString::fromUtf8(head.constData(), head.size()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 2) Settings.passwordRightsPaths.insert(fields.at(0), fields.at(1));
    }
    return true;
}

readResultStruct utilsModel::readFile(const QString &filePath, bool toBase64) {
    readResultStruct result;
    QFile file;
    switch (regularFile::openForReading(filePath, &file, QIODevice::Text)) {
        case regularFile::Status::Missing:
            result.errorCode = 404;
            result.errorDescription = QStringLiteral("File %1 doesn't exist!").arg(filePath);
            return result;
        case regularFile::Status::NotRegular:
            result.errorCode = 403;
            result.errorDescription = regularFile::notRegular(filePath);
            return result;
        case regularFile::Status::Failed:
            // An unreadable file is not an empty one: say so instead of answering success.
            result.errorCode = 403;
            result.errorDescription = QStringLiteral("File %1 can't be opened!").arg(filePath);
            return result;
        case regularFile::Status::Opened:
            break;
    }
    const QString text = QString::fromUtf8(file.readAll());
    result.fileData = toBase64 ? encodeBase64(text).toLocal8Bit() : text.toLocal8Bit();
    return result;
}
