#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <climits>

#include "core/encoding.h"
#include "core/log.h"
#include "core/regularfile.h"
#include "storage/atomicfile.h"

namespace {
const QString productionDataRoot = QStringLiteral("/tmp_project/Quillet_restServerClient/");

// A line ends at "\n" or at "\r": the INI reader ends lines at either.
bool endsLine(char c) { return c == '\n' || c == '\r'; }

// Every key of either file stands on a line of its own that holds this separator.
char keySeparator(settingsBounds::File file) {
    return file == settingsBounds::File::Settings ? '=' : '\t';
}

QString fileName(settingsBounds::File file) {
    return file == settingsBounds::File::Settings ? QStringLiteral("settings")
                                                  : QStringLiteral("rights");
}

// The length of the part of `content` that holds at most `limit` lines with a key.
int withinKeys(const QByteArray &content, char separator, int limit) {
    int keys = 0;
    int lineStart = 0;
    bool hasKey = false;
    for (int i = 0; i <= content.size(); ++i) {
        if (i == content.size() || endsLine(content.at(i))) {
            if (hasKey && ++keys > limit) return lineStart;
            lineStart = i + 1;
            hasKey = false;
        } else if (content.at(i) == separator) {
            hasKey = true;
        }
    }
    return content.size();
}

// The start of the log line of a load that found a file beyond the bounds.
QString beyondBounds(settingsBounds::File file, const QString &path) {
    return QStringLiteral("The %1 file %2 holds more than %3 bytes or %4 keys")
        .arg(fileName(file), path)
        .arg(settingsBounds::maxBytes)
        .arg(settingsBounds::maxKeys);
}

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
        {"Global/maxFileTransferMiB", QStringLiteral("1024"), Kind::Integer, 1, 1024},
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

const QString variousPrefix = QStringLiteral("Various/");

QMap<QString, QString> variousDefaults() {
    QMap<QString, QString> defaults;
    for (const SettingRow &row : settingRows())
        if (row.kind == Kind::VariousOnly)
            defaults.insert(QString::fromLatin1(row.key).mid(variousPrefix.size()),
                            row.defaultValue);
    return defaults;
}

const QFileDevice::Permissions ownerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions ownerDir =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
}  // namespace

QString settingsBounds::refusal(File file, const QByteArray &content) {
    if (content.size() > maxBytes)
        return QStringLiteral("The %1 file may hold at most %2 bytes!")
            .arg(fileName(file))
            .arg(maxBytes);
    if (withinKeys(content, keySeparator(file), maxKeys) < content.size())
        return QStringLiteral("The %1 file may hold at most %2 keys!")
            .arg(fileName(file))
            .arg(maxKeys);
    return QString();
}

settingsBounds::head settingsBounds::readHead(File file, const QString &path,
                                              QIODevice::OpenMode mode) {
    head result;
    QFile device;
    result.status = regularFile::openForReading(path, &device, mode);
    if (result.status != regularFile::Status::Opened) return result;
    result.bytes = device.read(maxBytes + 1);
    const char separator = keySeparator(file);
    result.cut = result.bytes.size() > maxBytes ||
                 withinKeys(result.bytes, separator, maxKeys) < result.bytes.size();
    if (!result.cut) return result;
    // Half of the bounds is kept, so that the keys a load writes back with their defaults
    // cannot take the file beyond them again.
    if (result.bytes.size() > maxBytes / 2) {
        result.bytes.truncate(maxBytes / 2);
        // Whole lines only: half a line could read as another key or another value.
        int end = result.bytes.size() - 1;
        while (end >= 0 && !endsLine(result.bytes.at(end))) --end;
        result.bytes.truncate(end + 1);
    }
    result.bytes.truncate(withinKeys(result.bytes, separator, maxKeys / 2));
    return result;
}

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
    QMap<QString, QString> result = variousDefaults();
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    for (const QString &key : settings.allKeys()) {
        if (!key.startsWith(variousPrefix)) continue;
        const QVariant v = settings.value(key);
        result.insert(key.mid(variousPrefix.size()), v.userType() == QMetaType::QStringList
                                                         ? v.toStringList().join(QLatin1Char(','))
                                                         : v.toString());
    }
    return result;
}

