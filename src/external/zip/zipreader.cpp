#include "zipreader.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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

// Whether `name` has an empty or "." segment after its leading "/", if any: most names have
// nothing to clean and are taken as they are.
bool needsCleaning(const QString &name) {
    int segmentStart = name.startsWith(QLatin1Char('/')) ? 1 : 0;
    if (segmentStart == name.size()) return false;
    for (int i = segmentStart; i <= name.size(); ++i) {
        if (i < name.size() && name.at(i) != QLatin1Char('/')) continue;
        const int length = i - segmentStart;
        if (length == 0 || (length == 1 && name.at(segmentStart) == QLatin1Char('.'))) return true;
        segmentStart = i + 1;
    }
    return false;
}

// Collapses empty and "." segments only: ".." and a leading "/" stay visible so that
// extraction can refuse them.
QString cleanPath(const QString &name) {
    if (!needsCleaning(name)) return name;
    QStringList segments = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    segments.removeAll(QStringLiteral("."));
    const QString joined = segments.join(QLatin1Char('/'));
    return name.startsWith(QLatin1Char('/')) ? QLatin1Char('/') + joined : joined;
}

bool writeAll(int fd, const char *data, qint64 length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= written;
    }
    return true;
}

bool hasDotDotSegment(const QString &path) {
    return path == QLatin1String("..") || path.startsWith(QLatin1String("../")) ||
           path.endsWith(QLatin1String("/..")) || path.contains(QLatin1String("/../"));
}

QString parentOf(const QString &path) {
    return path.left(qMax(path.lastIndexOf(QLatin1Char('/')), 0));
}

QString nameOf(const QString &path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }

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
    ~ZipReaderPrivate() {
        if (inflaterReady) inflateEnd(&inflater);
        closeDirectory();
    }
    ZipReaderPrivate(const ZipReaderPrivate &) = delete;
    ZipReaderPrivate &operator=(const ZipReaderPrivate &) = delete;

    void scanFiles();
    QString readIndex();
    QByteArray readAt(qint64 position, qint64 length);
    // Without lastModified, which takes a time-zone look-up that extraction never needs.
    ZipReader::FileInfo fillFileInfo(int index) const;
    // Entries packed together share their time stamps: `dates` keeps each stamp's conversion.
    ZipReader::FileInfo datedFileInfo(int index, QHash<quint32, QDateTime> *dates) const;
    const QHash<QString, int> &names();
    QString storedName(int index) const;
    QString entryError(int index, const QString &what) const;

    QString checkHeader(int index) const;
    QString locateData(int index, qint64 *dataStart);
    // The entry's data, whose first byte is at `dataStart`, verified as it goes to `out`.
    QString readEntry(int index, qint64 dataStart, const Sink &out);
    QString readData(int index, qint64 limit, QByteArray *data);
    QString copyStored(int index, qint64 length, const Sink &sink);
    QString inflateData(int index, qint64 length, const Sink &sink);

    QString validate(QHash<int, QByteArray> *linkTargets);
    QString checkLinkTarget(int index, const QByteArray &target,
                            const QHash<QString, int> &byPath) const;
    QString extractAll(const QString &destinationDir);
    mode_t extractionMode(int index) const;
    QString ensureDir(int index, const QString &relativeDir, QString *absoluteDir);
    int directoryFd(const QString &directory);
    void closeDirectory();
    QString writeFile(int index, const QString &directory);
    QString writeLink(int index, const QString &directory, const QByteArray &target);
    void fail(const QString &error);

    QIODevice *device;
    std::unique_ptr<QIODevice> ownedDevice;
    bool dirtyFileTree = true;
    ZipReader::Status status = ZipReader::NoError;
    QVector<FileHeader> fileHeaders;
    QVector<ZipReader::FileInfo> fileInfos;
    QHash<QString, int> nameIndex;  // stored and cleaned names, first entry first; see names()
    quint32 startOfDirectory = 0;
    QString indexError;  // why the index cannot be trusted for extraction
    QString errorString;
    QVector<qint64> dataStarts;  // where each entry's data starts, found by validate()

    // Kept from entry to entry, so that 10,000 small entries do not set up 10,000 of each.
    z_stream inflater{};
    bool inflaterReady = false;
    QByteArray input;
    QByteArray output;

    // State of one extraction: the canonical destination, the directories below it that are
    // known to be real directories inside it, by relative path, and the process umask.
    QString root;
    QHash<QString, QString> verifiedDirs;
    mode_t umask = 0;
    // The verified directory that files are being written into, held open so that each file
    // is made by its name alone, not by a path walked from the root again.
    QString openDirectory;
    int openDirectoryFd = -1;
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
    fileInfos.reserve(fileHeaders.size());
    for (int i = 0; i < fileHeaders.size(); ++i) fileInfos.append(fillFileInfo(i));
}

