#include "storage/zipinstaller.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "core/regularfile.h"
#include "external/zip/zipreader.h"
#include "storage/atomicfile.h"
#include "storage/filewriter.h"
#include "storage/pathresolver.h"
#include "storage/verifiedwrite.h"

namespace {
const QString workDirName = QStringLiteral("tmp_zip");
const QString journalSuffix = QStringLiteral(".unpack");
// The states of an unpack in its journal. Working: the destination is as it was, only work
// files exist. Committing: entries are being moved in, so a start after a crash moves them
// back. Committed: every entry is in place, only the work files remain to be removed.
const QString working = QStringLiteral("working");
const QString committing = QStringLiteral("committing");
const QString committed = QStringLiteral("committed");

// One call makes everything written below `dir` durable, however many entries there are.
void syncFileSystemOf(const QString &dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

// Writes back what the extraction has written so far, again and again while it goes on, so that
// the disk works beside it and the one sync that makes the entries durable before the commit
// finds little left. It only starts writes the kernel would make anyway, a little later.
class syncAlongside {
  public:
    explicit syncAlongside(const QString &dir)
        : m_fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_fd >= 0) m_thread = std::thread([this] { run(); });
    }
    ~syncAlongside() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
    }
    syncAlongside(const syncAlongside &) = delete;
    syncAlongside &operator=(const syncAlongside &) = delete;

  private:
    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_stop; })) {
            lock.unlock();
            ::syncfs(m_fd);
            lock.lock();
        }
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

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
bool present(const QString &path) { return existsOrIsLink(QFileInfo(path)); }
bool isRealDir(const QFileInfo &info) { return info.isDir() && !info.isSymLink(); }

// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int maxLinkHops = 40;

QStringList components(const QString &path) {
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}
}  // namespace

zipInstaller::zipInstaller(const fileWriter &writer, const QString &destination, const QString &id)
    : m_writer(writer),
      m_destination(destination),
      m_id(id),
      m_workDir(QDir::cleanPath(m_destination + QLatin1Char('/') + workDirName) + QLatin1Char('/')),
      m_archiveFile(m_workDir + id + QStringLiteral(".zip")),
      m_stagingDir(m_workDir + id + QStringLiteral(".staged")),
      m_backupDir(m_workDir + id + QStringLiteral(".replaced")) {}

saveResultStruct zipInstaller::install(const fileWriter &writer, const QString &destinationDir,
                                       byteSource &archive) {
    return zipInstaller(writer, pathResolver::physicalPath(destinationDir),
                        QUuid::createUuid().toString(QUuid::WithoutBraces))
        .run(archive);
}

saveResultStruct zipInstaller::run(byteSource &archive) {
    const saveResultStruct noWorkDir{
        941,
        QStringLiteral("Failed to create a temporary directory %1 for extraction!")
            .arg(m_destination),
        {}};
    if (m_destination.isEmpty()) return noWorkDir;
    for (QString dir = QDir::cleanPath(m_workDir); !present(dir); dir = QFileInfo(dir).path())
        m_createdDirs << dir;
    // Recorded before the first directory or file is made, so that the start after a crash
    // finds whatever this install leaves.
    QString error;
    if (!writeJournal(working, &error))
        return {950, QStringLiteral("Extraction failed"),
                QStringLiteral("Can't record the unpack: %1").arg(error)};
    saveResultStruct result;
    // A work directory that is a link would put the archive and its entries somewhere else.
    if (!fileWriter::createDirectoryIfNeeded(m_workDir) ||
        !isRealDir(QFileInfo(QDir::cleanPath(m_workDir)))) {
        result = noWorkDir;
    } else {
        // A crash before the commit rolls the unpack back and removes the archive, and the
        // reader checks every entry it takes from it: the archive need not reach the disk.
        result = verifiedWrite::writeAndVerify(m_writer, m_archiveFile, archive, true, QString(),
                                               atomicFile::Durability::Unsynced);
        if (result.errorCode == 0) result = unpack();
    }
    if (m_leftForNextStart) return result;
    cleanUp(&result);
    removeJournal();
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
    {
        const syncAlongside writeback(m_stagingDir);
        if (!reader.extractAll(m_stagingDir)) return {950, extractionFailed, reader.errorString()};
    }
    // The staging directory holds the archive's entries and nothing else, so its links are the
    // archive's, found without walking the staged tree.
    QStringList links;
    for (const zip::ZipReader::FileInfo &entry : reader.fileInfoList())
        if (entry.isSymLink) links << entry.filePath;
    reader.close();
    // Gone before the sync below, the archive's pages are dropped instead of written out.
    QFile::remove(m_archiveFile);
    // No sync is waited for before the moves: were the unpack cut short now or while they are
    // made, the next start would remove or move back the staged entries that reached the
    // disk and leave the destination's own files where they are (rollBack). The one sync after
    // the moves makes the entries durable with the moves.
    QString error;
    if (!planMoves(m_stagingDir, m_destination, &error) || !checkLinks(links, &error))
        return {950, extractionFailed, error};
    if (!writeJournal(committing, &error))
        return {950, extractionFailed, QStringLiteral("Can't record the unpack: %1").arg(error)};
    if (!commitMoves(&error)) return {950, extractionFailed, error};
    syncFileSystemOf(m_destination);
    // The commit point. Before the journal says so, the start after a crash moves everything
    // back; it cannot tell a commit that moved its last entry from one that stopped half-way.
    if (!writeJournal(committed, &error)) {
        error = QStringLiteral("Can't record the unpack: %1").arg(error);
        abandonCommit(&error);
        return {950, extractionFailed, error};
    }
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
            m_moves.append({entry, false});
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
            m_moves.append({entry, true});
        }
    }
    return true;
}

