#pragma once

#include <QDateTime>
#include <QFileDevice>
#include <QIODevice>
#include <QString>
#include <QVector>
#include <memory>

namespace zip {

class ZipReaderPrivate;

// Reads single-disk ZIP archives whose entries are stored or raw Deflate, and unpacks them
// without ever writing outside the destination directory.
class ZipReader {
  public:
    // One archive may unpack to at most this many bytes in total (4 GiB). The number of
    // entries is bounded by the end record's 16-bit count (65,535), since ZIP64 is refused.
    static constexpr quint64 MaxTotalSize = Q_UINT64_C(4) << 30;
    // fileData() holds an entry in memory; larger entries can only be extracted (1 GiB).
    static constexpr qint64 MaxFileDataSize = qint64(1) << 30;

    enum Status { NoError, FileReadError, FileOpenError, FilePermissionsError, FileError };

    struct FileInfo {
        QString filePath;  // cleaned, "/" separated; ".." and a leading "/" are kept
        bool isDir = false;
        bool isFile = false;
        bool isSymLink = false;
        QFileDevice::Permissions permissions;
        uint crc = 0;
        qint64 size = 0;
        QDateTime lastModified;

        bool isValid() const { return isDir || isFile || isSymLink; }
    };

    explicit ZipReader(const QString &archive, QIODevice::OpenMode mode = QIODevice::ReadOnly);
    explicit ZipReader(QIODevice *device);
    ~ZipReader();
    ZipReader(const ZipReader &) = delete;
    ZipReader &operator=(const ZipReader &) = delete;

    QIODevice *device() const;
    bool isReadable() const;
    bool exists() const;
    Status status() const;

    QVector<FileInfo> fileInfoList() const;
    int count() const;
    FileInfo entryInfoAt(int index) const;

    // The verified content of the entry with that stored or cleaned name; empty on failure.
    QByteArray fileData(const QString &fileName) const;
    // Checks the whole archive before writing anything; false with errorString() on failure.
    bool extractAll(const QString &destinationDir) const;
    // Why the last fileData() or extractAll() failed, naming the entry.
    QString errorString() const;

    void close();

  private:
    std::unique_ptr<ZipReaderPrivate> d;
};

}  // namespace zip
