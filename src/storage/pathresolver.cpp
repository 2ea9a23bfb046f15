#include "storage/pathresolver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int maxLinkHops = 40;

QString cleanAbsolute(const QString &path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Empty when the link cannot be read (or was replaced in between).
QByteArray linkTarget(const QByteArray &link) {
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(link.constData(), target.data(), size_t(target.size()));
    return length < 0 || length == target.size() ? QByteArray() : target.left(int(length));
}
}  // namespace

pathResolver::pathResolver(const sessionStruct &session) : m_session(session) {}

QString pathResolver::divider() { return QStringLiteral("/"); }

QString pathResolver::normaliseSeparators(const QString &path) {
    QString normalised = path;
    if (divider() == QLatin1String("/"))
        normalised.replace(QLatin1Char('\\'), QLatin1Char('/'));
    else
        normalised.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return normalised;
}

QString pathResolver::resolve(Command command, const QString &path,
                              const QString &basePathType) const {
    // The names are compared exactly: "Temp" is not "temp".
    const bool symbolData = basePathType == QLatin1String("symbolData");
    const bool temp = basePathType == QLatin1String("temp");
    const bool log = basePathType == QLatin1String("log");
    QString base;
    switch (command) {
        case Listing:
        case Writing:
            base = symbolData ? m_session.dataSymbolDataLocation
                   : temp     ? m_session.dataTempLocation
                   : log      ? m_session.dataLogLocation
                              : QString();
            break;
        case CreateDirectory:
            base = symbolData ? m_session.dataSymbolDataLocation : m_session.dataTempLocation;
            break;
        case Reading:
            base = symbolData ? m_session.dataSymbolDataLocation
                   : log      ? m_session.dataLogLocation
                              : m_session.dataTempLocation;
            break;
    }
    // The bases end with the divider; a path starting with one doubles it, which is harmless.
    return QStringLiteral("%1%2").arg(base, normaliseSeparators(path));
}

bool pathResolver::isInside(const QString &path, const QString &directory) {
    const QString candidate = cleanAbsolute(path);
    const QString dir = cleanAbsolute(directory);
    if (candidate == dir) return true;
    return candidate.startsWith(dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/'));
}

bool pathResolver::staysInside(const QString &path, const QString &directory) {
    const QString root = QFileInfo(directory).canonicalFilePath();
    if (root.isEmpty()) return false;
    const QString resolved = physicalPath(path);
    return !resolved.isEmpty() && isInside(resolved, root);
}

// Not QFileInfo::absoluteFilePath: it cleans "link/.." away as text, where the kernel goes to
// the parent of the link's target.
QString pathResolver::physicalPath(const QString &path) {
    QStringList pending =
        (path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + QLatin1Char('/') + path)
            .split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList reached;  // components from "/"; those that exist are real, no links
    int firstMissing = -1;
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString component = pending.takeFirst();
        if (component == QLatin1String(".")) continue;
        if (component == QLatin1String("..")) {
            if (!reached.isEmpty()) reached.removeLast();
            if (firstMissing >= reached.size()) firstMissing = -1;
            continue;
        }
        reached.append(component);
        if (firstMissing >= 0) continue;
        const QByteArray current =
            QFile::encodeName(QLatin1Char('/') + reached.join(QLatin1Char('/')));
        struct stat status;
        if (::lstat(current.constData(), &status) != 0) {
            firstMissing = reached.size() - 1;
            continue;
        }
        if (!S_ISLNK(status.st_mode)) continue;
        if (++hops > maxLinkHops) return QString();
        const QByteArray target = linkTarget(current);
        if (target.isEmpty()) {
            firstMissing = reached.size() - 1;
            continue;
        }
        reached.removeLast();
        if (target.startsWith('/')) reached.clear();
        pending = QFile::decodeName(target).split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
    }
    return QLatin1Char('/') + reached.join(QLatin1Char('/'));
}

bool pathResolver::isWithin(const QString &path, const QString &directory) {
    const QString candidate = physicalPath(path);
    const QString dir = physicalPath(directory);
    if (candidate.isEmpty() || dir.isEmpty()) return true;
    struct stat wanted;
    if (::stat(QFile::encodeName(dir).constData(), &wanted) != 0) return isInside(candidate, dir);
    for (QString at = candidate;; at = QFileInfo(at).path()) {
        struct stat status;
        if (::stat(QFile::encodeName(at).constData(), &status) == 0 &&
            status.st_dev == wanted.st_dev && status.st_ino == wanted.st_ino)
            return true;
        if (at == QLatin1String("/")) return false;
    }
}
