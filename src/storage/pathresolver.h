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
    // the part of it that exists is followed, both sides resolved. A loop of links, or a
    // directory that does not exist, counts as outside.
    static bool staysInside(const QString &path, const QString &directory);

    // The absolute path that `path` names on disk, taken as the kernel takes it: every link
    // along the part that exists is followed (a dangling one too, as a file would be created
    // at its target), and each ".." goes to the parent of where the path has got to, not to
    // the parent of the text before it. Below the first missing component the rest is joined
    // as text. Empty for a loop of links.
    static QString physicalPath(const QString &path);
    // True when `path` lies at or below `directory` on disk, however either is spelt: both
    // resolved as above, then `directory` (when it exists) recognised by device and inode
    // among the ancestors of `path`, so a bind mount of it counts too. A loop of links counts
    // as inside, so that a guard built on this refuses what it cannot place.
    static bool isWithin(const QString &path, const QString &directory);

  private:
    const sessionStruct &m_session;
};
