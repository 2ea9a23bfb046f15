#include "zipreader.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <cerrno>
#include <functional>

namespace zip {

namespace {

constexpr quint32 LocalHeaderSignature = 0x04034b50;
constexpr quint32 CentralHeaderSignature = 0x02014b50;
constexpr quint32 EndOfDirectorySignature = 0x06054b50;
constexpr int LocalHeaderSize = 30;
constexpr int CentralHeaderSize = 46;
constexpr int EndOfDirectorySize = 22;
constexpr int MaxCommentLength = 0xFFFF;

constexpr quint16 Encrypted = 0x0001;
constexpr quint16 Utf8Names = 0x0800;
constexpr quint16 CompressionMethodStored = 0;
constexpr quint16 CompressionMethodDeflated = 8;
constexpr int HostFAT = 0;
constexpr int HostUnix = 3;
constexpr int MaxVersionNeeded = 20;
constexpr quint32 Zip64Marker = 0xFFFFFFFF;
constexpr quint32 Zip64LocatorSignature = 0x07064b50;
constexpr int Zip64LocatorSize = 20;

// One Deflate input byte never yields more than 1032 output bytes (a 258-byte match coded
// in two bits), so an entry declaring more than that cannot be honest.
constexpr quint64 MaxDeflateRatio = 1032;
// Longer names and link targets cannot exist on the file system (PATH_MAX).
constexpr int MaxPathLength = 4095;
// Entry data moves in chunks of this size, whatever the entry's size.
constexpr qint64 ChunkSize = 64 * 1024;

quint32 readUInt(const char *data) {
    const auto *p = reinterpret_cast<const uchar *>(data);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

quint16 readUShort(const char *data) {
    const auto *p = reinterpret_cast<const uchar *>(data);
    return quint16(p[0] | p[1] << 8);
}

QDateTime readMSDosDate(const char *data) {
    const quint32 value = readUInt(data);
    const quint32 date = value >> 16;
    const quint32 time = value & 0xFFFF;
    return QDateTime(QDate(int(1980 + (date >> 9)), int((date >> 5) & 0xF), int(date & 0x1F)),
                     QTime(int(time >> 11), int((time >> 5) & 0x3F), int((time & 0x1F) * 2)));
}

QFileDevice::Permissions modeToPermissions(quint32 mode) {
    QFileDevice::Permissions permissions;
    if (mode & 0x100) permissions |= QFileDevice::ReadOwner | QFileDevice::ReadUser;
    if (mode & 0x80) permissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser;
    if (mode & 0x40) permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (mode & 0x20) permissions |= QFileDevice::ReadGroup;
    if (mode & 0x10) permissions |= QFileDevice::WriteGroup;
    if (mode & 0x08) permissions |= QFileDevice::ExeGroup;
    if (mode & 0x04) permissions |= QFileDevice::ReadOther;
    if (mode & 0x02) permissions |= QFileDevice::WriteOther;
    if (mode & 0x01) permissions |= QFileDevice::ExeOther;
    return permissions;
}

// The permission bits only: a set-user-id, set-group-id or sticky bit cannot come from an
// archive, since the permissions hold none.
mode_t permissionsToMode(QFileDevice::Permissions permissions) {
    mode_t mode = 0;
    if (permissions & (QFileDevice::ReadOwner | QFileDevice::ReadUser)) mode |= 0400;
    if (permissions & (QFileDevice::WriteOwner | QFileDevice::WriteUser)) mode |= 0200;
    if (permissions & (QFileDevice::ExeOwner | QFileDevice::ExeUser)) mode |= 0100;
    if (permissions & QFileDevice::ReadGroup) mode |= 0040;
    if (permissions & QFileDevice::WriteGroup) mode |= 0020;
    if (permissions & QFileDevice::ExeGroup) mode |= 0010;
    if (permissions & QFileDevice::ReadOther) mode |= 0004;
    if (permissions & QFileDevice::WriteOther) mode |= 0002;
    if (permissions & QFileDevice::ExeOther) mode |= 0001;
    return mode;
}

// The umask cannot be read without setting it; it is put back at once.
mode_t processUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Collapses empty and "." segments only: ".." and a leading "/" stay visible so that
// extraction can refuse them.
QString cleanPath(const QString &name) {
    QStringList segments = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    segments.removeAll(QStringLiteral("."));
    const QString joined = segments.join(QLatin1Char('/'));
    return name.startsWith(QLatin1Char('/')) ? QLatin1Char('/') + joined : joined;
}

}  // namespace

// One central-directory record, decoded.
struct FileHeader {
    quint16 versionMade = 0;
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    char lastModified[4] = {};
    quint32 crc = 0;
    quint32 compressedSize = 0;
    quint32 uncompressedSize = 0;
    quint32 externalAttributes = 0;
    quint32 localHeaderOffset = 0;
    QByteArray fileName;
};

class ZipReaderPrivate {
  public:
    using Sink = std::function<QString(const char *, qint64)>;

