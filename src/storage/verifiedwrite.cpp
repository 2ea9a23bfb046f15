#include "storage/verifiedwrite.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cstring>

#include "core/regularfile.h"
#include "storage/atomicfile.h"
#include "storage/filewriter.h"

namespace {
// Compared in slices: a file of many megabytes is not held a second time for the comparison.
bool sameContent(QFile &file, const QByteArray &bytes) {
    constexpr qint64 sliceBytes = 64 * 1024;
    if (file.size() != bytes.size()) return false;
    QByteArray slice;
    for (qint64 at = 0; at < bytes.size(); at += slice.size()) {
        slice = file.read(qMin(sliceBytes, bytes.size() - at));
        if (slice.isEmpty() ||
            std::memcmp(slice.constData(), bytes.constData() + at, size_t(slice.size())) != 0)
            return false;
    }
    return file.read(1).isEmpty();
}

bool keepAsOld(const QString &target) {
    const QString old = target + QStringLiteral(".old");
    const QByteArray oldName = QFile::encodeName(old);
    if (::unlink(oldName.constData()) != 0 && errno != ENOENT) return false;
    if (::link(QFile::encodeName(target).constData(), oldName.constData()) == 0)
        return atomicFile::syncDirectoryOf(old);
    QFile original;
    if (regularFile::openForReading(target, &original) != regularFile::Status::Opened) return false;
    QString error;
    return atomicFile::write(old, original.readAll(), &error, 0666, target);
}
}  // namespace

saveResultStruct verifiedWrite::writeAndVerify(const fileWriter &writer, const QString &tempPath,
                                               const QByteArray &bytes, bool isBinary,
                                               const QString &target) {
    const saveResultStruct written = writer.write(tempPath, bytes, false, isBinary, target);
    if (written.errorCode > 0) return written;
    QFile file;
    if (regularFile::openForReading(tempPath, &file) != regularFile::Status::Opened)
        return saveResultStruct{998, QStringLiteral("Can't open the temp file!"), {}};
    if (!sameContent(file, bytes))
        return saveResultStruct{999, QStringLiteral("Written data doesn't compare!"), {}};
    return written;
}

saveResultStruct verifiedWrite::replace(const QString &target, const QString &tempPath) {
    saveResultStruct result;
    struct stat existing;
    if (::lstat(QFile::encodeName(target).constData(), &existing) == 0 && !keepAsOld(target))
        result.extraInfo = QStringLiteral("Couldn't move original to .old!");
    if (::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(target).constData()) !=
        0)
        return saveResultStruct{998, QStringLiteral("Failed to move the tmp file to target!"), {}};
    atomicFile::syncDirectoryOf(target);
    return result;
}
