#include "storage/pathresolver.h"

#include <QDir>
#include <QFileInfo>

namespace {
QString cleanAbsolute(const QString &path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
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
    // The deepest part that exists decides where the rest would be created.
    QFileInfo existing(cleanAbsolute(path));
    while (!existing.exists() && !existing.isSymLink()) existing.setFile(existing.absolutePath());
    const QString resolved = existing.canonicalFilePath();
    return !resolved.isEmpty() && isInside(resolved, root);
}
