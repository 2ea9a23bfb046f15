#include "core/log.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

#include "core/globals.h"

namespace {
QtMessageHandler previousHandler = nullptr;
int lostLines = 0;
QDate lostLinesReportedOn;

const QString consoleMark = QStringLiteral("» ");

// Where the console goes to the journal, a "<N>" in front of each line gives it its priority,
// so that `journalctl -p warning` shows the failures.
QString forConsole(const QString &text, int priority) {
    static const bool journal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    return journal ? QStringLiteral("<%1>").arg(priority) + text : text;
}

// The log code of a line as logger::write echoes it (the quoted line after the console mark).
int logCodeOf(const QString &echoedLine) {
    const int at = echoedLine.indexOf(QLatin1String(" => "));
    return at < 0 ? 100 : echoedLine.mid(at + 4, 6).trimmed().toInt();
}

void reportLostLine(const QString &path) {
    ++lostLines;
    const QDate today = QDate::currentDate();
    if (lostLinesReportedOn == today) return;
    lostLinesReportedOn = today;
    // Straight to stderr: going through Qt's message system would try the same file again.
    std::fprintf(stderr, "log file %s cannot be written; log lines are lost (%d so far)\n",
                 QFile::encodeName(path).constData(), lostLines);
}
}  // namespace

namespace logformat {
QString line(const QDateTime &when, int logCode, const QString &identifier, const QString &text) {
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) + QStringLiteral(" => ") +
           QString::number(logCode).leftJustified(6, QLatin1Char(' ')) + QStringLiteral(": [") +
           identifier + QStringLiteral("] ") + text;
}

QString filePath(const QString &logDir, const QDate &day) {
    return QStringLiteral("%1/_LOG_%2_QLTRestClientQt.txt")
        .arg(logDir, day.toString(QStringLiteral("yyyy-MM-dd")));
}

int lostLineCount() { return lostLines; }

QString maskSecrets(const QString &text) {
    static const QStringList keys = {
        QStringLiteral("loginPass"),   QStringLiteral("pwd"),
        QStringLiteral("dataValue"),   QStringLiteral("settingsFileData"),
        QStringLiteral("fileDataB64"), QStringLiteral("licenseData")};
    // A value may be cut off by a preview: an open string runs to the end of the text.
    static const QRegularExpression jsonValue(
        QStringLiteral("(\"(?:%1)\"\\s*:\\s*\")(?:[^\"\\\\]|\\\\.)*(?:\\\\?$|\")")
            .arg(keys.join(QLatin1Char('|'))));
    static const QRegularExpression iniValue(QStringLiteral("(\\bloginPass\\s*=)[^\\n]*"));
    if (!std::any_of(keys.cbegin(), keys.cend(),
                     [&text](const QString &key) { return text.contains(key); }))
        return text;
    QString masked = text;
    masked.replace(jsonValue, QStringLiteral("\\1****\""));
    masked.replace(iniValue, QStringLiteral("\\1****"));
    return masked;
}
QString escaped(const QString &raw, int shown) {
    // Secrets are masked first: once its backslashes are doubled, a value with an escaped quote
    // would end early for the mask, and the rest of it would show.
    const QString text = maskSecrets(raw);
    QString out;
    out.reserve(qMin(text.size(), shown) + 16);
    for (const QChar c : text.left(shown)) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7f || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (text.size() > shown) out += QStringLiteral("... (%1 characters)").arg(text.size());
    return out;
}

int syslogPriority(int logCode) {
    if (logCode >= 9000) return 2;
    if (logCode == 999 || logCode == 219 || logCode == 229) return 3;
    if ((logCode >= 395 && logCode <= 399) || (logCode >= 900 && logCode < 1100) ||
        logCode == 601 || logCode == 602 || logCode == 604 || logCode == 701 || logCode == 1858)
        return 4;
    if (logCode == 404 || logCode == 800 || logCode == 1857) return 5;
    if (logCode == 102 || logCode == 300 || logCode == 700) return 7;
    return 6;
}
}  // namespace logformat

logger::logger(const QString &directory) : m_directory(directory) {}

void logger::setDirectory(const QString &directory) { m_directory = directory; }

logger &appLog() {
    static logger log;
    return log;
}

