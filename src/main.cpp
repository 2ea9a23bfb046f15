#include <malloc.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDateTime>

#include "commands/utilsmodel.h"
#include "core/log.h"
#include "core/signalwatcher.h"
#include "core/standalonerunner.h"
#include "core/systemdnotifier.h"
#include "link/restserversslsocketclient.h"
#include "storage/filewriter.h"

int main(int argc, char *argv[]) {
    // Buffers up to 4 MiB (the socket's reads, the slices of a streamed file, a message below the
    // size that goes to a spool) come from the heap and are reused: a fresh mapping for each
    // costs a page fault every 4 KiB, a third of a transfer's time. Larger ones get their own
    // mapping, which goes back to the system when freed, and what the heap keeps after a large
    // message is handed back by malloc_trim: memory after a transfer does not stay high.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    signalWatcher::catchUnixSignals({SIGQUIT, SIGTERM, SIGHUP, SIGINT, SIGABRT, SIGSEGV});
    installMessageHandler();
    appSession.clientStartTime = QDateTime::currentDateTime();
    utils.setDirectories(QString());
    utils.createDirectories(QString());
    fileWriter(Session, appLog()).recoverInterrupted();
    utils.loadSettings(true);
    utils.loadRights(true);
    utils.getMAC_addresses();
    utils.getCurrentIP();

    QCoreApplication app(argc, argv);
    Session.appDir = QCoreApplication::applicationDirPath();
    signalWatcher watcher;
    // Destroyed when exec() returns, so the link closes before the process ends.
    standaloneRunner runner;
    runner.start();
    QObject::connect(&watcher, &signalWatcher::signal_stopRequested, &runner,
                     &standaloneRunner::stop);
    systemdNotifier notifier;
    notifier.start();
    if (runner.m_restServerSslSocketClient)
        QObject::connect(runner.m_restServerSslSocketClient,
                         &RestServerSslSocketClient::signal_linkStateChanged, &notifier,
                         [&notifier](RestServerSslSocketClient::LinkState, const QString &detail) {
                             notifier.status(detail);
                         });
    appLog().write(
        100,
        QStringLiteral("Started Tessaron RestServiceQt client V%1").arg(constants.versionString),
        QStringLiteral("main"), true, true);
    return app.exec();
}
