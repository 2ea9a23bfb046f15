#pragma once

#include <QtGlobal>

namespace loopback {
// A port on 127.0.0.1 that nothing listens on at this moment: a closed port for the client, or
// one a stand-in is told to take.
quint16 freePort();
}  // namespace loopback
