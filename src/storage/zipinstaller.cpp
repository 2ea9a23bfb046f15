#include "storage/zipinstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cstring>

#include "core/log.h"
#include "core/regularfile.h"
#include "external/zip/zipreader.h"
#include "storage/filewriter.h"
#include "storage/pathresolver.h"
#include "storage/verifiedwrite.h"

namespace {
const QString workDirName = QStringLiteral("tmp_zip");

// One call makes everything written below `dir` durable, however many entries there are.
void syncFileSystemOf(const QString &dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

bool renamePath(const QString &from, const QString &to) {
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Keeps the entry that an archive entry replaces, without a moment in which it is missing
// where links are possible.
bool backUp(const QString &path, const QString &backup) {
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(backup).constData()) == 0)
        return true;
    return renamePath(path, backup);
}

bool existsOrIsLink(const QFileInfo &info) { return info.exists() || info.isSymLink(); }
bool isRealDir(const QFileInfo &info) { return info.isDir() && !info.isSymLink(); }

// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int maxLinkHops = 40;

QStringList components(const QString &path) {
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}
}  // namespace

zipInstaller::zipInstaller(const fileWriter &writer, const QString &destinationDir)
    : m_writer(writer),
      m_destination(pathResolver::physicalPath(destinationDir)),
      m_workDir(QDir::cleanPath(m_destination + QLatin1Char('/') + workDirName) + QLatin1Char('/')),
      m_archiveFile(m_workDir + QUuid::createUuid().toString(QUuid::WithoutBraces) +
                    QStringLiteral(".zip")),
      m_stagingDir(m_archiveFile.chopped(4) + QStringLiteral(".staged")),
      m_backupDir(m_archiveFile.chopped(4) + QStringLiteral(".replaced")) {}

saveResultStruct zipInstaller::install(const fileWriter &writer, const QString &destinationDir,
                                       const QByteArray &archive) {
    return zipInstaller(writer, destinationDir).run(archive);
}

saveResultStruct zipInstaller::run(const QByteArray &archive) {
    for (QString dir = QDir::cleanPath(m_workDir); !QFileInfo(dir).exists();
         dir = QFileInfo(dir).path())
        m_createdDirs << dir;
    saveResultStruct result;
    if (m_destination.isEmpty() || !fileWriter::createDirectoryIfNeeded(m_workDir)) {
        result = {941,
                  QStringLiteral("Failed to create a temporary directory %1 for extraction!")
                      .arg(m_destination),
                  {}};
    } else {
        result = verifiedWrite::writeAndVerify(m_writer, m_archiveFile, archive, true);
        if (result.errorCode == 0) result = unpack();
    }
    cleanUp(&result);
    return result;
}

saveResultStruct zipInstaller::unpack() {
    zip::ZipReader reader(m_archiveFile, QIODevice::ReadOnly);
    if (!reader.exists())
        return {997, QStringLiteral("Zip temporary file %1 doesn't exist!").arg(m_archiveFile), {}};
    qDebug().noquote() << "Number of items in the zip archive =" << reader.count();
    qDebug().noquote() << "Extracting to " + logformat::escaped(m_destination);
    const QString extractionFailed = QStringLiteral("Extraction failed");
    if (!QDir().mkpath(m_stagingDir) || !QDir().mkpath(m_backupDir))
        return {950, extractionFailed,
                QStringLiteral("Can't create the staging directory %1").arg(m_stagingDir)};
    if (!reader.extractAll(m_stagingDir)) return {950, extractionFailed, reader.errorString()};
    reader.close();
    QString error;
    syncFileSystemOf(m_stagingDir);
    if (!planMoves(m_stagingDir, m_destination, &error) || !checkLinks(&error) ||
        !commitMoves(&error))
        return {950, extractionFailed, error};
    syncFileSystemOf(m_destination);
    return saveResultStruct();
}

// Decides every move before the first one is made, so that a conflict changes nothing. A
// directory that exists on both sides is merged; a symbolic link in the destination is never
// followed, or an entry could land outside it.
bool zipInstaller::planMoves(const QString &stagedDir, const QString &targetDir, QString *error) {
    const QFileInfoList entries = QDir(stagedDir).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &staged : entries) {
        const QString entry = staged.filePath().mid(m_stagingDir.size() + 1);
        const QFileInfo target(targetDir + QLatin1Char('/') + staged.fileName());
        if (targetDir == m_destination && staged.fileName() == workDirName) {
            *error = QStringLiteral("Entry %1 collides with the work directory").arg(entry);
            return false;
        }
        if (!existsOrIsLink(target)) {
            m_moves.append({staged.filePath(), target.filePath(), false});
        } else if (isRealDir(staged)) {
            if (!isRealDir(target)) {
                *error = QStringLiteral("Entry %1 is a directory, but %2 is not")
                             .arg(entry, target.filePath());
                return false;
            }
            if (!planMoves(staged.filePath(), target.filePath(), error)) return false;
        } else if (isRealDir(target)) {
            *error = QStringLiteral("Entry %1 would replace the directory %2")
                         .arg(entry, target.filePath());
            return false;
        } else if (regularFile::isSpecial(target.filePath())) {
            *error = QStringLiteral("Entry %1 would replace %2, which is not a regular file")
                         .arg(entry, target.filePath());
            return false;
        } else {
            m_moves.append({staged.filePath(), target.filePath(), true});
        }
    }
    return true;
}

