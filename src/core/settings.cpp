#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <climits>

#include "core/encoding.h"
#include "core/log.h"
#include "core/regularfile.h"

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

QString dataRoot::settingsFile(const sessionStruct &session) {
    return session.dataSettingsLocation + QStringLiteral("qltRestClientQt.ini");
}

QString dataRoot::rightsFile(const sessionStruct &session) {
    return session.dataSettingsLocation + QStringLiteral("qltRestClientRightsQt.conf");
}

QString dataRoot::deviceIdFile(const sessionStruct &session) {
    return session.dataSettingsLocation + QStringLiteral("tessaron_device_id.dat");
}

void dataRoot::setDirectories(sessionStruct &session) {
    // Tests and the demo run the client in a throw-away data root; production leaves it unset.
    QString root = qEnvironmentVariable("QLT_DATA_ROOT");
    if (root.isEmpty()) root = productionDataRoot;
    if (!root.endsWith(QLatin1Char('/'))) root += QLatin1Char('/');
    session.dataLocation = root;
    session.dataLogLocation = root + QStringLiteral("Log/");
    session.dataSettingsLocation = root + QStringLiteral("settings/");
    session.dataTempLocation = root + QStringLiteral("temp/");
    session.dataSymbolDataLocation = root + QStringLiteral("symbolData/");
}

void dataRoot::createDirectories(const sessionStruct &session, const logger &log) {
    for (const QString &dir :
         {session.dataLocation, session.dataLogLocation, session.dataSettingsLocation,
          session.dataTempLocation, session.dataSymbolDataLocation}) {
        QDir().mkpath(dir);
    }
    const QFileInfo root(session.dataLocation);
    if (!root.isDir() || !root.isWritable()) {
        log.write(100,
                  QStringLiteral("Data directory %1 is missing or not writable: running with "
                                 "default settings and without a log file")
                      .arg(session.dataLocation),
                  QStringLiteral("utilsModel::createDirectories"), false, true);
        return;
    }
    // The settings directory holds credentials: owner only, and so do the files in it.
    QFile::setPermissions(session.dataSettingsLocation, ownerDir);
    restrictToOwner(settingsFile(session), ownerFile);
    restrictToOwner(rightsFile(session), ownerFile);
    restrictToOwner(deviceIdFile(session), ownerFile);
}

settingsFiles::settingsFiles(settingsStruct &settings, const sessionStruct &session,
                             const logger &log)
    : m_settings(settings),
      m_settingsFile(dataRoot::settingsFile(session)),
      m_rightsFile(dataRoot::rightsFile(session)),
      m_log(log) {}

