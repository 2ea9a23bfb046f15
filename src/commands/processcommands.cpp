// Process commands: list processes, find them by program name, kill them.

#include "commands/processcommands.h"

#include <re2/re2.h>
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QJsonObject>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "commands/processrunner.h"
#include "core/log.h"
#include "core/parameters.h"
#include "core/replies.h"

namespace {
constexpr int processTimeoutMs = 30000;
// System daemons live below this; the server must not be able to take them down.
constexpr qint64 lowestKillablePid = 1026;

// Every process reply carries the listing, empty unless one was taken.
QJsonObject listingReply(int code, const QString &description, const QString &listing = QString()) {
    QJsonObject result = reply::error(code, description);
    result.insert(QStringLiteral("processesResult"), listing);
    return result;
}

// A reply to a kill by name, or a refused kill, also carries what was killed.
QJsonObject killReply(int code, const QString &description, const QString &killResult) {
    QJsonObject result = listingReply(code, description);
    result.insert(QStringLiteral("killProcessResult"), killResult);
    return result;
}

QString pidList(const QStringList &pids) {
    return pids.isEmpty() ? QStringLiteral("none") : pids.join(QLatin1Char(','));
}

// A filter comes from the server and runs on the only thread, so it must take time in
// proportion to the listing and never give up on a line: an automaton-based engine, in the
// POSIX extended syntax of grep -E (no backreferences), without regard to case.
RE2::Options filterOptions() {
    RE2::Options options;
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_case_sensitive(false);
    options.set_log_errors(false);
    return options;
}

// The kernel hands out no PID above this; anything beyond names no process, and a value cut to
// the width of pid_t could name another one, a process group or every process.
qint64 highestPid() {
    QFile file(QStringLiteral("/proc/sys/kernel/pid_max"));
    bool ok = false;
    const qint64 pidMax =
        file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong(&ok) : 0;
    constexpr qint64 kernelLimit = 4 * 1024 * 1024;  // what pid_max may be set to at most
    return ok && pidMax > 0 ? qMin(pidMax - 1, kernelLimit) : kernelLimit;
}

// A PID is a whole number: a fraction is refused, never rounded into one.
bool isWhole(const QVariant &value) {
    if (value.userType() != QMetaType::Double) return true;
    const double x = value.toDouble();
    return std::isfinite(x) && std::floor(x) == x;
}

bool matches(const RE2 &expression, const QString &line) {
    const QByteArray utf8 = line.toUtf8();
    return RE2::PartialMatch(re2::StringPiece(utf8.constData(), size_t(utf8.size())), expression);
}
}  // namespace

processCommands::processCommands(const logger &log) : m_log(log) {}

QJsonObject processCommands::runForReply(const QString &program,
                                         const QStringList &arguments) const {
    processRunner runner(m_log);
    runner.run(program, arguments, processTimeoutMs);
    return listingReply(runner.errorCode(), runner.errorDescription(),
                        runner.errorCode() == 0 ? runner.standardOutput() : QString());
}

QJsonObject processCommands::getProcesses(const QVariantMap &data) const {
    const QString filter = param::string(data, QStringLiteral("processFilter"));
    if (filter.isEmpty()) return runForReply(QStringLiteral("ps"), {QStringLiteral("-efww")});
    const QByteArray pattern = filter.toUtf8();
    const RE2 wanted(re2::StringPiece(pattern.constData(), size_t(pattern.size())),
                     filterOptions());
    if (!wanted.ok())
        return listingReply(
            907, QStringLiteral("processFilter '%1' is not a valid regular expression: %2")
                     .arg(filter, QString::fromStdString(wanted.error())));
    // The header line is always kept.
    static const RE2 header("^UID.*CMD", filterOptions());
    QJsonObject listed = runForReply(QStringLiteral("ps"), {QStringLiteral("-efww")});
    if (listed.value(QStringLiteral("errorCode")).toInt() != 0) return listed;
    QString kept;
    const QStringList lines =
        listed.value(QStringLiteral("processesResult")).toString().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        // Lines naming grep were always left out; servers rely on that listing.
        if (line.isEmpty() || line.contains(QLatin1String("grep")) ||
            !(matches(header, line) || matches(wanted, line)))
            continue;
        kept += line + QLatin1Char('\n');
    }
    listed.insert(QStringLiteral("processesResult"), kept);
    return listed;
}

QJsonObject processCommands::getProcessInfo(const QVariantMap &data) const {
    QString name = param::string(data, QStringLiteral("processName"));
    if (param::isString(data, QStringLiteral("processFilter")))
        name = param::string(data, QStringLiteral("processFilter"));
    return getProcesses({{QStringLiteral("processFilter"), name}});
}

