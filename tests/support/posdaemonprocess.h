#pragma once

#include <QStringList>

#include "standinprocess.h"

// The POS daemon stand-in on a free loopback port, with what it printed about each connection.
class PosDaemonProcess {
  public:
    // Starts it with these arguments after "--port 0" and waits for its port.
    bool start(const QStringList &arguments);
    quint16 port() const { return m_process.port(); }
    // Every line the daemon received, in order; "conn:line" when byConnection.
    QStringList lines(bool byConnection = false) const;
    int connections() const;
    QString diagnostics() const { return m_process.diagnostics(); }

  private:
    StandInProcess m_process;
};
