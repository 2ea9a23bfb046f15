#include "storage/atomicfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <cstring>

#include "core/regularfile.h"

namespace {
const QString recordSuffix = QStringLiteral(".temporary");
// Anything longer is no path this client made.
constexpr qint64 maxRecordBytes = 64 * 1024;

// The directory part of `path`, made absolute but not cleaned: cleaning takes "link/.." away as
// text, where the kernel goes to the parent of the link's target.
QString directoryOf(const QString &path) {
    const QString absolute =
        path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    return absolute.left(qMax(absolute.lastIndexOf(QLatin1Char('/')), 1));
}

QString errnoText(const char *what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

bool writeWhole(int fd, const QByteArray &bytes) {
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}
}  // namespace

bool atomicFile::isTemporaryName(const QString &fileName) {
    static const QRegularExpression form(QStringLiteral("^\\..+\\.[0-9a-f]{8}\\.part$"));
    return form.match(fileName).hasMatch();
}

temporaryRecord::temporaryRecord(const QString &journalDir, const QString &temporary) {
    if (journalDir.isEmpty()) return;
    const QString record =
        QDir(journalDir)
            .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces) + recordSuffix);
    // The record is whole and on disk before the temporary exists, so it never names a path
    // cut short; the line end marks it whole once more.
    const QString absolute = temporary.startsWith(QLatin1Char('/'))
                                 ? temporary
                                 : QDir::currentPath() + QLatin1Char('/') + temporary;
    QString error;
    if (atomicFile::write(record, QFile::encodeName(absolute) + '\n', &error, 0600))
        m_record = QFile::encodeName(record);
}

temporaryRecord::~temporaryRecord() {
    if (!m_record.isEmpty()) ::unlink(m_record.constData());
}

int temporaryRecord::removeRecorded(const QString &journalDir) {
    int removed = 0;
    const QFileInfoList records = QDir(journalDir)
                                      .entryInfoList({QLatin1Char('*') + recordSuffix},
                                                     QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &record : records) {
        QFile file;
        if (record.isSymLink() ||
            regularFile::openForReading(record.filePath(), &file) != regularFile::Status::Opened)
            continue;
        const QByteArray content = file.read(maxRecordBytes);
        const QString temporary = QFile::decodeName(content.chopped(content.endsWith('\n')));
        struct stat status;
        // Only a whole record, and only a regular file of the temporaries' forms: never what a
        // link leads to, nor a directory.
        if (content.endsWith('\n') && temporary.startsWith(QLatin1Char('/')) &&
            (atomicFile::isTemporaryName(QFileInfo(temporary).fileName()) ||
             temporary.endsWith(QLatin1String(".tmp"))) &&
            ::lstat(QFile::encodeName(temporary).constData(), &status) == 0 &&
            S_ISREG(status.st_mode) && ::unlink(QFile::encodeName(temporary).constData()) == 0)
            ++removed;
        QFile::remove(record.filePath());
    }
    return removed;
}

bool atomicFile::syncDirectoryOf(const QString &path) {
    const QByteArray dir = QFile::encodeName(directoryOf(path));
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

atomicFile::Result atomicFile::write(const QString &path, byteSource &source, QString *error,
                                     unsigned newFileMode, const QString &modeOf,
                                     const QString &journalDir, Durability durability) {
    const bool synced = durability == Durability::Synced;
    if (regularFile::isSpecial(path)) {
        *error = regularFile::notRegular(path);
        return Result::WriteFailed;
    }
    const QString tempPath = directoryOf(path) + QStringLiteral("/.") +
                             path.section(QLatin1Char('/'), -1) + QLatin1Char('.') +
                             QUuid::createUuid().toString(QUuid::WithoutBraces).left(8) +
                             QStringLiteral(".part");
    const QByteArray tempName = QFile::encodeName(tempPath);
    const temporaryRecord record(journalDir, tempPath);
    mode_t mode = mode_t(newFileMode);
    struct stat existing;
    const bool keepMode =
        ::stat(QFile::encodeName(modeOf.isEmpty() ? path : modeOf).constData(), &existing) == 0;
    if (keepMode) mode = existing.st_mode & 07777;
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = errnoText("create temporary file");
        return Result::WriteFailed;
    }
    if (keepMode) ::fchmod(fd, mode);  // the umask must not loosen or tighten a kept mode
    Result result = Result::Written;
    QByteArray slice;
    for (;;) {
        if (!source.next(&slice, error)) {
            result = Result::SourceFailed;
            break;
        }
        if (slice.isEmpty()) break;
        if (!writeWhole(fd, slice)) {
            *error = errnoText("write");
            result = Result::WriteFailed;
            break;
        }
    }
    if (result == Result::Written && synced && ::fsync(fd) != 0) {
        *error = errnoText("fsync");
        result = Result::WriteFailed;
    }
    if (::close(fd) != 0 && result == Result::Written) {
        *error = errnoText("close");
        result = Result::WriteFailed;
    }
    if (result == Result::Written &&
        ::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        *error = errnoText("rename");
        result = Result::WriteFailed;
    }
    if (result != Result::Written) {
        ::unlink(tempName.constData());
        return result;
    }
    if (synced) syncDirectoryOf(path);
    return Result::Written;
}

bool atomicFile::write(const QString &path, const QByteArray &data, QString *error,
                       unsigned newFileMode, const QString &modeOf, const QString &journalDir) {
    heldBytes source(data);
    return write(path, source, error, newFileMode, modeOf, journalDir) == Result::Written;
}

bool heldBytes::next(QByteArray *slice, QString *) {
    *slice = m_bytes;
    m_bytes.clear();
    return true;
}
