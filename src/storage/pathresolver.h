#pragma once

#include <QString>

#include "core/globals.h"

// Turns the path a file command receives into a path on this device: separators are made
// native and the path is joined to the data directory of `session` that `basePathType` names.
// Each command knows its own set of base names and its own fallback.
class pathResolver {
  public:
    enum Command { Listing, CreateDirectory, Reading, Writing };

    explicit pathResolver(const sessionStruct &session);
    QString resolve(Command command, const QString &path, const QString &basePathType) const;

    // The platform's path divider: "/".
    static QString divider();
    static QString normaliseSeparators(const QString &path);

    // True when `path` is `directory` or lies below it, comparing cleaned absolute paths on
    // whole components ("/opt/appdata" is not below "/opt/app").
    static bool isInside(const QString &path, const QString &directory);
    // True when `path` (without "..") still lies in `directory` once every symbolic link along
    // the part of it that exists is followed, both sides resolved. A link that leads nowhere,
    // or a directory that does not exist, counts as outside.
    static bool staysInside(const QString &path, const QString &directory);

  private:
    const sessionStruct &m_session;
};
