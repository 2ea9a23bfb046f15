#pragma once

#include <QString>

// Where the tests find the built programs and their fixed inputs.
namespace testpaths {
QString dataDir();       // tests/data in the source tree
QString pkiDir();        // the generated development PKI (ca.pem, server.pem, server.key)
QString clientBinary();  // the real client
QString devServerBinary();
QString posDaemonBinary();
QString faultRelayBinary();
}  // namespace testpaths