    ZipReaderPrivate(QIODevice *device, std::unique_ptr<QIODevice> ownedDevice)
        : device(device), ownedDevice(std::move(ownedDevice)) {}

    void scanFiles();
    QString readIndex();
    QByteArray readAt(qint64 position, qint64 length);
    ZipReader::FileInfo fillFileInfo(int index) const;
    QString storedName(int index) const;
    QString entryError(int index, const QString &what) const;

    QString checkHeader(int index) const;
    QString locateData(int index, qint64 *dataStart);
    QString readEntry(int index, QIODevice *out);
    QString readData(int index, qint64 limit, QByteArray *data);
    QString copyStored(int index, qint64 length, const Sink &sink);
    QString inflateData(int index, qint64 length, const Sink &sink);

    QString validate(QHash<int, QByteArray> *linkTargets);
    QString checkLinkTarget(int index, const QByteArray &target,
                            const QHash<QString, int> &byPath) const;
    QString extractAll(const QString &destinationDir);
    mode_t extractionMode(int index) const;
    QString ensureDir(int index, const QString &relativeDir, QString *absoluteDir);
    QString writeFile(int index, const QString &directory);
    QString writeLink(int index, const QString &directory, const QByteArray &target);
    void fail(const QString &error);

    QIODevice *device;
    std::unique_ptr<QIODevice> ownedDevice;
    bool dirtyFileTree = true;
    ZipReader::Status status = ZipReader::NoError;
    QVector<FileHeader> fileHeaders;
    QVector<ZipReader::FileInfo> fileInfos;
    QHash<QString, int> nameIndex;  // stored and cleaned names; the first entry wins
    quint32 startOfDirectory = 0;
    QString indexError;  // why the index cannot be trusted for extraction
    QString errorString;

