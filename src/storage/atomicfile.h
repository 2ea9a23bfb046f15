#pragma once

#include <QByteArray>
#include <QString>

#include "core/bytesource.h"

// Replaces a file so that at every instant it exists whole, old or new, even across a crash
// or power loss: a temporary in the same directory is written, flushed and fsynced, renamed
// over the target, and the directory is fsynced. The written file gets the permission bits of
// `modeOf` (by default the target itself) when that exists, else `newFileMode` less the umask.
// With a `journalDir`, the temporary is recorded there while it exists (temporaryRecord).
class atomicFile {
  public:
    static bool write(const QString &path, const QByteArray &data, QString *error,
                      unsigned newFileMode = 0666, const QString &modeOf = QString(),
                      const QString &journalDir = QString());
    // The same from a source of slices, each written as it comes, so memory does not grow with
    // the file. When the source fails the temporary goes and the target stays as it was; `error`
    // is then the source's own.
    enum class Result { Written, WriteFailed, SourceFailed };
    // Unsynced is for a work file that a crash makes worthless anyway (a ZIP archive before it
    // is unpacked): the file and directory are not fsynced, and the file is no more than
    // atomic.
    enum class Durability { Synced, Unsynced };
    static Result write(const QString &path, byteSource &source, QString *error,
                        unsigned newFileMode = 0666, const QString &modeOf = QString(),
                        const QString &journalDir = QString(),
                        Durability durability = Durability::Synced);
    static bool syncDirectoryOf(const QString &path);
    // Whether `fileName` has the form of the temporaries that write() makes: ".NAME.XXXXXXXX.part".
    static bool isTemporaryName(const QString &fileName);
};

// Bytes already held, as a source of one slice.
class heldBytes : public byteSource {
  public:
    explicit heldBytes(const QByteArray &bytes) : m_bytes(bytes) {}
    bool next(QByteArray *slice, QString *error) override;

  private:
    QByteArray m_bytes;
};

// A temporary file named in a record in `journalDir` before it is made, so that the start
// after a crash removes it wherever it lies, and removes nothing that the client did not make.
// The record goes with this object; the temporary itself is its owner's business. Without a
// journal directory, or when the record cannot be written, nothing is recorded: a leftover
// after a crash is a lesser harm than a refused write.
class temporaryRecord {
  public:
    temporaryRecord(const QString &journalDir, const QString &temporary);
    ~temporaryRecord();
    temporaryRecord(const temporaryRecord &) = delete;
    temporaryRecord &operator=(const temporaryRecord &) = delete;

    // At start: removes each recorded temporary that is still a regular file, and the records.
    // Returns how many temporaries were removed.
    static int removeRecorded(const QString &journalDir);

  private:
    QByteArray m_record;
};