void logger::write(int logCode, const QString &logText, const QString &identifier, bool writeToLog,
                   bool writeToConsole) const {
    if (!writeToLog && !writeToConsole) return;
    const QDateTime now = QDateTime::currentDateTime();
    QString line = logformat::line(now, logCode, identifier, logformat::maskSecrets(logText));
    if (writeToLog) {
        line.replace(QChar(2), QStringLiteral("<STX>"));
        line.replace(QChar(3), QStringLiteral("<ETX>"));
        if (!m_directory.isEmpty()) {
            const QString path = logformat::filePath(m_directory, now.date());
            QFile file(path);
            if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
                QTextStream out(&file);
                out << line << '\n';
                out.flush();
                if (out.status() != QTextStream::Ok || !file.flush()) reportLostLine(path);
            } else {
                reportLostLine(path);
            }
        }
    }
    if (writeToConsole) qCritical() << "»" << line;
}

void messageOutputHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg) {
    int code = 100;
    QString identifier = QStringLiteral("msgHandler");
    switch (type) {
        case QtDebugMsg:
            identifier += QStringLiteral(".Debug");
            break;
        case QtInfoMsg:
            code = 101;
            identifier += QStringLiteral(".Info");
            break;
        case QtWarningMsg:
            code = 900;
            identifier += QStringLiteral(".Warning");
            break;
        case QtCriticalMsg:
            code = 999;
            identifier += QStringLiteral(".Critical");
            break;
        case QtFatalMsg:
            code = 9001;
            identifier += QStringLiteral(".Fatal");
            break;
    }
    if (type == QtCriticalMsg && msg.startsWith(consoleMark)) {
        QString shortened = msg;
        shortened.remove(consoleMark);
        const int priority = logformat::syslogPriority(logCodeOf(shortened));
        if (previousHandler) previousHandler(type, context, forConsole(shortened, priority));
        return;
    }
    appLog().write(code, msg, identifier, true, false);
    if (previousHandler)
        previousHandler(type, context,
                        forConsole(logformat::maskSecrets(msg), logformat::syslogPriority(code)));
}

void installMessageHandler() { previousHandler = qInstallMessageHandler(messageOutputHandler); }

void logger::cleanOldFiles(const QDate &today) const {
    const QString id = QStringLiteral("utilsModel::cleanLogFiles");
    const QString dir = m_directory;
    const QStringList names = QDir(dir).entryList({QStringLiteral("_LOG_*_QLTRestClientQt.txt")},
                                                  QDir::Files, QDir::Unsorted);
    int total = 0;
    QStringList oldFiles;
    QMap<QString, QDate> dates;
    for (const QString &name : names) {
        ++total;
        const QString fullPath = QStringLiteral("%1/%2").arg(dir, name);
        write(100, QStringLiteral("Checking log file '%1'").arg(fullPath), id, true, true);
        const QStringList parts = name.split(QLatin1Char('_'));
        if (parts.size() < 3) continue;
        const QDate date = QDate::fromString(parts.at(2), QStringLiteral("yyyy-MM-dd"));
        const qint64 age = date.isValid() ? date.daysTo(today) : 0;
        if (age <= constants._TO_KEEP_BACKUP_FILES_) continue;
        dates.insert(name, date);
        int pos = 0;
        while (pos < oldFiles.size() && dates.value(oldFiles.at(pos)) > date) ++pos;
        oldFiles.insert(pos, name);
    }
    if (oldFiles.isEmpty()) return;
    const int keepTotal = constants._TO_KEEP_BACKUP_FILES_;
    int keep = 0;
    const int recent = total - oldFiles.size();
    if (recent < keepTotal) {
        keep = keepTotal - recent;
        write(100,
              QStringLiteral("Keeping %1 old files to get a total of %2 files...")
                  .arg(keep)
                  .arg(keepTotal),
              id, true, true);
    }
    for (int i = keep; i < oldFiles.size(); ++i) {
        write(100, QStringLiteral("Deleting old log file: '%1'...").arg(oldFiles.at(i)), id, true,
              true);
        QFile::remove(QStringLiteral("%1/%2").arg(dir, oldFiles.at(i)));
    }
}
