#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QMap>
#include <QString>

#include "core/globals.h"
#include "core/regularfile.h"

class logger;

// The data root: its directories, held in the session record, and the files of its settings
// directory. Whatever needs one of these paths takes it from here.
namespace dataRoot {
// QLT_DATA_ROOT (tests and the demo only) or the fixed root of a device.
void setDirectories(sessionStruct &session);
// Creates the directories; the settings directory and its files are the owner's alone.
void createDirectories(const sessionStruct &session, const logger &log);
QString settingsFile(const sessionStruct &session);
QString rightsFile(const sessionStruct &session);
QString deviceIdFile(const sessionStruct &session);
}  // namespace dataRoot

// Bounds of the settings file and of the rights file. Real files hold tens of keys; the bounds
// lie far above that and far below a file whose parsing at start would exhaust the memory the
// service may use. A command never stores a file beyond them, and of a file found beyond them
// only the start is used.
namespace settingsBounds {
constexpr int maxBytes = 1024 * 1024;
constexpr int maxKeys = 10000;

enum class File { Settings, Rights };

// Why `content` may not be stored as that file: a description naming the bound it exceeds;
// empty when it may.
QString refusal(File file, const QByteArray &content);

// A file as far as it may be used: the whole file when it lies within the bounds; else whole
// lines of it from the start, within half of the bounds. Nothing beyond maxBytes + 1 bytes is
// read.
struct head {
    regularFile::Status status = regularFile::Status::Missing;
    QByteArray bytes;
    bool cut = false;  // the file holds more than `bytes`
};
head readHead(File file, const QString &path, QIODevice::OpenMode mode = QIODevice::ReadOnly);
}  // namespace settingsBounds

// The settings file (INI) and the rights file, read into the settings record; a key that is
// missing is written back with its default.
class settingsFiles {
  public:
    settingsFiles(settingsStruct &settings, const sessionStruct &session, const logger &log);

    QString readSetting(const QString &settingName) const;
    void writeSetting(const QString &settingName, const QString &settingValue) const;
    QMap<QString, QString> readSettingsVarious() const;
    void loadSettings(bool logSettings);
    // False when the rights file could not be read; the rights then stay as they were.
    bool loadRights();

  private:
    bool boundSettingsFile() const;

    settingsStruct &m_settings;
    const QString m_settingsFile;
    const QString m_rightsFile;
    const logger &m_log;
};

// A text file read as UTF-8 and handed on in the local 8-bit encoding, or in Base64 of it.
readResultStruct readTextFile(const QString &filePath, bool toBase64);
