#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

// Canned replies of the ordinary commands, matched on the whole command line.
class ReplyTable {
  public:
    ReplyTable();

    // Adds the file's entries, replacing built-in ones of the same command.
    bool load(const QString &path, QString *error);
    std::optional<QByteArray> reply(const QByteArray &command) const;
    // One "  COMMAND -> "REPLY"" line per entry, escaped as in a table file.
    QString describe() const;

  private:
    QMap<QByteArray, QByteArray> m_replies;
};