bool zipInstaller::checkLinks(QString *error) const {
    QDirIterator staged(m_stagingDir,
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
    while (staged.hasNext()) {
        staged.next();
        if (!staged.fileInfo().isSymLink()) continue;
        *error = linkProblem(staged.filePath().mid(m_stagingDir.size() + 1));
        if (!error->isEmpty()) return false;
    }
    return true;
}

zipInstaller::Kind zipInstaller::kindAfterCommit(const QString &relative,
                                                 QByteArray *linkTarget) const {
    // The archive's entry wins where it will replace or merge with the destination's.
    for (const QString &base : {m_stagingDir, m_destination}) {
        const QByteArray path = QFile::encodeName(base + QLatin1Char('/') + relative);
        struct stat status;
        if (::lstat(path.constData(), &status) != 0) continue;
        if (S_ISDIR(status.st_mode)) return Kind::Directory;
        if (!S_ISLNK(status.st_mode)) return Kind::Other;
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t length = ::readlink(path.constData(), target.data(), size_t(target.size()));
        if (length <= 0 || length == target.size()) return Kind::Other;
        *linkTarget = target.left(int(length));
        return Kind::Link;
    }
    return Kind::Missing;
}

// Followed one component at a time through the tree as it will be once the moves are made:
// the archive's entries over the destination's, links of both followed. The directories
// reached are real ones, so each ".." goes where the kernel would take it; past anything else
// the path cannot be placed, so a ".." there is refused. Where it leads today is not enough:
// a ".." after a name climbs from wherever that name leads, and a later archive may make it
// lead elsewhere, so the archive's own target may climb only before it descends. A leading
// ".." climbs from the link's own directory, which no archive can turn into a link.
QString zipInstaller::linkProblem(const QString &linkPath) const {
    QByteArray target;
    kindAfterCommit(linkPath, &target);
    const QString targetName = QFile::decodeName(target);
    const QString refused = QStringLiteral("Entry %1: link target '%2' ").arg(linkPath, targetName);
    const QString leaves = refused + QStringLiteral("leaves the destination");
    const QString rootPrefix = m_destination + QLatin1Char('/');
    QStringList reached = components(linkPath);
    reached.removeLast();
    QStringList pending;
    bool pastMissing = false;  // beyond what is no directory, where no link can be followed
    for (int hops = 0;; ++hops) {
        if (hops > maxLinkHops) return refused + QStringLiteral("passes through too many links");
        // Each round puts a link's target in front of what is left to follow.
        QString relative = QFile::decodeName(target);
        if (relative.startsWith(QLatin1Char('/'))) {
            if (relative != m_destination && !relative.startsWith(rootPrefix)) return leaves;
            relative = relative.mid(m_destination.size());
            reached.clear();
        }
        pending = components(relative) + pending;
        bool followed = false;
        while (!followed && !pending.isEmpty()) {
            const QString component = pending.takeFirst();
            if (component == QLatin1String(".")) continue;
            if (component == QLatin1String("..")) {
                if (pastMissing || reached.isEmpty()) return leaves;
                reached.removeLast();
                continue;
            }
            reached.append(component);
            if (pastMissing) continue;
            const Kind kind = kindAfterCommit(reached.join(QLatin1Char('/')), &target);
            followed = kind == Kind::Link;
            if (followed) reached.removeLast();
            pastMissing = kind != Kind::Directory && !followed;
        }
        if (!followed) break;
    }
    bool named = false;
    for (const QString &component : components(targetName)) {
        if (component == QLatin1String("..") && named)
            return refused + QStringLiteral("has '..' after a name");
        named = named || component != QLatin1String(".");
    }
    return QString();
}

bool zipInstaller::commitMoves(QString *error) {
    for (int i = 0; i < m_moves.size(); ++i) {
        const Move &move = m_moves.at(i);
        const QString backup = m_backupDir + QLatin1Char('/') + QString::number(i);
        if ((move.replaces && !backUp(move.to, backup)) || !renamePath(move.from, move.to)) {
            *error = QStringLiteral("Can't move %1 into place: %2")
                         .arg(move.to, QString::fromLocal8Bit(strerror(errno)));
            // A backup made for this move is put back too.
            if (move.replaces && QFileInfo(backup).exists()) renamePath(backup, move.to);
            rollBack(i);
            return false;
        }
    }
    return true;
}

void zipInstaller::rollBack(int done) {
    for (int i = done - 1; i >= 0; --i) {
        const Move &move = m_moves.at(i);
        renamePath(move.to, move.from);
        if (move.replaces) renamePath(m_backupDir + QLatin1Char('/') + QString::number(i), move.to);
    }
}

void zipInstaller::cleanUp(saveResultStruct *result) {
    QString info;
    if (QFileInfo::exists(m_archiveFile) && !QFile::remove(m_archiveFile))
        info = QStringLiteral("Failed to delete the temporary zip file");
    QDir(m_stagingDir).removeRecursively();
    QDir(m_backupDir).removeRecursively();
    // Only what this install created goes; anything else in the work directory stays.
    if (QFileInfo::exists(m_workDir) && !QDir().rmdir(m_workDir))
        info = QStringLiteral("Failed to delete the temporary zip file directory");
    if (result->errorCode != 0) {
        for (const QString &dir : qAsConst(m_createdDirs)) QDir().rmdir(dir);
    } else if (!info.isEmpty()) {
        result->extraInfo = info;
    }
}