// The INI reader takes in the whole file, for every read and for every write of a key: a file
// beyond the bounds is cut on disk to the start that a load may use before any of that. False
// when it is beyond them and could not be cut, or is no regular file; it must not be read at
// all then.
bool settingsFiles::boundSettingsFile() const {
    const settingsBounds::File file = settingsBounds::File::Settings;
    const settingsBounds::head head = settingsBounds::readHead(file, m_settingsFile);
    const QString id = QStringLiteral("utilsModel::loadSettings");
    // The INI reader would open a FIFO and wait on it for good.
    if (head.status == regularFile::Status::NotRegular) {
        m_log.write(999,
                    regularFile::notRegular(m_settingsFile) +
                        QStringLiteral(" Running with the default settings."),
                    id, true, true);
        return false;
    }
    if (!head.cut) return true;
    QString error;
    if (!atomicFile::write(m_settingsFile, head.bytes, &error, 0600)) {
        m_log.write(999,
                    beyondBounds(file, m_settingsFile) +
                        QStringLiteral(" and could not be cut (%1): running with the "
                                       "default settings")
                            .arg(error),
                    id, true, true);
        return false;
    }
    m_log.write(601,
                beyondBounds(file, m_settingsFile) +
                    QStringLiteral(": cut to its first %1 bytes, whole lines; keys missing now "
                                   "take their defaults")
                        .arg(head.bytes.size()),
                id, true, true);
    return true;
}

void settingsFiles::loadSettings(bool logSettings) {
    const QString id = QStringLiteral("utilsModel::loadSettings");
    const bool fileUsable = boundSettingsFile();
    for (const SettingRow &row : settingRows()) {
        const QString key = QString::fromLatin1(row.key);
        QString text = fileUsable ? readSetting(key) : QString();
        if (text.isEmpty()) {
            if (fileUsable) writeSetting(key, row.defaultValue);
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
        else if (key == QLatin1String("Global/maxFileTransferMiB"))
            m_settings.maxFileTransferMiB = int(number);
        else if (key == QLatin1String("Credentials/loginName"))
            m_settings.loginName = text;
        else if (key == QLatin1String("Credentials/loginPass"))
            m_settings.loginPass = text;
        else if (key == QLatin1String("Credentials/channelID"))
            m_settings.channelID = text;
    }
    m_settings.variousSettings = fileUsable ? readSettingsVarious() : variousDefaults();
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
        QStringLiteral("  - maxFileTransferMiB    : %1\n").arg(m_settings.maxFileTransferMiB) +
        QStringLiteral("Tessaron RestServerQt credentials\n") +
        QStringLiteral("  - loginName             : %1\n").arg(m_settings.loginName) +
        // The log is readable by whoever services the device; the password stays out of it.
        QStringLiteral("  - loginPass             : %1\n").arg(QStringLiteral("****")) +
        QStringLiteral("  - channelID             : %1\n").arg(m_settings.channelID);
    m_log.write(600, report, id, true, false);
}

bool settingsFiles::loadRights() {
    const settingsBounds::File file = settingsBounds::File::Rights;
    const settingsBounds::head head = settingsBounds::readHead(file, m_rightsFile, QIODevice::Text);
    if (head.status == regularFile::Status::NotRegular)
        m_log.write(602, regularFile::notRegular(m_rightsFile) + QStringLiteral(" Not read."),
                    QStringLiteral("utilsModel::loadRights"), true, true);
    if (head.status != regularFile::Status::Opened) return false;
    if (head.cut)
        m_log.write(602,
                    beyondBounds(file, m_rightsFile) +
                        QStringLiteral(": only its first %1 bytes are read, whole lines")
                            .arg(head.bytes.size()),
                    QStringLiteral("utilsModel::loadRights"), true, true);
    m_settings.passwordRightsPaths.clear();
    // Explicit size: a NUL byte in a damaged file must not hide the lines after it.
    const QStringList lines =
        QString::fromUtf8(head.bytes.constData(), head.bytes.size()).split(QLatin1Char('\n'));
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