variousResultStruct processCommands::findPidsByName(const QString &processName) const {
    variousResultStruct result;
    // The name is literal text: quoted, the filter only narrows the list to candidates.
    const QJsonObject listed = getProcesses(
        {{QStringLiteral("processFilter"),
          QString::fromStdString(RE2::QuoteMeta(processName.toUtf8().toStdString()))}});
    const int listCode = listed.value(QStringLiteral("errorCode")).toInt();
    if (listCode > 0) {
        result.errorCode = 900;
        result.errorDescription = QStringLiteral("Failed to find the process PID(s)");
        result.string_1 = QStringLiteral("%1: %2").arg(listCode).arg(
            listed.value(QStringLiteral("errorDescription")).toString());
        return result;
    }
    const QStringList lines = listed.value(QStringLiteral("processesResult"))
                                  .toString()
                                  .trimmed()
                                  .split(QLatin1Char('\n'));
    const QStringList header = lines.first().simplified().split(QLatin1Char(' '));
    const int pidColumn = header.indexOf(QStringLiteral("PID"));
    const int cmdColumn = header.indexOf(QStringLiteral("CMD"));
    if (pidColumn < 0 || cmdColumn < 0) {
        result.errorCode = 599;
        result.errorDescription = QStringLiteral("Os not supported yet");
        return result;
    }
    // ps shows each program by the path it was started with.
    const QString program = QLatin1Char('/') + processName;
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList columns = lines.at(i).simplified().split(QLatin1Char(' '));
        if (columns.size() <= qMax(pidColumn, cmdColumn)) continue;
        const QString command = columns.mid(cmdColumn).join(QLatin1Char(' '));
        if (!command.contains(program + QLatin1Char(' ')) && !command.endsWith(program)) continue;
        bool ok = false;
        const int pid = columns.at(pidColumn).toInt(&ok);
        if (ok) result.intList.append(pid);
    }
    return result;
}

QJsonObject processCommands::killPidById(const QVariantMap &data) const {
    if (!param::isNumber(data, QStringLiteral("processPID")))
        return killReply(404, QStringLiteral("toKillPID parameter not found!"), QString());
    const QVariant given = data.value(QStringLiteral("processPID"));
    if (!isWhole(given))
        return killReply(
            906, QStringLiteral("Can't kill PID %1: not a whole number").arg(given.toDouble()),
            QString());
    const qint64 pid = param::integer(data, QStringLiteral("processPID"), 0);
    if (pid < lowestKillablePid)
        return killReply(906, QStringLiteral("Can't kill a PID below 1026"), QString());
    if (pid > highestPid())
        return killReply(906,
                         QStringLiteral("Can't kill PID %1: above the highest PID %2")
                             .arg(pid)
                             .arg(highestPid()),
                         QString());
    // Killing either would end the client before the reply goes out.
    if (pid == qint64(::getpid()) || pid == qint64(::getppid()))
        return killReply(905,
                         QStringLiteral("Can't kill the client or its parent (PID %1)").arg(pid),
                         QString());
    // The system call, not the kill program: the PID checked above is the PID signalled, with
    // no second parser in between to read it otherwise.
    m_log.write(100, QStringLiteral("Sending SIGKILL to PID %1").arg(pid),
                QStringLiteral("utilsModel::killPidById"));
    if (::kill(pid_t(pid), SIGKILL) != 0)
        return listingReply(900, QStringLiteral("kill: (%1) - %2")
                                     .arg(pid)
                                     .arg(QString::fromLocal8Bit(::strerror(errno))));
    return listingReply(0, QString());
}

QJsonObject processCommands::killProcessByName(const QVariantMap &data) const {
    const QString name = param::string(data, QStringLiteral("processName"));
    // An empty name would match every command with "/ " in it.
    if (name.isEmpty())
        return killReply(404, QStringLiteral("processName parameter not found!"), QString());
    const variousResultStruct found = findPidsByName(name);
    if (found.errorCode > 0)
        return killReply(found.errorCode, found.errorDescription, found.string_1);
    QStringList killed;
    QStringList failed;
    for (const int pid : found.intList) {
        const QJsonObject result = killPidById({{QStringLiteral("processPID"), qint64(pid)}});
        (result.value(QStringLiteral("errorCode")).toInt() == 0 ? killed : failed)
            << QString::number(pid);
    }
    return killReply(0, QString(),
                     QStringLiteral("Killed pids: ") + pidList(killed) +
                         QStringLiteral(", failed to kill pids: ") + pidList(failed));
}
