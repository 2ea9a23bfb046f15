#include "storage/atomicfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cstring>

#include "core/regularfile.h"

namespace {
QString errnoText(const char *what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}
}  // namespace

bool atomicFile::syncDirectoryOf(const QString &path) {
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool atomicFile::write(const QString &path, const QByteArray &data, QString *error,
                       unsigned newFileMode, const QString &modeOf) {
    if (regularFile::isSpecial(path)) {
        *error = regularFile::notRegular(path);
        return false;
    }
    const QFileInfo target(path);
    const QString tempPath =
        target.absolutePath() + QStringLiteral("/.") + target.fileName() + QLatin1Char('.') +
        QUuid::createUuid().toString(QUuid::WithoutBraces).left(8) + QStringLiteral(".part");
    const QByteArray tempName = QFile::encodeName(tempPath);
    mode_t mode = mode_t(newFileMode);
    struct stat existing;
    const bool keepMode =
        ::stat(QFile::encodeName(modeOf.isEmpty() ? path : modeOf).constData(), &existing) == 0;
    if (keepMode) mode = existing.st_mode & 07777;
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = errnoText("create temporary file");
        return false;
    }
    if (keepMode) ::fchmod(fd, mode);  // the umask must not loosen or tighten a kept mode
    const char *p = data.constData();
    qint64 left = data.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errnoText("write");
            ok = false;
            break;
        }
        p += n;
        left -= n;
    }
    if (ok && ::fsync(fd) != 0) {
        *error = errnoText("fsync");
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *error = errnoText("close");
        ok = false;
    }
    if (ok && ::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        *error = errnoText("rename");
        ok = false;
    }
    if (!ok) {
        ::unlink(tempName.constData());
        return false;
    }
    syncDirectoryOf(path);
    return true;
}
