#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantMap>

#include "core/globals.h"
#include "core/replies.h"

class logger;

// Directory listing and creation, reading one file, writing one file or unpacking an archive,
// and replacing the rights file. Paths resolve against the data directories of `session`;
// writes below its application folder are refused.
class fileCommands {
  public:
    // `rightsFile`: the file that setRights replaces.
    fileCommands(const sessionStruct &session, const QString &rightsFile, const logger &log);

    QJsonObject getDirectoryFiles(const QVariantMap &data) const;
    QJsonObject createAndEmptyDirectory(const QVariantMap &data) const;
    // The reply's file data is made while the reply leaves: memory does not grow with the file.
    commandResult getFileContentStreamed(const QVariantMap &data) const;
    // The same with the file data in the reply, for callers that hold it whole.
    QJsonObject getFileContent(const QVariantMap &data) const;
    QJsonObject saveFileContent(const QVariantMap &data) const;
    QJsonObject setRights(const QVariantMap &data) const;

  private:
    const sessionStruct &m_session;
    const QString m_rightsFile;
    const logger &m_log;
};
