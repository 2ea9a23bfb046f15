#pragma once

#include <QByteArray>

// Writes to stdout, one line at a time and flushed at once: tests follow it while the daemon runs.
class EventLog {
  public:
    static void port(quint16 port);
    static void event(int connection, const char *what);
    static void line(int connection, const QByteArray &line);
};