    // State of one extraction: the canonical destination, the directories below it that are
    // known to be real directories inside it, by relative path, and the process umask.
    QString root;
    QHash<QString, QString> verifiedDirs;
    mode_t umask = 0;
};

void ZipReaderPrivate::scanFiles() {
    if (!dirtyFileTree) return;
    if (!device->isOpen() && !device->open(QIODevice::ReadOnly)) {
        status = ZipReader::FileOpenError;
        indexError = QStringLiteral("cannot open the archive");
        return;
    }
    if (!(device->openMode() & QIODevice::ReadOnly)) {
        status = ZipReader::FileReadError;
        indexError = QStringLiteral("the archive is not open for reading");
        return;
    }
    dirtyFileTree = false;
    indexError = readIndex();
    for (int i = 0; i < fileHeaders.size(); ++i) fileInfos.append(fillFileInfo(i));
    // Backwards, so that the first of several entries with one name keeps it.
    for (int i = fileHeaders.size() - 1; i >= 0; --i) {
        nameIndex.insert(storedName(i), i);
        nameIndex.insert(fileInfos.at(i).filePath, i);
    }
}

QByteArray ZipReaderPrivate::readAt(qint64 position, qint64 length) {
    if (position < 0 || !device->seek(position)) return QByteArray();
    return device->read(length);
}

QString ZipReaderPrivate::readIndex() {
    // An archive without entries is its end record alone.
    const QByteArray start = readAt(0, 4);
    if (start.size() != 4 || (readUInt(start.constData()) != LocalHeaderSignature &&
                              readUInt(start.constData()) != EndOfDirectorySignature)) {
        qWarning("Zip: not a zip file!");
        return QStringLiteral("not a zip archive");
    }

    // Only the archive comment may follow the end record, so search the last 64 KiB.
    const qint64 size = device->size();
    const qint64 tailSize = qMin<qint64>(size, EndOfDirectorySize + MaxCommentLength);
    const QByteArray tail = readAt(size - tailSize, tailSize);
    int trailing = 0;
    while (trailing + EndOfDirectorySize <= tail.size() &&
           readUInt(tail.constData() + tail.size() - EndOfDirectorySize - trailing) !=
               EndOfDirectorySignature) {
        ++trailing;
    }
    if (trailing + EndOfDirectorySize > tail.size()) {
        qWarning("Zip: EndOfDirectory not found");
        return QStringLiteral("end of central directory not found");
    }
    const char *end = tail.constData() + tail.size() - EndOfDirectorySize - trailing;
    const quint16 thisDisk = readUShort(end + 4);
    const quint16 directoryDisk = readUShort(end + 6);
    const quint16 entriesThisDisk = readUShort(end + 8);
    const quint16 entries = readUShort(end + 10);
    startOfDirectory = readUInt(end + 16);
    if (readUShort(end + 20) != trailing) qWarning("Zip: failed to parse zip file.");

    if (startOfDirectory > size - EndOfDirectorySize - trailing || !device->seek(startOfDirectory))
        qWarning("Zip: Failed to read complete header, index may be incomplete");
    else {
        for (int i = 0; i < entries; ++i) {
            const QByteArray header = device->read(CentralHeaderSize);
            if (header.size() < CentralHeaderSize) {
                qWarning("Zip: Failed to read complete header, index may be incomplete");
                break;
            }
            const char *h = header.constData();
            if (readUInt(h) != CentralHeaderSignature) {
                qWarning("Zip: invalid header signature, index may be incomplete");
                break;
            }
            FileHeader fileHeader;
            fileHeader.versionMade = readUShort(h + 4);
            fileHeader.versionNeeded = readUShort(h + 6);
            fileHeader.flags = readUShort(h + 8);
            fileHeader.method = readUShort(h + 10);
            std::copy(h + 12, h + 16, fileHeader.lastModified);
            fileHeader.crc = readUInt(h + 16);
            fileHeader.compressedSize = readUInt(h + 20);
            fileHeader.uncompressedSize = readUInt(h + 24);
            fileHeader.externalAttributes = readUInt(h + 38);
            fileHeader.localHeaderOffset = readUInt(h + 42);
            const int nameLength = readUShort(h + 28);
            const int extraLength = readUShort(h + 30);
            const int commentLength = readUShort(h + 32);
            fileHeader.fileName = device->read(nameLength);
            if (fileHeader.fileName.size() < nameLength) {
                qWarning("Zip: Failed to read filename from zip index, index may be incomplete");
                break;
            }
            if (device->read(extraLength).size() < extraLength) {
                qWarning(
                    "Zip: Failed to read extra field in zip file, skipping file, index may "
                    "be incomplete");
                break;
            }
            if (device->read(commentLength).size() < commentLength) {
                qWarning("Zip: Failed to read read file comment, index may be incomplete");
                break;
            }
            fileHeaders.append(fileHeader);
        }
    }
    if (fileHeaders.size() < entries) {
        return QStringLiteral("archive index incomplete (%1 of %2 entries)")
            .arg(fileHeaders.size())
            .arg(entries);
    }
    if (thisDisk != 0 || directoryDisk != 0 || entriesThisDisk != entries)
        return QStringLiteral("multi-disk archives are not supported");
    // Beyond 65,535 entries or 4 GiB the real counts live in a ZIP64 record; the classic end
    // record then holds only markers, and reading it as counts would silently drop entries.
    const int locatorAt = tail.size() - EndOfDirectorySize - trailing - Zip64LocatorSize;
    const bool hasZip64Locator =
        locatorAt >= 0 && readUInt(tail.constData() + locatorAt) == Zip64LocatorSignature;
    if (hasZip64Locator || startOfDirectory == Zip64Marker)
        return QStringLiteral("ZIP64 archives are not supported");
    return QString();
}

QString ZipReaderPrivate::storedName(int index) const {
    const FileHeader &h = fileHeaders.at(index);
    if (h.flags & Utf8Names) return QString::fromUtf8(h.fileName.constData(), h.fileName.size());
    return QString::fromLocal8Bit(h.fileName.constData(), h.fileName.size());
}

ZipReader::FileInfo ZipReaderPrivate::fillFileInfo(int index) const {
    const FileHeader &h = fileHeaders.at(index);
    ZipReader::FileInfo info;
    const quint32 mode = h.externalAttributes;
    const int host = h.versionMade >> 8;
    // Whatever the attributes say, a name ending in "/" is a directory.
    const bool namedDir = h.fileName.endsWith('/');
    if (host == HostUnix) {
        const quint32 unixMode = mode >> 16;
        info.isDir = namedDir || (unixMode & 0xF000) == 0x4000;
        info.isSymLink = !info.isDir && (unixMode & 0xF000) == 0xA000;
        info.isFile = !info.isDir && !info.isSymLink;
        info.permissions = modeToPermissions(unixMode);
    } else if (host == HostFAT || host == 6 || host == 11 || host == 14) {
        info.isDir = namedDir || ((mode & 0x10) && !(mode & 0x80));
        info.isFile = !info.isDir;
        info.permissions = QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther;
        if (!(mode & 0x01)) {
            info.permissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser |
                                QFileDevice::WriteGroup | QFileDevice::WriteOther;
        }
        if (info.isDir) {
            info.permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser |
                                QFileDevice::ExeGroup | QFileDevice::ExeOther;
        }
    } else {
        qWarning("Zip: Zip entry format at %d is not supported.", index);
        return info;
    }
    info.filePath = cleanPath(storedName(index));
    info.crc = h.crc;
    info.size = h.uncompressedSize;
    info.lastModified = readMSDosDate(h.lastModified);
    return info;
}

QString ZipReaderPrivate::entryError(int index, const QString &what) const {
    QString name = storedName(index);
    name.replace(QChar(0), QLatin1String("\\0"));
    return QStringLiteral("entry '%1': %2").arg(name, what);
}

QString ZipReaderPrivate::checkHeader(int index) const {
    const FileHeader &h = fileHeaders.at(index);
    if (h.compressedSize == Zip64Marker || h.uncompressedSize == Zip64Marker ||
        h.localHeaderOffset == Zip64Marker) {
        return entryError(index, QStringLiteral("needs ZIP64"));
    }
    // Some writers put their host system into the high byte.
    const int version = h.versionNeeded & 0xFF;
    if (version > MaxVersionNeeded) {
        qWarning("Zip: .ZIP format version %d is needed to extract the data.", version);
        return entryError(index, QStringLiteral("needs version %1").arg(version));
    }
    if (h.flags & Encrypted) {
        qWarning("Zip: Unsupported encryption method is needed to extract the data.");
        return entryError(index, QStringLiteral("encrypted"));
    }
    if (h.method != CompressionMethodStored && h.method != CompressionMethodDeflated) {
        qWarning("Zip: Unsupported compression method %d is needed to extract the data.", h.method);
        return entryError(index, QStringLiteral("unsupported compression method %1").arg(h.method));
    }
    if (h.method == CompressionMethodStored && h.compressedSize != h.uncompressedSize) {
        return entryError(index, QStringLiteral("stored with %1 bytes but declares %2")
                                     .arg(h.compressedSize)
                                     .arg(h.uncompressedSize));
    }
    if (h.method == CompressionMethodDeflated &&
        h.uncompressedSize > quint64(h.compressedSize) * MaxDeflateRatio) {
        return entryError(index, QStringLiteral("declares %1 bytes, more than %2 compressed bytes "
                                                "can hold")
                                     .arg(h.uncompressedSize)
                                     .arg(h.compressedSize));
    }
    return QString();
}

QString ZipReaderPrivate::locateData(int index, qint64 *dataStart) {
    const FileHeader &h = fileHeaders.at(index);
    // The central directory is authoritative for sizes and CRC; the local header (whose sizes
    // are zero when a data descriptor follows) only tells where the data starts.
    const QByteArray local = readAt(h.localHeaderOffset, LocalHeaderSize);
    if (local.size() != LocalHeaderSize || readUInt(local.constData()) != LocalHeaderSignature)
        return entryError(index, QStringLiteral("bad local header"));
    *dataStart = qint64(h.localHeaderOffset) + LocalHeaderSize +
                 readUShort(local.constData() + 26) + readUShort(local.constData() + 28);
    if (*dataStart + h.compressedSize > startOfDirectory)
        return entryError(index, QStringLiteral("data runs into the central directory"));
    return QString();
}

QString ZipReaderPrivate::readEntry(int index, QIODevice *out) {
    qint64 dataStart = 0;
    QString problem = checkHeader(index);
    if (problem.isEmpty()) problem = locateData(index, &dataStart);
    if (!problem.isEmpty()) return problem;
    const FileHeader &h = fileHeaders.at(index);
    if (!device->seek(dataStart)) return entryError(index, QStringLiteral("data is truncated"));

    uLong crc = ::crc32(0, nullptr, 0);
    qint64 written = 0;
    const Sink sink = [&](const char *data, qint64 length) {
        if (written + length > h.uncompressedSize) {
            return entryError(index, QStringLiteral("inflates to more than its declared %1 bytes")
                                         .arg(h.uncompressedSize));
        }
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(length));
        written += length;
        if (out->write(data, length) != length)
            return entryError(index, QStringLiteral("cannot write: %1").arg(out->errorString()));
        return QString();
    };
    problem = h.method == CompressionMethodStored ? copyStored(index, h.compressedSize, sink)
                                                  : inflateData(index, h.compressedSize, sink);
    if (!problem.isEmpty()) return problem;
    if (written != h.uncompressedSize) {
        return entryError(index, QStringLiteral("size mismatch: %1 bytes instead of %2")
                                     .arg(written)
                                     .arg(h.uncompressedSize));
    }
    if (crc != h.crc) return entryError(index, QStringLiteral("CRC mismatch"));
    return QString();
}

QString ZipReaderPrivate::readData(int index, qint64 limit, QByteArray *data) {
    if (fileHeaders.at(index).uncompressedSize > limit) {
        return entryError(index, QStringLiteral("%1 bytes are too many to hold in memory")
                                     .arg(fileHeaders.at(index).uncompressedSize));
    }
    QBuffer buffer(data);
    buffer.open(QIODevice::WriteOnly);
    return readEntry(index, &buffer);
}

QString ZipReaderPrivate::copyStored(int index, qint64 length, const Sink &sink) {
    QByteArray chunk(int(qMin(length, ChunkSize)), Qt::Uninitialized);
    while (length > 0) {
        const qint64 got = device->read(chunk.data(), qMin(length, ChunkSize));
        if (got <= 0) return entryError(index, QStringLiteral("data is truncated"));
        const QString problem = sink(chunk.constData(), got);
        if (!problem.isEmpty()) return problem;
        length -= got;
    }
    return QString();
}

QString ZipReaderPrivate::inflateData(int index, qint64 length, const Sink &sink) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        qWarning("Zip: Z_MEM_ERROR: Not enough memory");
        return entryError(index, QStringLiteral("not enough memory to inflate"));
    }
    const std::unique_ptr<z_stream, int (*)(z_stream *)> guard(&stream, inflateEnd);
    QByteArray input(int(ChunkSize), Qt::Uninitialized);
    QByteArray output(int(ChunkSize), Qt::Uninitialized);
    for (;;) {
        if (stream.avail_in == 0 && length > 0) {
            const qint64 got = device->read(input.data(), qMin(length, ChunkSize));
            if (got <= 0) return entryError(index, QStringLiteral("data is truncated"));
            length -= got;
            stream.next_in = reinterpret_cast<Bytef *>(input.data());
            stream.avail_in = uInt(got);
        }
        stream.next_out = reinterpret_cast<Bytef *>(output.data());
        stream.avail_out = uInt(ChunkSize);
        const int result = ::inflate(&stream, Z_NO_FLUSH);
        if (result == Z_MEM_ERROR) {
            qWarning("Zip: Z_MEM_ERROR: Not enough memory");
            return entryError(index, QStringLiteral("not enough memory to inflate"));
        }
        // A buffer error with all input consumed means the stream was cut short.
        if (result != Z_OK && result != Z_STREAM_END &&
            (result != Z_BUF_ERROR || (stream.avail_in == 0 && length == 0))) {
            qWarning("Zip: Z_DATA_ERROR: Input data is corrupted");
            return entryError(index, QStringLiteral("corrupt Deflate stream"));
        }
        const qint64 produced = ChunkSize - stream.avail_out;
        if (produced > 0) {
            const QString problem = sink(output.constData(), produced);
            if (!problem.isEmpty()) return problem;
        }
        if (result == Z_STREAM_END) return QString();
    }
}

