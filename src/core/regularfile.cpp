#include "core/regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

regularFile::Status regularFile::openForReading(const QString &path, QFile *file,
                                                QIODevice::OpenMode mode) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0)
        return errno == ENOENT ? Status::Missing : Status::Failed;
    if (!S_ISREG(st.st_mode)) return Status::NotRegular;
    // Without O_NONBLOCK, a FIFO put in place after the check would block the open itself.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Status::Missing : Status::Failed;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Status::NotRegular;
    }
    if (!file->open(fd, mode | QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Status::Failed;
    }
    return Status::Opened;
}

bool regularFile::isSpecial(const QString &path) {
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) ||
           S_ISBLK(st.st_mode);
}

QString regularFile::notRegular(const QString &path) {
    return QStringLiteral("File %1 is not a regular file!").arg(path);
}
