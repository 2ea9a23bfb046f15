#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "chaosrunner.h"
#include "devserver.h"
#include "scriptrunner.h"
#include "serveroptions.h"
#include "stdinlines.h"

namespace {

int g_signalPipe[2];

void onTerminationSignal(int) {
    const char byte = 1;
    // Nothing to do if the pipe is full: a wake-up is already pending.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop normally, so the exit code is 0.
bool watchTerminationSignals(QCoreApplication *app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0) return false;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        qInfo("terminated by signal");
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGINT, &action, nullptr) == 0;
}

int fail(const QString &message) {
    qCritical().noquote() << message;
    return 1;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devserver"));
    qSetMessagePattern(QStringLiteral("devserver: %{message}"));

    ServerOptions options;
    QString error;
    if (!ServerOptions::parse(QCoreApplication::arguments(), &options, &error)) return fail(error);
    if (!watchTerminationSignals(&app)) return fail(QStringLiteral("cannot watch signals"));

    DevServer server(options);
    ScriptRunner runner(options.glue, options.garbage);
    if (!options.scriptFile.isEmpty()) {
        if (!runner.load(options.scriptFile, &error)) return fail(error);
        QObject::connect(&server, &DevServer::registered, &runner, &ScriptRunner::attach);
        QObject::connect(&server, &DevServer::connectionClosed, &runner, &ScriptRunner::detach);
        QObject::connect(&server, &DevServer::messageReceivedOn, &runner,
                         &ScriptRunner::handleMessage);
        if (!options.keepRunning) {
            QObject::connect(&runner, &ScriptRunner::finished, &server,
                             [&server] { server.exitWhenFlushed(0); });
        }
        QObject::connect(&runner, &ScriptRunner::timedOut, &app, [&options](const QString &where) {
            qCritical().noquote() << "script timed out after" << options.timeoutSeconds
                                  << "s:" << where;
            QCoreApplication::exit(2);
        });
    }
    ChaosRunner chaos(options);
    if (options.chaosStdin) {
        auto *commands = new StdinLines(&app);
        QObject::connect(commands, &StdinLines::line, &chaos, &ChaosRunner::sendExtra);
        // The driver is gone: nobody reads the events any more.
        QObject::connect(commands, &StdinLines::closed, &app, &QCoreApplication::quit);
    }
    if (options.chaos) {
        if (!chaos.load(&error)) return fail(error);
        server.setRegisterChooser([&chaos](ClientConnection *connection) {
            return chaos.chooseRegisterMode(connection);
        });
        server.setKeepAliveChooser([&chaos](ClientConnection *connection) {
            return chaos.chooseKeepAliveMode(connection);
        });
        QObject::connect(&server, &DevServer::connectionOpened, &chaos, &ChaosRunner::opened);
        QObject::connect(&server, &DevServer::registered, &chaos, &ChaosRunner::attach);
        QObject::connect(&server, &DevServer::connectionClosed, &chaos, &ChaosRunner::detach);
        QObject::connect(&server, &DevServer::messageReceivedOn, &chaos,
                         &ChaosRunner::handleMessage);
    }
    if (options.once) {
        QObject::connect(&server, &DevServer::connectionClosed, &app,
                         [] { QCoreApplication::exit(0); });
    }
    if (!server.start(&error)) return fail(error);

    std::printf("%u\n", static_cast<unsigned>(server.serverPort()));
    std::fflush(stdout);
    if (!options.scriptFile.isEmpty()) runner.start(options.timeoutSeconds);
    const int code = app.exec();
    if (options.chaos) chaos.printSummary();
    return code;
}