QString ZipReaderPrivate::validate(QHash<int, QByteArray> *linkTargets) {
    scanFiles();
    if (!indexError.isEmpty()) return indexError;

    QHash<QString, int> byPath;
    for (int i = 0; i < fileInfos.size(); ++i) {
        const ZipReader::FileInfo &info = fileInfos.at(i);
        const FileHeader &h = fileHeaders.at(i);
        if (!info.isValid()) {
            return entryError(i,
                              QStringLiteral("unsupported host system %1").arg(h.versionMade >> 8));
        }
        const QString problem = checkHeader(i);
        if (!problem.isEmpty()) return problem;
        if (h.fileName.contains('\0'))
            return entryError(i, QStringLiteral("has a NUL byte in its name"));
        if (h.fileName.size() > MaxPathLength)
            return entryError(i, QStringLiteral("name too long"));
        if (info.filePath.isEmpty()) return entryError(i, QStringLiteral("has an empty name"));
        if (info.filePath.startsWith(QLatin1Char('/')) ||
            info.filePath.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
            return entryError(i, QStringLiteral("leaves the destination directory"));
        }
        const int earlier = byPath.value(info.filePath, -1);
        if (earlier >= 0) {
            return entryError(
                i, QStringLiteral("has the same path as entry '%1'").arg(storedName(earlier)));
        }
        byPath.insert(info.filePath, i);
    }

    quint64 total = 0;
    for (const FileHeader &h : qAsConst(fileHeaders)) total += h.uncompressedSize;
    if (total > ZipReader::MaxTotalSize) {
        return QStringLiteral("archive too large: %1 bytes uncompressed, the limit is %2 bytes")
            .arg(total)
            .arg(ZipReader::MaxTotalSize);
    }

    struct Span {
        qint64 begin;
        qint64 end;
        int index;
    };
    QVector<Span> spans;
    for (int i = 0; i < fileHeaders.size(); ++i) {
        qint64 dataStart = 0;
        const QString problem = locateData(i, &dataStart);
        if (!problem.isEmpty()) return problem;
        spans.append(
            {fileHeaders.at(i).localHeaderOffset, dataStart + fileHeaders.at(i).compressedSize, i});
    }
    // Entries sharing data are the classic way to make a small archive unpack to a huge tree.
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span &a, const Span &b) { return a.begin < b.begin; });
    for (int k = 1; k < spans.size(); ++k) {
        if (spans.at(k - 1).end > spans.at(k).begin) {
            return entryError(
                spans.at(k).index,
                QStringLiteral("overlaps entry '%1'").arg(storedName(spans.at(k - 1).index)));
        }
    }

    for (int i = 0; i < fileInfos.size(); ++i) {
        const ZipReader::FileInfo &info = fileInfos.at(i);
        for (int slash = info.filePath.indexOf(QLatin1Char('/')); slash >= 0;
             slash = info.filePath.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString parentPath = info.filePath.left(slash);
            const int parent = byPath.value(parentPath, -1);
            if (parent < 0 || fileInfos.at(parent).isDir) continue;
            return entryError(i, (fileInfos.at(parent).isSymLink
                                      ? QStringLiteral("would be written through the link '%1'")
                                      : QStringLiteral("lies below the file '%1'"))
                                     .arg(parentPath));
        }
        if (!info.isSymLink) continue;
        QByteArray target;
        QString problem = readData(i, MaxPathLength, &target);
        if (problem.isEmpty()) problem = checkLinkTarget(i, target, byPath);
        if (!problem.isEmpty()) return problem;
        linkTargets->insert(i, target);
    }
    return QString();
}