const QHash<QString, int> &ZipReaderPrivate::names() {
    scanFiles();
    // Backwards, so that the first of several entries with one name keeps it.
    if (nameIndex.isEmpty()) {
        for (int i = fileHeaders.size() - 1; i >= 0; --i) {
            nameIndex.insert(storedName(i), i);
            nameIndex.insert(fileInfos.at(i).filePath, i);
        }
    }
    return nameIndex;
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
    return info;
}

ZipReader::FileInfo ZipReaderPrivate::datedFileInfo(int index,
                                                    QHash<quint32, QDateTime> *dates) const {
    ZipReader::FileInfo info = fileInfos.at(index);
    if (!info.isValid()) return info;
    const char *stamp = fileHeaders.at(index).lastModified;
    auto date = dates->find(readUInt(stamp));
    if (date == dates->end()) date = dates->insert(readUInt(stamp), readMSDosDate(stamp));
    info.lastModified = *date;
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

QString ZipReaderPrivate::readEntry(int index, qint64 dataStart, const Sink &out) {
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
        return out(data, length);
    };
    const QString problem = h.method == CompressionMethodStored
                                ? copyStored(index, h.compressedSize, sink)
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
    qint64 dataStart = 0;
    QString problem = checkHeader(index);
    if (problem.isEmpty()) problem = locateData(index, &dataStart);
    if (!problem.isEmpty()) return problem;
    return readEntry(index, dataStart, [data](const char *bytes, qint64 length) {
        data->append(bytes, int(length));
        return QString();
    });
}

QString ZipReaderPrivate::copyStored(int index, qint64 length, const Sink &sink) {
    input.resize(int(ChunkSize));
    while (length > 0) {
        const qint64 got = device->read(input.data(), qMin(length, ChunkSize));
        if (got <= 0) return entryError(index, QStringLiteral("data is truncated"));
        const QString problem = sink(input.constData(), got);
        if (!problem.isEmpty()) return problem;
        length -= got;
    }
    return QString();
}

