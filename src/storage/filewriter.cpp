#include "storage/filewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTextCodec>
#include <QTextDecoder>
#include <algorithm>

#include "core/encoding.h"
#include "core/log.h"
#include "storage/atomicfile.h"
#include "storage/pathresolver.h"
#include "storage/zipinstaller.h"

namespace {
// A source's bytes read as UTF-8 text and given in the locale's encoding, as
// QString::fromUtf8(all).toLocal8Bit() gives them: the decoder carries a character cut at a
// slice end over to the next, a leading byte-order mark goes, and so does everything from a NUL
// on (the rest is still read, so that a source failing there is seen). Only bytes that are not
// UTF-8 may become fewer replacement characters where a slice end cuts them. Only a piece of a
// long slice at a time is held as UTF-16.
class localText : public byteSource {
  public:
    explicit localText(byteSource &utf8)
        : m_utf8(utf8), m_decoder(QTextCodec::codecForName("UTF-8")) {}

    bool next(QByteArray *slice, QString *error) override {
        slice->clear();
        while (slice->isEmpty() && !m_ended) {
            if (m_at == m_input.size()) {
                if (!m_utf8.next(&m_input, error)) return false;
                m_at = 0;
                if (m_input.isEmpty()) {
                    // A sequence cut short at the very end becomes a replacement character.
                    *slice = m_decoder.toUnicode("", 0).toLocal8Bit();
                    m_ended = true;
                } else if (m_afterNul) {
                    m_input.clear();
                } else if (m_input.contains('\0')) {
                    m_input.truncate(m_input.indexOf('\0'));
                    m_afterNul = true;
                }
                continue;
            }
            const int piece = qMin(pieceBytes, m_input.size() - m_at);
            *slice = m_decoder.toUnicode(m_input.constData() + m_at, piece).toLocal8Bit();
            m_at += piece;
        }
        return true;
    }

  private:
    static constexpr int pieceBytes = 64 * 1024;
    byteSource &m_utf8;
    QTextDecoder m_decoder;
    QByteArray m_input;
    int m_at = 0;
    bool m_afterNul = false;
    bool m_ended = false;
};
}  // namespace

fileWriter::fileWriter(const sessionStruct &session, const logger &log)
    : m_session(session), m_log(log) {}

saveResultStruct fileWriter::write(const QString &path, const QByteArray &data, bool isBase64,
                                   bool isBinary, const QString &modeOf) const {
    // Base64 text is decoded to text whole (decodeBase64), and that text's bytes are written.
    heldBytes source(isBinary   ? (isBase64 ? base64::strict(data) : data)
                     : isBase64 ? base64::lenientText(QString::fromUtf8(data)).toLocal8Bit()
                                : data);
    return write(path, source, isBinary || isBase64, modeOf);
}

saveResultStruct fileWriter::write(const QString &path, byteSource &source, bool isBinary,
                                   const QString &modeOf, atomicFile::Durability durability) const {
    localText text(source);
    // The settings directory holds credentials: its files are the owner's alone, new ones too.
    const bool inSettings = !m_session.dataSettingsLocation.isEmpty() &&
                            pathResolver::isWithin(path, m_session.dataSettingsLocation);
    const unsigned newFileMode = inSettings ? 0600 : 0666;
    QString error;
    switch (atomicFile::write(path, isBinary ? source : text, &error, newFileMode, modeOf,
                              journalDirectory(), durability)) {
        case atomicFile::Result::Written:
            return saveResultStruct{};
        case atomicFile::Result::SourceFailed:
            return saveResultStruct{959, QStringLiteral("Decode error of data from server!"),
                                    error};
        case atomicFile::Result::WriteFailed:
            break;
    }
    m_log.write(900, QStringLiteral("Writing %1 failed: %2").arg(logformat::escaped(path), error),
                QStringLiteral("utilsModel::saveFile"), true, true);
    return saveResultStruct{900, QStringLiteral("Can't write to file!"), error};
}

QString fileWriter::roomProblem(const QString &path, qint64 bytes) {
    QFileInfo existing(path);
    while (!existing.exists() && !existing.isRoot()) existing.setFile(existing.absolutePath());
    const qint64 available = QStorageInfo(existing.absoluteFilePath()).bytesAvailable();
    if (available < 0 || available - bytes >= keptFreeBytes) return QString();
    return QStringLiteral(
               "%1 bytes do not fit on the disk of %2: %3 bytes are free, and %4 "
               "stay free")
        .arg(bytes)
        .arg(existing.absoluteFilePath())
        .arg(available)
        .arg(keptFreeBytes);
}

bool fileWriter::createDirectoryIfNeeded(const QString &filePath) {
    QString dir = filePath;
    // The last component of a file's path stays as it is: a link there is replaced by the
    // write, not followed.
    if (!filePath.endsWith(QLatin1Char('/'))) {
        const int divider = filePath.lastIndexOf(QLatin1Char('/'));
        dir = divider < 0    ? QStringLiteral(".")
              : divider == 0 ? QStringLiteral("/")
                             : filePath.left(divider);
    }
    const QString physical = pathResolver::physicalPath(dir);
    return !physical.isEmpty() && (QFileInfo(physical).isDir() || QDir().mkpath(physical));
}

QStringList fileWriter::ownFolders() const {
    QStringList folders;
    for (const QString &folder : {m_session.appDir, journalDirectory()})
        if (!folder.isEmpty()) folders << folder;
    return folders;
}

bool fileWriter::reachesOwnFolder(const QString &path) const {
    const QStringList folders = ownFolders();
    return std::any_of(folders.cbegin(), folders.cend(), [&path](const QString &folder) {
        return pathResolver::isWithin(path, folder);
    });
}

bool fileWriter::holdsOwnFolder(const QString &directory) const {
    const QStringList folders = ownFolders();
    return std::any_of(folders.cbegin(), folders.cend(), [&directory](const QString &folder) {
        return pathResolver::isWithin(folder, directory);
    });
}

QString fileWriter::journalDirectory() const {
    return m_session.dataLocation.isEmpty() ? QString()
                                            : m_session.dataLocation + QStringLiteral("journal/");
}

void fileWriter::recoverInterrupted() const {
    const QString journal = journalDirectory();
    if (journal.isEmpty() || !QDir().mkpath(journal)) return;
    // Its records could move and remove files anywhere: a journal that is not a directory of
    // its own (a link, say) is not read.
    if (!QFileInfo(journal).isDir() || QFileInfo(journal.chopped(1)).isSymLink()) {
        m_log.write(900, QStringLiteral("The journal %1 is not a directory").arg(journal),
                    QStringLiteral("fileWriter::recoverInterrupted"), true, true);
        return;
    }
    // Temporaries first: an archive's one lies in the work directory that the unpack's
    // recovery removes once it is empty.
    const int removed = temporaryRecord::removeRecorded(journal);
    if (removed > 0)
        m_log.write(
            100,
            QStringLiteral("Removed %1 temporary files of writes a crash interrupted").arg(removed),
            QStringLiteral("fileWriter::recoverInterrupted"), true, true);
    zipInstaller::recoverInterrupted(*this, m_log);
    // The records' own temporaries, left by a crash while a record was written.
    const QFileInfoList leftovers =
        QDir(journal).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &leftover : leftovers)
        if (atomicFile::isTemporaryName(leftover.fileName())) QFile::remove(leftover.filePath());
}
