#pragma once

#include <QMap>
#include <QString>

#include "core/globals.h"

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
    settingsStruct &m_settings;
    const QString m_settingsFile;
    const QString m_rightsFile;
    const logger &m_log;
};

// A text file read as UTF-8 and handed on in the local 8-bit encoding, or in Base64 of it.
readResultStruct readTextFile(const QString &filePath, bool toBase64);