QString ZipReaderPrivate::inflateData(int index, qint64 length, const Sink &sink) {
    if (inflaterReady) {
        inflateReset(&inflater);
    } else if (inflateInit2(&inflater, -MAX_WBITS) == Z_OK) {
        inflaterReady = true;
    } else {
        qWarning("Zip: Z_MEM_ERROR: Not enough memory");
        return entryError(index, QStringLiteral("not enough memory to inflate"));
    }
    z_stream &stream = inflater;
    stream.next_in = nullptr;
    stream.avail_in = 0;
    input.resize(int(ChunkSize));
    output.resize(int(ChunkSize));
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
        if (info.filePath.startsWith(QLatin1Char('/')) || hasDotDotSegment(info.filePath)) {
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
    spans.reserve(fileHeaders.size());
    dataStarts.resize(fileHeaders.size());
    for (int i = 0; i < fileHeaders.size(); ++i) {
        qint64 &dataStart = dataStarts[i];
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
        problem = ensureDir(i, parentOf(fileInfos.at(i).filePath), &directory);
        if (problem.isEmpty()) problem = writeFile(i, directory);
    }
    closeDirectory();
    for (int i = 0; i < fileInfos.size() && problem.isEmpty(); ++i) {
        if (!fileInfos.at(i).isSymLink) continue;
        problem = ensureDir(i, parentOf(fileInfos.at(i).filePath), &directory);
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

int ZipReaderPrivate::directoryFd(const QString &directory) {
    if (directory != openDirectory) {
        closeDirectory();
        openDirectoryFd =
            ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (openDirectoryFd >= 0) openDirectory = directory;
    }
    return openDirectoryFd;
}

void ZipReaderPrivate::closeDirectory() {
    if (openDirectoryFd >= 0) ::close(openDirectoryFd);
    openDirectoryFd = -1;
    openDirectory.clear();
}

QString ZipReaderPrivate::writeFile(int index, const QString &directory) {
    const QString fileName = nameOf(fileInfos.at(index).filePath);
    const QByteArray name = QFile::encodeName(fileName);
    const QString target = directory + QLatin1Char('/') + fileName;
    // Made where nothing is, a link included. Where something is, the content goes to a
    // temporary and takes the name only once verified: renaming replaces a link there instead
    // of writing through it, and whatever was there stays until then.
    // A new file takes its mode as it is made (the kernel takes the umask off once more, which
    // changes nothing): never more open than it will be, and no second call to set it.
    const int dirFd = directoryFd(directory);
    int fd = dirFd < 0 ? -1
                       : ::openat(dirFd, name.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  extractionMode(index));
    QByteArray temporary;
    if (fd < 0 && dirFd >= 0 && errno == EEXIST) {
        temporary = QFile::encodeName(directory + QLatin1String("/.zip-XXXXXX"));
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    }
    if (fd < 0) {
        return entryError(index, QStringLiteral("cannot create a file in '%1': %2")
                                     .arg(directory, qt_error_string(errno)));
    }
    const auto cannotWrite = [&] {
        return entryError(
            index, QStringLiteral("cannot write '%1': %2").arg(target, qt_error_string(errno)));
    };
    QString problem = readEntry(index, dataStarts.at(index), [&](const char *data, qint64 length) {
        return writeAll(fd, data, length) ? QString() : cannotWrite();
    });
    if (problem.isEmpty() && !temporary.isEmpty() && ::fchmod(fd, extractionMode(index)) != 0)
        problem = entryError(index, QStringLiteral("cannot set its permissions"));
    if (::close(fd) != 0 && problem.isEmpty()) problem = cannotWrite();
    if (problem.isEmpty() && !temporary.isEmpty() &&
        ::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0)
        problem = cannotWrite();
    if (!problem.isEmpty() && temporary.isEmpty()) ::unlinkat(dirFd, name.constData(), 0);
    if (!problem.isEmpty() && !temporary.isEmpty()) ::unlink(temporary.constData());
    return problem;
}

QString ZipReaderPrivate::writeLink(int index, const QString &directory, const QByteArray &target) {
    const QString path = directory + QLatin1Char('/') + nameOf(fileInfos.at(index).filePath);
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
    QVector<FileInfo> infos;
    infos.reserve(d->fileInfos.size());
    QHash<quint32, QDateTime> dates;
    for (int i = 0; i < d->fileInfos.size(); ++i) infos.append(d->datedFileInfo(i, &dates));
    return infos;
}

int ZipReader::count() const {
    d->scanFiles();
    return d->fileInfos.size();
}

ZipReader::FileInfo ZipReader::entryInfoAt(int index) const {
    d->scanFiles();
    QHash<quint32, QDateTime> dates;
    return index >= 0 && index < d->fileInfos.size() ? d->datedFileInfo(index, &dates) : FileInfo();
}

QByteArray ZipReader::fileData(const QString &fileName) const {
    d->errorString.clear();
    const int index = d->names().value(fileName, -1);
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