bool zipInstaller::checkLinks(const QStringList &links, QString *error) const {
    for (const QString &link : links) {
        *error = linkProblem(link);
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
        if ((move.replaces && !backUp(targetPath(move), backupPath(i))) ||
            !renamePath(stagedPath(move), targetPath(move))) {
            *error = QStringLiteral("Can't move %1 into place: %2")
                         .arg(targetPath(move), QString::fromLocal8Bit(strerror(errno)));
            abandonCommit(error);
            return false;
        }
    }
    return true;
}

// Decided by what is on disk, not by how far a commit got, so that it serves a commit that
// failed here and one that a crash cut short alike, and a second run changes nothing more: a
// move is undone where its entry has left the staging directory, and a backup is put back
// wherever one was made (onto its own hard link, which changes nothing).
bool zipInstaller::rollBack() const {
    bool complete = true;
    for (int i = m_moves.size() - 1; i >= 0; --i) {
        const Move &move = m_moves.at(i);
        // A staged entry that is gone was moved, unless it never reached the disk: the staging
        // directory is not synced before the commit. The original of a replaced entry leaves
        // its place only for its backup, so without a backup the target is still the original.
        const bool moved = !present(stagedPath(move)) && (!move.replaces || present(backupPath(i)));
        if (moved && !renamePath(targetPath(move), stagedPath(move)) && errno != ENOENT)
            complete = false;
        if (move.replaces && present(backupPath(i)) && !renamePath(backupPath(i), targetPath(move)))
            complete = false;
    }
    return complete;
}

// Only once the journal says that the destination is as it was may the work files go: the
// staging directory and the backups are what a later roll-back would move back. When that
// cannot be recorded, they stay with the journal for the next start.
void zipInstaller::abandonCommit(QString *error) {
    QString journalError;
    if (rollBack()) {
        syncFileSystemOf(m_destination);
        if (writeJournal(working, &journalError)) return;
    }
    m_leftForNextStart = true;
    *error += QStringLiteral("; the rest is put back at the next start");
}

void zipInstaller::cleanUp(saveResultStruct *result) {
    QString info;
    if (present(m_archiveFile) && !QFile::remove(m_archiveFile))
        info = QStringLiteral("Failed to delete the temporary zip file");
    QDir(m_stagingDir).removeRecursively();
    QDir(m_backupDir).removeRecursively();
    // Only what this install created goes; anything else in the work directory stays.
    if (present(m_workDir) && !QDir().rmdir(m_workDir))
        info = QStringLiteral("Failed to delete the temporary zip file directory");
    if (result->errorCode != 0) {
        for (const QString &dir : qAsConst(m_createdDirs)) QDir().rmdir(dir);
    } else if (!info.isEmpty()) {
        result->extraInfo = info;
    }
}

