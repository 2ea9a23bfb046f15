// The memory floor of the client: a Qt program that only opens one verified TLS connection,
// trusting the same CA the same way, and then idles. What the client needs beyond this is its
// own cost.
//
//   tlsfloor HOST PORT CA_PEM
#include <QCoreApplication>
#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: tlsfloor HOST PORT CA_PEM\n");
        return 2;
    }
    QFile ca(args.at(3));
    if (!ca.open(QIODevice::ReadOnly)) return 1;
    QSslSocket socket;
    QSslConfiguration config = socket.sslConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setCaCertificates(QSslCertificate::fromData(ca.readAll(), QSsl::Pem));
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(config);
    QObject::connect(&socket, &QSslSocket::encrypted, [] {
        std::printf("encrypted\n");
        std::fflush(stdout);
    });
    QObject::connect(&socket, &QSslSocket::disconnected, &app, &QCoreApplication::quit);
    socket.connectToHostEncrypted(args.at(1), args.at(2).toUShort());
    return app.exec();
}
