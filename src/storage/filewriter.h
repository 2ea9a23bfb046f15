#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "core/bytesource.h"
#include "core/globals.h"
#include "storage/atomicfile.h"

class logger;

// The one write of a file's content that the commands share: the bytes as they are, decoded
// from Base64, or read as UTF-8 text and written in the locale's encoding. The file is replaced
// atomically; a failure is logged and answered with 900.
class fileWriter {
  public:
    // `session` names the settings directory, whose new files are the owner's alone.
    fileWriter(const sessionStruct &session, const logger &log);

    // The file gets the mode of `modeOf` (default: `path`) when that exists, else the default.
    saveResultStruct write(const QString &path, const QByteArray &data, bool isBase64,
                           bool isBinary, const QString &modeOf = QString()) const;
    // The same from a source of the bytes themselves (Base64 already decoded), written as they
    // come, so that memory does not grow with the file: binary as they are, or read as UTF-8
    // text and written in the locale's encoding, the same file as the whole bytes give. A
    // source that fails leaves the file as it was and is answered with 959, its reason in
    // extraInfo.
    saveResultStruct write(
        const QString &path, byteSource &source, bool isBinary, const QString &modeOf = QString(),
        atomicFile::Durability durability = atomicFile::Durability::Synced) const;

    // Makes the directory that `filePath` lies in, or `filePath` itself when it ends with the
    // divider, with every missing parent, where the kernel will look for it (links and ".."
    // taken as pathResolver::physicalPath takes them). True when it exists afterwards.
    static bool createDirectoryIfNeeded(const QString &filePath);

    // The free space every write of a file leaves on its disk: the POS software needs room
    // for its own data and logs, whatever the server sends.
    static constexpr qint64 keptFreeBytes = 64 * 1024 * 1024;
    // Why `bytes` more would leave less than keptFreeBytes free on the disk that holds `path`
    // (or its nearest existing parent); empty when they fit, or when the disk cannot tell.
    static QString roomProblem(const QString &path, qint64 bytes);

    // Whether `path` lies in a folder of the client's own that no command may write into (the
    // application folder and the journal), and whether `directory` holds one, on disk and
    // however spelt.
    bool reachesOwnFolder(const QString &path) const;
    bool holdsOwnFolder(const QString &directory) const;

    // Where writes and unpacks in flight are recorded, so that the start after a crash can
    // finish them: "journal/" in the data root; empty without one. No command may write there,
    // or a record could make a start move or remove the user's files.
    QString journalDirectory() const;
    // At start, before any command: undoes or finishes each unpack a crash interrupted and
    // removes the temporary files of interrupted writes (zipInstaller, temporaryRecord).
    void recoverInterrupted() const;

  private:
    QStringList ownFolders() const;

    const sessionStruct &m_session;
    const logger &m_log;
};