QString ZipReaderPrivate::checkLinkTarget(int index, const QByteArray &target,
                                          const QHash<QString, int> &byPath) const {
    if (target.isEmpty()) return entryError(index, QStringLiteral("empty link target"));
    if (target.contains('\0'))
        return entryError(index, QStringLiteral("link target has a NUL byte"));
    const QString targetName = QFile::decodeName(target);
    const QString leaves = entryError(
        index, QStringLiteral("link target '%1' leaves the destination directory").arg(targetName));
    if (target.startsWith('/')) return leaves;

    // Resolved by name only, which holds as long as the target does not pass through another
    // link of the archive: that link would replace the path before the following "..".
    QStringList resolved = fileInfos.at(index).filePath.split(QLatin1Char('/'));
    resolved.removeLast();
    const QStringList segments = targetName.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int k = 0; k < segments.size(); ++k) {
        const QString &segment = segments.at(k);
        if (segment == QLatin1String("..")) {
            if (resolved.isEmpty()) return leaves;
            resolved.removeLast();
            continue;
        }
        if (segment == QLatin1String(".")) continue;
        resolved.append(segment);
        const int other = byPath.value(resolved.join(QLatin1Char('/')), -1);
        if (k + 1 < segments.size() && other >= 0 && fileInfos.at(other).isSymLink) {
            return entryError(index, QStringLiteral("link target passes through the link '%1'")
                                         .arg(fileInfos.at(other).filePath));
        }
    }
    return QString();
}