QString settingsFiles::readSetting(const QString &settingName) const {
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    const QVariant value = settings.value(settingName);
    // A value holding commas comes back as a list; the file still holds one text.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

void settingsFiles::writeSetting(const QString &settingName, const QString &settingValue) const {
    {
        QSettings settings(m_settingsFile, QSettings::IniFormat);
        settings.setValue(settingName, settingValue);
        settings.sync();
    }
    restrictToOwner(m_settingsFile, ownerFile);
}

QMap<QString, QString> settingsFiles::readSettingsVarious() const {
    QMap<QString, QString> result;
    result.insert(QStringLiteral("diffPLU_Waiter_ID"), QStringLiteral("1"));
    result.insert(QStringLiteral("diffPLU_PluPK"), QStringLiteral("50001"));
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    const QString prefix = QStringLiteral("Various/");
    for (const QString &key : settings.allKeys()) {
        if (!key.startsWith(prefix)) continue;
        const QVariant v = settings.value(key);
        result.insert(key.mid(prefix.size()), v.userType() == QMetaType::QStringList
                                                  ? v.toStringList().join(QLatin1Char(','))
                                                  : v.toString());
    }
    return result;
}

void settingsFiles::loadSettings(bool logSettings) {
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
                valid =
                    parseStrictInt(text, &number) && number >= row.minimum && number <= row.maximum;
                break;
            case Kind::Boolean:
                valid = parseStrictBool(text, &flag);
                break;
            case Kind::String:
            case Kind::VariousOnly:
                break;
        }
        if (!valid && row.kind == Kind::Boolean) {
            m_log.write(601,
                        QStringLiteral("Setting %1 has the invalid value '%2'; taking it as false")
                            .arg(key, text),
                        id, true, true);
        } else if (!valid) {
            m_log.write(601,
                        QStringLiteral("Setting %1 has the invalid value '%2'; using the "
                                       "default '%3'")
                            .arg(key, text, row.defaultValue),
                        id, true, true);
            parseStrictInt(row.defaultValue, &number);
        }
        if (key == QLatin1String("RestServiceQt/restServerQt_host"))
            m_settings.restServerQt_host = text;
        else if (key == QLatin1String("RestServiceQt/restServerQt_port"))
            m_settings.restServerQt_port = quint16(number);
        else if (key == QLatin1String("RestServiceQt/reconnectMaxDelaySeconds"))
            m_settings.reconnectMaxDelaySeconds = int(number);
        else if (key == QLatin1String("RestServiceQt/reconnectJitterPercent"))
            m_settings.reconnectJitterPercent = int(number);
        else if (key == QLatin1String("RestServiceQt/settingsRollbackSeconds"))
            m_settings.settingsRollbackSeconds = int(number);
        else if (key == QLatin1String("POS/pos_host"))
            m_settings.POS_host = text;
        else if (key == QLatin1String("POS/pos_port"))
            m_settings.POS_port = quint16(number);
        else if (key == QLatin1String("POS/posSocketHighDebug"))
            m_settings.posSocketHighDebug = flag;
        else if (key == QLatin1String("Global/debugLevel"))
            m_settings.debugLevel = int(number);
        else if (key == QLatin1String("Global/ID__BoCompanyID"))
            m_settings.ID__BoCompanyID = int(number);
        else if (key == QLatin1String("Credentials/loginName"))
            m_settings.loginName = text;
        else if (key == QLatin1String("Credentials/loginPass"))
            m_settings.loginPass = text;
        else if (key == QLatin1String("Credentials/channelID"))
            m_settings.channelID = text;
    }
    m_settings.variousSettings = readSettingsVarious();
    if (!logSettings) return;
    const QString report =
        QStringLiteral("\nRestServiceQt settings\n") +
        QStringLiteral("  - restServerQt_host     : %1\n").arg(m_settings.restServerQt_host) +
        QStringLiteral("  - restServerQt_port     : %1\n").arg(m_settings.restServerQt_port) +
        QStringLiteral("  - reconnect delay       : 3 s, at most %1 s, jitter %2 %\n")
            .arg(m_settings.reconnectMaxDelaySeconds)
            .arg(m_settings.reconnectJitterPercent) +
        QStringLiteral("Tessaron POS settings\n") +
        QStringLiteral("  - POS_host              : %1\n").arg(m_settings.POS_host) +
        QStringLiteral("  - POS_port              : %1\n").arg(m_settings.POS_port) +
        QStringLiteral("  - posSocketHighDebug    : %1\n")
            .arg(m_settings.posSocketHighDebug ? 1 : 0) +
        QStringLiteral("Tessaron Global settings\n") +
        QStringLiteral("  - debugLevel            : %1\n").arg(m_settings.debugLevel) +
        QStringLiteral("Tessaron RestServerQt credentials\n") +
        QStringLiteral("  - loginName             : %1\n").arg(m_settings.loginName) +
        // The log is readable by whoever services the device; the password stays out of it.
        QStringLiteral("  - loginPass             : %1\n").arg(QStringLiteral("****")) +
        QStringLiteral("  - channelID             : %1\n").arg(m_settings.channelID);
    m_log.write(600, report, id, true, false);
}

bool settingsFiles::loadRights() {
    QFile file;
    const regularFile::Status opened =
        regularFile::openForReading(m_rightsFile, &file, QIODevice::Text);
    if (opened == regularFile::Status::NotRegular)
        m_log.write(602, regularFile::notRegular(m_rightsFile) + QStringLiteral(" Not read."),
                    QStringLiteral("utilsModel::loadRights"), true, true);
    if (opened != regularFile::Status::Opened) return false;
    const QByteArray head = file.read(maxRightsFileBytes);
    if (file.size() > maxRightsFileBytes) {
        m_log.write(602,
                    QStringLiteral("Rights file is larger than %1 bytes; the rest (%2 bytes) "
                                   "is ignored")
                        .arg(maxRightsFileBytes)
                        .arg(file.size() - maxRightsFileBytes),
                    QStringLiteral("utilsModel::loadRights"), true, true);
    }
    m_settings.passwordRightsPaths.clear();
    // Explicit size: a NUL byte in a damaged file must not hide the lines after it.
    const QStringList lines =
        QString::fromUtf8(head.constData(), head.size()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 2) m_settings.passwordRightsPaths.insert(fields.at(0), fields.at(1));
    }
    return true;
}

readResultStruct readTextFile(const QString &filePath, bool toBase64) {
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
    result.fileData = toBase64 ? base64::encodeText(text).toLocal8Bit() : text.toLocal8Bit();
    return result;
}
