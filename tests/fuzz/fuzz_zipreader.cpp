// A ZIP archive as the server may send it: the index, every entry's information and data, and
// the extraction into a fresh directory, which must never write beside that directory.
#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>

#include "fuzzsupport.h"
#include "zipreader.h"

namespace {

// An archive may make its directories unreadable; the clean-up must still get through them.
void makeRemovable(const QString &directory) {
    QFile::setPermissions(directory,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDirIterator it(directory, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink()) makeRemovable(it.filePath());
    }
}

void checkExtracted(const zip::ZipReader &reader, const QString &destination) {
    for (const zip::ZipReader::FileInfo &info : reader.fileInfoList()) {
        if (!info.isFile) continue;
        const QFileInfo written(destination + QLatin1Char('/') + info.filePath);
        if (!written.isFile() || written.isSymLink())
            fuzzsupport::fail("an extracted file is missing or not a plain file");
        if (written.size() != info.size) fuzzsupport::fail("an extracted file has the wrong size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::setUp();
    QByteArray archive(reinterpret_cast<const char *>(data), int(size));
    QBuffer device(&archive);
    device.open(QIODevice::ReadOnly);
    const zip::ZipReader reader(&device);

    const QVector<zip::ZipReader::FileInfo> infos = reader.fileInfoList();
    if (reader.count() != infos.size()) fuzzsupport::fail("count() differs from fileInfoList()");
    if (reader.entryInfoAt(infos.size()).isValid())
        fuzzsupport::fail("an index past the end gives a valid entry");
    for (int i = 0; i < infos.size(); ++i) {
        if (reader.entryInfoAt(i).filePath != infos.at(i).filePath)
            fuzzsupport::fail("entryInfoAt() differs from fileInfoList()");
        reader.fileData(infos.at(i).filePath);
    }

    // The destination lies a few levels down, each level holding only the way to it; anything
    // else on the way has escaped.
    const QTemporaryDir top;
    if (!top.isValid()) fuzzsupport::fail("no temporary directory");
    const QStringList levels{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                             QStringLiteral("dest")};
    const QString destination = top.path() + QLatin1Char('/') + levels.join(QLatin1Char('/'));
    if (reader.extractAll(destination)) checkExtracted(reader, destination);
    QString level = top.path();
    for (const QString &next : levels) {
        QStringList beside = QDir(level).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                   QDir::Hidden | QDir::System);
        beside.removeOne(next);
        if (!beside.isEmpty()) fuzzsupport::fail("extraction wrote outside the destination");
        level += QLatin1Char('/') + next;
    }
    makeRemovable(top.path());
    return 0;
}
