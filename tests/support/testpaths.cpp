#include "testpaths.h"

namespace testpaths {
QString dataDir() { return QStringLiteral(QLT_TEST_DATA_DIR); }
QString pkiDir() { return QStringLiteral(QLT_PKI_DIR); }
QString clientBinary() { return QStringLiteral(QLT_CLIENT_BINARY); }
QString devServerBinary() { return QStringLiteral(QLT_DEVSERVER_BINARY); }
QString posDaemonBinary() { return QStringLiteral(QLT_POSDAEMON_BINARY); }
QString faultRelayBinary() { return QStringLiteral(QLT_FAULTRELAY_BINARY); }
}  // namespace testpaths
