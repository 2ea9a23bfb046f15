#include "verifiedwrite.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "atomicfile.h"
#include "utils.h"

namespace {
bool keepAsOld(const QString &target) {
    const QString old = target + QStringLiteral(".old");
    const QByteArray oldName = QFile::encodeName(old);
    if (::unlink(oldName.constData()) != 0 && errno != ENOENT) return false;
    if (::link(QFile::encodeName(target).constData(), oldName.constData()) == 0)
        return atomicFile::syncDirectoryOf(old);
    QFile original(target);
    if (!original.open(QIODevice::ReadOnly)) return false;
    QString error;
    return atomicFile::write(old, original.readAll(), &error);
}
}  // namespace

saveResultStruct verifiedWrite::writeAndVerify(const QString &tempPath, const QByteArray &bytes,
                                               bool isBinary) {
    const saveResultStruct written = utils.saveFile(tempPath, bytes, false, isBinary);
    if (written.errorCode > 0) return written;
    QFile file(tempPath);
    if (!file.open(QIODevice::ReadOnly))
        return saveResultStruct{998, QStringLiteral("Can't open the temp file!"), {}};
    if (file.readAll() != bytes)
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
