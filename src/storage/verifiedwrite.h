#pragma once

#include <QByteArray>
#include <QString>

#include "core/bytesource.h"
#include "core/globals.h"
#include "storage/atomicfile.h"

class fileWriter;

// The two halves of a verified file write that both write commands share: the new content
// goes to a temporary file that is read back and compared, and only a verified file is then
// moved over the target, the previous version being kept as target + ".old".
class verifiedWrite {
  public:
    // `writer` writes into `tempPath`, then the read-back comparison (998, 999). A file that does
    // not compare stays where it is, for inspection. The temporary file has the mode of
    // `target` from the start when that exists, so the new content never sits in a file more
    // open than the one it replaces, and keeps that mode once moved.
    // The bytes come from a source (Base64 already decoded), none of them held whole: the
    // read-back compares the size and SHA-256 of the file with those of the source's bytes. A
    // source that fails is answered with 959 (fileWriter::write) and leaves no temporary file.
    static saveResultStruct writeAndVerify(
        const fileWriter &writer, const QString &tempPath, byteSource &source, bool isBinary,
        const QString &target = QString(),
        atomicFile::Durability durability = atomicFile::Durability::Synced);
    // Keeps the target as ".old" (a hard link, or a copy where links are not possible), then
    // renames `tempPath` over the target and syncs the directory: the target exists whole, old
    // or new, at every instant, also across a crash. A missing ".old" is only a warning.
    static saveResultStruct replace(const QString &target, const QString &tempPath);
};
