#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file so that at every instant it exists whole, old or new, even across a crash
// or power loss: a temporary in the same directory is written, flushed and fsynced, renamed
// over the target, and the directory is fsynced. The written file gets the permission bits of
// `modeOf` (by default the target itself) when that exists, else `newFileMode` less the umask.
class atomicFile {
  public:
    static bool write(const QString &path, const QByteArray &data, QString *error,
                      unsigned newFileMode = 0666, const QString &modeOf = QString());
    static bool syncDirectoryOf(const QString &path);
};
