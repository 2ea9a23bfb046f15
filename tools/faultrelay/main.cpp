#include <QCoreApplication>
#include <cstdio>

#include "faultrelay.h"
#include "relayoptions.h"
#include "stdinlines.h"

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("faultrelay"));

    RelayOptions options;
    QString error;
    if (!RelayOptions::parse(QCoreApplication::arguments(), &options, &error)) {
        std::fprintf(stderr, "faultrelay: %s\n", qPrintable(error));
        return 2;
    }
    FaultRelay relay(options);
    if (!relay.start(&error)) {
        std::fprintf(stderr, "faultrelay: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u\n", unsigned(relay.port()));
    std::fflush(stdout);

    StdinLines commands;
    QObject::connect(&commands, &StdinLines::line, &relay, &FaultRelay::executeLine);
    // Without its controller a relay would hold its faults, and its port, for good.
    QObject::connect(&commands, &StdinLines::closed, &app, &QCoreApplication::quit);
    return app.exec();
}