QString zipInstaller::journalPath() const {
    return m_writer.journalDirectory() + m_id + journalSuffix;
}

bool zipInstaller::writeJournal(const QString &state, QString *error) const {
    if (m_writer.journalDirectory().isEmpty() || !QDir().mkpath(m_writer.journalDirectory())) {
        *error = QStringLiteral("no journal directory");
        return false;
    }
    QJsonArray moves;
    for (const Move &move : m_moves)
        moves.append(QJsonObject{{QStringLiteral("path"), move.path},
                                 {QStringLiteral("replaces"), move.replaces}});
    const QJsonObject journal{
        {QStringLiteral("destination"), m_destination},
        {QStringLiteral("state"), state},
        {QStringLiteral("createdDirs"), QJsonArray::fromStringList(m_createdDirs)},
        {QStringLiteral("moves"), moves}};
    return atomicFile::write(journalPath(), QJsonDocument(journal).toJson(QJsonDocument::Compact),
                             error, 0600);
}

void zipInstaller::removeJournal() const { QFile::remove(journalPath()); }

// Roll-back, not roll-forward, for a commit that was not marked complete: the server never got
// a success reply for it and may send something else next, and "failed" has always meant "the
// destination is as it was". Moving entries back needs nothing but the staging directory and
// the backups, which stay until the journal says the destination is whole again.
void zipInstaller::recoverInterrupted(const fileWriter &writer, const logger &log) {
    static const QRegularExpression journalName(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.unpack$"));
    const QString identifier = QStringLiteral("zipInstaller::recoverInterrupted");
    const QFileInfoList journals = QDir(writer.journalDirectory())
                                       .entryInfoList({QLatin1Char('*') + journalSuffix},
                                                      QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : journals) {
        QFile file;
        if (!journalName.match(entry.fileName()).hasMatch() || entry.isSymLink() ||
            regularFile::openForReading(entry.filePath(), &file) != regularFile::Status::Opened)
            continue;
        const QJsonObject journal = QJsonDocument::fromJson(file.readAll()).object();
        const QString state = journal.value(QStringLiteral("state")).toString();
        zipInstaller unpack(writer, journal.value(QStringLiteral("destination")).toString(),
                            entry.completeBaseName());
        for (const QJsonValue &dir : journal.value(QStringLiteral("createdDirs")).toArray())
            unpack.m_createdDirs << dir.toString();
        bool readable = unpack.m_destination.startsWith(QLatin1Char('/')) &&
                        QStringList{working, committing, committed}.contains(state);
        for (const QJsonValue &value : journal.value(QStringLiteral("moves")).toArray()) {
            const QJsonObject move = value.toObject();
            const QString path = move.value(QStringLiteral("path")).toString();
            // Each move stays below the destination, as planMoves made it.
            readable = readable && !path.isEmpty() && !path.startsWith(QLatin1Char('/')) &&
                       !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
            unpack.m_moves.append({path, move.value(QStringLiteral("replaces")).toBool()});
        }
        if (!readable) {
            log.write(
                900,
                QStringLiteral("Unreadable unpack journal %1 left as it is").arg(entry.filePath()),
                identifier, true, true);
            continue;
        }
        const QString destination = logformat::escaped(unpack.m_destination);
        QString error;
        if (state == committing) unpack.abandonCommit(&error);
        if (unpack.m_leftForNextStart) {
            log.write(900,
                      QStringLiteral("The unpack into %1 that a crash interrupted could not be "
                                     "undone; the next start tries again")
                          .arg(destination),
                      identifier, true, true);
            continue;
        }
        saveResultStruct result;
        result.errorCode = state == committed ? 0 : 950;
        unpack.cleanUp(&result);
        unpack.removeJournal();
        log.write(100,
                  state == committed
                      ? QStringLiteral("Removed the work files of the unpack into %1, which a "
                                       "crash interrupted after it was complete")
                            .arg(destination)
                  : state == committing
                      ? QStringLiteral("Moved back the entries of the unpack into %1, which a "
                                       "crash interrupted while it moved them in")
                            .arg(destination)
                      : QStringLiteral("Removed the work files of the unpack into %1, which a "
                                       "crash interrupted before it changed anything")
                            .arg(destination),
                  identifier, true, true);
    }
}
