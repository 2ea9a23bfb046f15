#include "loopback.h"

#include <QTcpServer>

namespace loopback {
quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
}  // namespace loopback
