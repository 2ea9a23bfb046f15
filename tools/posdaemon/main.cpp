#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "daemonconfig.h"
#include "daemonserver.h"
#include "eventlog.h"
#include "replytable.h"
#include "signalpipe.h"

namespace {

int fail(const QString &message, int exitCode) {
    std::fprintf(stderr, "posdaemon: %s\n", qPrintable(message));
    return exitCode;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("posdaemon"));

    QString error;
    DaemonConfig config;
    if (!DaemonConfig::parse(app.arguments(), &config, &error)) return fail(error, 2);
    ReplyTable table;
    if (!config.tableFile.isEmpty() && !table.load(config.tableFile, &error)) return fail(error, 2);

    SignalPipe stopSignals;
    if (!stopSignals.watch({SIGTERM, SIGINT}, &error)) return fail(error, 1);
    QObject::connect(&stopSignals, &SignalPipe::received, &app, &QCoreApplication::quit);

    DaemonServer server(config, table);
    if (!server.listen(&error)) return fail(error, 1);
    EventLog::port(server.port());
    return app.exec();
}
