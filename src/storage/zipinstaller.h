#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include "core/bytesource.h"
#include "core/globals.h"

class fileWriter;
class logger;

// Unpacks a ZIP archive into a directory all or nothing, also across a crash. The archive is
// stored and verified in the work directory "tmp_zip" below the destination, extracted there
// into a staging directory, checked against what the destination already holds, and only then
// moved in entry by entry; a failure at any step rolls the moves back, so the destination is
// either left as it was or holds the whole archive. The work directory is removed in either
// case. A journal in the writer's journal directory records each install from before its
// first file until its work files are gone, with every move before the first one is made and
// a mark once the last one is; from it the next start undoes (or, once marked, finishes) an
// install that a crash cut short.
class zipInstaller {
  public:
    // `writer` stores the archive in the work directory and names the journal directory.
    // The archive comes from a source of its bytes and is written as they come: memory does
    // not grow with it. A source that fails is answered with 959 (fileWriter::write).
    static saveResultStruct install(const fileWriter &writer, const QString &destinationDir,
                                    byteSource &archive);
    // At start, before any command: every install in the journal is rolled back (or cleaned
    // up once complete) and its work files, journal and the directories it made are removed.
    static void recoverInterrupted(const fileWriter &writer, const logger &log);

  private:
    struct Move {
        QString path;  // below the staging directory and the destination alike
        bool replaces = false;
    };

    // `destination` as pathResolver::physicalPath gives it; `id` names the work files.
    zipInstaller(const fileWriter &writer, const QString &destination, const QString &id);
    saveResultStruct run(byteSource &archive);
    saveResultStruct unpack();
    bool planMoves(const QString &stagedDir, const QString &targetDir, QString *error);
    // Every link of the archive (`links`, below the staging directory) must stay in the
    // destination, followed through the links that are already there as well as its own.
    bool checkLinks(const QStringList &links, QString *error) const;
    enum class Kind { Missing, Directory, Link, Other };
    Kind kindAfterCommit(const QString &relative, QByteArray *linkTarget) const;
    QString linkProblem(const QString &linkPath) const;
    bool commitMoves(QString *error);
    bool rollBack() const;
    void abandonCommit(QString *error);
    void cleanUp(saveResultStruct *result);
    QString journalPath() const;
    bool writeJournal(const QString &state, QString *error) const;
    void removeJournal() const;

    QString stagedPath(const Move &move) const {
        return m_stagingDir + QLatin1Char('/') + move.path;
    }
    QString targetPath(const Move &move) const {
        return m_destination + QLatin1Char('/') + move.path;
    }
    QString backupPath(int index) const {
        return m_backupDir + QLatin1Char('/') + QString::number(index);
    }

    const fileWriter &m_writer;
    const QString m_destination;
    const QString m_id;
    const QString m_workDir;
    const QString m_archiveFile;
    const QString m_stagingDir;
    const QString m_backupDir;
    QStringList m_createdDirs;  // missing before the install, deepest first
    QVector<Move> m_moves;
    bool m_leftForNextStart = false;  // a roll-back that failed: the journal and work files stay
};
