#include "storage/filewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <algorithm>

#include "core/encoding.h"
#include "core/log.h"
#include "storage/atomicfile.h"
#include "storage/pathresolver.h"
#include "storage/zipinstaller.h"

namespace {
// Whether reading `data` as UTF-8 text and writing that text in the locale's encoding gives
// back the same bytes, so that a large text upload need not be held as UTF-16 too. It does when
// the locale is UTF-8 and the bytes are valid UTF-8 without the two things the conversion
// drops: a leading byte-order mark and everything from a NUL on.
bool textWriteKeepsBytes(const QByteArray &data) {
    static QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    if (QTextCodec::codecForLocale()->mibEnum() != utf8->mibEnum()) return false;
    if (data.startsWith("\xEF\xBB\xBF") || data.contains('\0')) return false;
    // Checked in slices, carrying a sequence cut at a slice end over to the next one.
    constexpr int sliceBytes = 64 * 1024;
    QTextCodec::ConverterState state;
    for (int at = 0; at < data.size(); at += sliceBytes)
        utf8->toUnicode(data.constData() + at, qMin(sliceBytes, data.size() - at), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}
}  // namespace

fileWriter::fileWriter(const sessionStruct &session, const logger &log)
    : m_session(session), m_log(log) {}

saveResultStruct fileWriter::write(const QString &path, const QByteArray &data, bool isBase64,
                                   bool isBinary, const QString &modeOf) const {
    saveResultStruct result;
    QByteArray bytes;
    if (isBinary) {
        bytes = isBase64 ? base64::strict(data) : data;
    } else if (!isBase64 && textWriteKeepsBytes(data)) {
        bytes = data;
    } else {
        const QString text =
            isBase64 ? base64::lenientText(QString::fromUtf8(data)) : QString::fromUtf8(data);
        bytes = text.toLocal8Bit();
    }
    // The settings directory holds credentials: its files are the owner's alone, new ones too.
    const bool inSettings = !m_session.dataSettingsLocation.isEmpty() &&
                            pathResolver::isWithin(path, m_session.dataSettingsLocation);
    const unsigned newFileMode = inSettings ? 0600 : 0666;
    QString error;
    if (!atomicFile::write(path, bytes, &error, newFileMode, modeOf, journalDirectory())) {
        m_log.write(900,
                    QStringLiteral("Writing %1 failed: %2").arg(logformat::escaped(path), error),
                    QStringLiteral("utilsModel::saveFile"), true, true);
        result.errorCode = 900;
        result.errorDescription = QStringLiteral("Can't write to file!");
        result.extraInfo = error;
    }
    return result;
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
