#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include "core/globals.h"

class fileWriter;

// Unpacks a ZIP archive into a directory all or nothing. The archive is stored and verified in
// the work directory "tmp_zip" below the destination, extracted there into a staging
// directory, checked against what the destination already holds, and only then moved in entry
// by entry; a failure at any step rolls the moves back, so the destination is either left as
// it was or holds the whole archive. The work directory is removed in either case.
class zipInstaller {
  public:
    // `writer` stores the archive in the work directory.
    static saveResultStruct install(const fileWriter &writer, const QString &destinationDir,
                                    const QByteArray &archive);

  private:
    struct Move {
        QString from;
        QString to;
        bool replaces = false;
    };

    zipInstaller(const fileWriter &writer, const QString &destinationDir);
    saveResultStruct run(const QByteArray &archive);
    saveResultStruct unpack();
    bool planMoves(const QString &stagedDir, const QString &targetDir, QString *error);
    // Every link of the archive must stay in the destination, followed through the links that
    // are already there as well as its own.
    bool checkLinks(QString *error) const;
    enum class Kind { Missing, Directory, Link, Other };
    Kind kindAfterCommit(const QString &relative, QByteArray *linkTarget) const;
    QString linkProblem(const QString &linkPath) const;
    bool commitMoves(QString *error);
    void rollBack(int done);
    void cleanUp(saveResultStruct *result);

    const fileWriter &m_writer;
    const QString m_destination;
    const QString m_workDir;
    const QString m_archiveFile;
    const QString m_stagingDir;
    const QString m_backupDir;
    QStringList m_createdDirs;  // missing before the install, deepest first
    QVector<Move> m_moves;
};