QString ZipReaderPrivate::extractAll(const QString &destinationDir) {
    QHash<int, QByteArray> linkTargets;
    QString problem = validate(&linkTargets);
    if (!problem.isEmpty()) return problem;

    if (!QDir().mkpath(destinationDir))
        return QStringLiteral("cannot create the destination directory '%1'").arg(destinationDir);
    root = QFileInfo(destinationDir).canonicalFilePath();
    verifiedDirs.clear();
    verifiedDirs.insert(QString(), root);
    umask = processUmask();

    // Links come last, so nothing is ever written through one the archive made.
    QVector<int> dirs;
    QString directory;
    for (int i = 0; i < fileInfos.size() && problem.isEmpty(); ++i) {
        if (!fileInfos.at(i).isDir) continue;
        dirs.append(i);
        problem = ensureDir(i, fileInfos.at(i).filePath, &directory);
    }
    for (int i = 0; i < fileInfos.size() && problem.isEmpty(); ++i) {
        if (!fileInfos.at(i).isFile) continue;
        problem =
            ensureDir(i, fileInfos.at(i).filePath.section(QLatin1Char('/'), 0, -2), &directory);
        if (problem.isEmpty()) problem = writeFile(i, directory);
    }
    for (int i = 0; i < fileInfos.size() && problem.isEmpty(); ++i) {
        if (!fileInfos.at(i).isSymLink) continue;
        problem =
            ensureDir(i, fileInfos.at(i).filePath.section(QLatin1Char('/'), 0, -2), &directory);
        if (problem.isEmpty()) problem = writeLink(i, directory, linkTargets.value(i));
    }
    if (!problem.isEmpty()) return problem;

    // Directory permissions last and deepest first, so that a read-only directory is still
    // writable while it is filled and its parent still traversable while it is changed.
    std::stable_sort(dirs.begin(), dirs.end(), [this](int a, int b) {
        return fileInfos.at(a).filePath.count(QLatin1Char('/')) >
               fileInfos.at(b).filePath.count(QLatin1Char('/'));
    });
    for (int i : qAsConst(dirs)) {
        if (::chmod(QFile::encodeName(verifiedDirs.value(fileInfos.at(i).filePath)).constData(),
                    extractionMode(i)) != 0) {
            return entryError(i, QStringLiteral("cannot set its permissions"));
        }
    }
    return QString();
}

