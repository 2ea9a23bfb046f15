// The memory floor of the client: a Qt program that only opens one verified TLS connection,
// trusting the same CA the same way, and then idles. What the client needs beyond this is its
// own cost.
//
//   tlsfloor HOST PORT CA_PEM
#include <QCoreApplication>
#include <QFile>
#include <cstdio>

#include "floortls.h"

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
    QObject::connect(&socket, &QSslSocket::encrypted, [] {
        std::printf("encrypted\n");
        std::fflush(stdout);
    });
    QObject::connect(&socket, &QSslSocket::disconnected, &app, &QCoreApplication::quit);
    connectVerified(socket, args.at(1), args.at(2).toUShort(), ca.readAll());
    return app.exec();
}
