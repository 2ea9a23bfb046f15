#pragma once

#include <QIODevice>
#include <QString>

class QFile;

// The client reads and replaces regular files only. A FIFO would block the only thread until
// something opened its other end, so no reply, command or keep-alive would follow; a device
// would be read without end, or written to.
class regularFile {
  public:
    enum class Status { Opened, Missing, NotRegular, Failed };

    // Opens `path` read-only into `file`, following links; `mode` may add QIODevice::Text.
    // Anything but a regular file is refused before it is opened, and once more after, by
    // what was opened, since the path may have been replaced in between. Opening never waits.
    static Status openForReading(const QString &path, QFile *file,
                                 QIODevice::OpenMode mode = QIODevice::ReadOnly);
    // True when `path` itself (a link is not followed) is a FIFO, a socket or a device: nothing
    // that a write may open or replace.
    static bool isSpecial(const QString &path);
    // "File PATH is not a regular file!", the one wording of every such refusal.
    static QString notRegular(const QString &path);
};