// As unzip and libarchive do: what the archive asks for, less the umask. An archive from a
// DOS-style host asks for 0666 and 0777, which must not leave files everyone can change.
mode_t ZipReaderPrivate::extractionMode(int index) const {
    return permissionsToMode(fileInfos.at(index).permissions) & ~umask;
}

QString ZipReaderPrivate::ensureDir(int index, const QString &relativeDir, QString *absoluteDir) {
    const auto known = verifiedDirs.constFind(relativeDir);
    if (known != verifiedDirs.constEnd()) {
        *absoluteDir = *known;
        return QString();
    }
    // Walk down one segment at a time, so that an existing link pointing out of the
    // destination is never followed, and create only below verified directories.
    const QString rootPrefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    QString relative;
    QString absolute = root;
    for (const QString &segment : relativeDir.split(QLatin1Char('/'))) {
        relative = relative.isEmpty() ? segment : relative + QLatin1Char('/') + segment;
        const auto verified = verifiedDirs.constFind(relative);
        if (verified != verifiedDirs.constEnd()) {
            absolute = *verified;
            continue;
        }
        const QString path = absolute + QLatin1Char('/') + segment;
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink()) {
            if (!QDir().mkdir(path)) {
                return entryError(index,
                                  QStringLiteral("cannot create the directory '%1'").arg(relative));
            }
            absolute = path;
        } else {
            absolute = info.canonicalFilePath();
            if (!info.isDir() || !absolute.startsWith(rootPrefix)) {
                return entryError(
                    index,
                    QStringLiteral("'%1' is not a directory inside the destination").arg(relative));
            }
        }
        verifiedDirs.insert(relative, absolute);
    }
    *absoluteDir = absolute;
    return QString();
}

