#pragma once

#include <QDate>
#include <QString>
#include <QtGlobal>

class QDateTime;

// One line per event in the daily file of a log directory and, on request, on the console,
// with every secret masked. The client has one, appLog(), pointed at the log directory of its
// data root; tests make their own for any directory.
class logger {
  public:
    explicit logger(const QString &directory = QString());
    void setDirectory(const QString &directory);
    QString directory() const { return m_directory; }

    void write(int logCode, const QString &logText, const QString &identifier,
               bool writeToLog = true, bool writeToConsole = true) const;
    // Deletes the daily files older than 14 days, keeping at least 14 files in all.
    void cleanOldFiles(const QDate &today) const;

  private:
    QString m_directory;
};

// The client's log; it writes no file until a directory is set.
logger &appLog();

// The log line and the daily file it goes to, for a given moment.
namespace logformat {
QString line(const QDateTime &when, int logCode, const QString &identifier, const QString &text);
QString filePath(const QString &logDir, const QDate &day);
// Log lines that could not be written since start (the client never stops for a full disk).
int lostLineCount();
// The text with every secret replaced by "****": the values of the JSON keys that carry the
// password, the rights entries, or files that hold them (settings, rights, licenses, uploads),
// also when the text ends inside such a value, and "loginPass=" lines of a settings file.
QString maskSecrets(const QString &text);
// Text from outside (a peer, a path, a name) as it may stand inside a log line: control
// characters and backslashes escaped, so that it cannot start a line of its own, and cut after
// `shown` characters, so that a megabyte reply stays out of the log.
QString escaped(const QString &text, int shown = 500);
// The syslog priority (2 critical ... 7 debug) of a line with this log code, for the journal.
int syslogPriority(int logCode);
}  // namespace logformat

// Qt message handler: routes Qt's own messages into the client's log.
void messageOutputHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
void installMessageHandler();
