#pragma once

#include <QStringList>

#include "relaycommand.h"

// The command line of the fault relay.
struct RelayOptions {
    quint16 port = 0;
    quint16 targetPort = 0;
    RelayMode mode;
    int receiveBuffer = 4096;  // SO_RCVBUF of the accepted sockets
    // TCP_MAXSEG offered to clients; 0 keeps the kernel's. Loopback's 64 KiB segments make the
    // client's kernel grow its send buffer to megabytes, which would hide a slow reader from it
    // for many minutes; Ethernet's size keeps the buffers as small as on a real network.
    int segmentSize = 1460;

    // Handles --help itself (exits); any bad value fails with *error.
    static bool parse(const QStringList &arguments, RelayOptions *options, QString *error);
};