QString ZipReaderPrivate::writeFile(int index, const QString &directory) {
    const ZipReader::FileInfo &info = fileInfos.at(index);
    const QString target =
        directory + QLatin1Char('/') + info.filePath.section(QLatin1Char('/'), -1);
    // The content takes its name only once verified, and renaming replaces a link already
    // there instead of writing through it.
    QByteArray temporary = QFile::encodeName(directory + QLatin1String("/.zip-XXXXXX"));
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return entryError(index, QStringLiteral("cannot create a file in '%1': %2")
                                     .arg(directory, qt_error_string(errno)));
    }
    QFile file;
    file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    QString problem = readEntry(index, &file);
    if (problem.isEmpty()) {
        file.close();
        if (file.error() != QFileDevice::NoError) {
            problem = entryError(
                index, QStringLiteral("cannot write '%1': %2").arg(target, file.errorString()));
        }
    }
    if (problem.isEmpty() && ::chmod(temporary.constData(), extractionMode(index)) != 0)
        problem = entryError(index, QStringLiteral("cannot set its permissions"));
    if (problem.isEmpty() &&
        ::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0) {
        problem = entryError(
            index, QStringLiteral("cannot write '%1': %2").arg(target, qt_error_string(errno)));
    }
    if (!problem.isEmpty()) ::unlink(temporary.constData());
    return problem;
}

QString ZipReaderPrivate::writeLink(int index, const QString &directory, const QByteArray &target) {
    const QString path =
        directory + QLatin1Char('/') + fileInfos.at(index).filePath.section(QLatin1Char('/'), -1);
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat existing {};
    if (::lstat(nativePath.constData(), &existing) == 0 && !S_ISDIR(existing.st_mode) &&
        ::unlink(nativePath.constData()) != 0) {
        return entryError(
            index, QStringLiteral("cannot replace '%1': %2").arg(path, qt_error_string(errno)));
    }
    if (::symlink(target.constData(), nativePath.constData()) != 0) {
        return entryError(
            index,
            QStringLiteral("cannot create the link '%1': %2").arg(path, qt_error_string(errno)));
    }
    return QString();
}

void ZipReaderPrivate::fail(const QString &error) {
    errorString = error;
    qWarning("Zip: %s", qUtf8Printable(error));
}

ZipReader::ZipReader(const QString &archive, QIODevice::OpenMode mode) {
    auto file = std::make_unique<QFile>(archive);
    file->open(mode);
    Status status = FileError;
    switch (file->error()) {
        case QFileDevice::NoError:
            status = NoError;
            break;
        case QFileDevice::ReadError:
            status = FileReadError;
            break;
        case QFileDevice::OpenError:
            status = FileOpenError;
            break;
        case QFileDevice::PermissionsError:
            status = FilePermissionsError;
            break;
        default:
            break;
    }
    QIODevice *device = file.get();
    d = std::make_unique<ZipReaderPrivate>(device, std::move(file));
    d->status = status;
}

ZipReader::ZipReader(QIODevice *device) : d(std::make_unique<ZipReaderPrivate>(device, nullptr)) {}

ZipReader::~ZipReader() { close(); }

QIODevice *ZipReader::device() const { return d->device; }

bool ZipReader::isReadable() const { return d->device->isReadable(); }

bool ZipReader::exists() const {
    const auto *file = qobject_cast<const QFile *>(d->device);
    return !file || file->exists();
}

ZipReader::Status ZipReader::status() const { return d->status; }

QVector<ZipReader::FileInfo> ZipReader::fileInfoList() const {
    d->scanFiles();
    return d->fileInfos;
}

int ZipReader::count() const {
    d->scanFiles();
    return d->fileInfos.size();
}

ZipReader::FileInfo ZipReader::entryInfoAt(int index) const {
    d->scanFiles();
    return d->fileInfos.value(index);
}

QByteArray ZipReader::fileData(const QString &fileName) const {
    d->errorString.clear();
    d->scanFiles();
    const int index = d->nameIndex.value(fileName, -1);
    if (index < 0) return QByteArray();
    QByteArray data;
    const QString problem = d->readData(index, MaxFileDataSize, &data);
    if (problem.isEmpty()) return data;
    d->fail(problem);
    return QByteArray();
}

bool ZipReader::extractAll(const QString &destinationDir) const {
    d->errorString.clear();
    const QString problem = d->extractAll(destinationDir);
    if (problem.isEmpty()) return true;
    d->fail(problem);
    return false;
}

QString ZipReader::errorString() const { return d->errorString; }

void ZipReader::close() { d->device->close(); }

}  // namespace zip
