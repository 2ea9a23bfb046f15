#include "relayoptions.h"

#include <QCommandLineParser>

namespace {

bool toInt(const QString &text, int minimum, int maximum, int *value) {
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= minimum && *value <= maximum;
}

const char kDescription[] =
    "Plain TCP relay on 127.0.0.1 that injects link faults between a client and a server.\n"
    "Every accepted connection is forwarded to 127.0.0.1:TARGET. Prints its port on the first\n"
    "line, then one JSON object per event, each with \"t\", CLOCK_MONOTONIC in ms (the clock of\n"
    "QElapsedTimer and Python's time.monotonic()):\n"
    "  accepted            conn, mode, stalled (accepted into stall or blackhole), peerPort\n"
    "  upstream-connected  conn\n"
    "  closed              conn, by (client, server or relay), reason, up, down (bytes passed\n"
    "                      on to the server and to the client)\n"
    "  mode, drop          the new mode (and rate) and every open connection's counters\n"
    "  refusing, listening port; error: text of a line that is not a command\n"
    "\n"
    "Commands, one per line on stdin (end of input leaves the relay as it is):\n"
    "  pass             forward both ways\n"
    "  stall            accept new connections but never connect them upstream, forward\n"
    "                   nothing and never close them (a server that hangs in the TLS\n"
    "                   handshake); such a connection stays hung whatever comes later.\n"
    "                   Open connections go on forwarding.\n"
    "  blackhole        stop forwarding both ways on open connections without closing them;\n"
    "                   new connections hang as under stall\n"
    "  stopread         stop reading from clients, so their writes stall once the small\n"
    "                   buffers are full; server to client still flows\n"
    "  slowread [BPS]   read from each client at about BPS bytes/s (default 1024); server\n"
    "                   to client flows normally\n"
    "  drop             reset every open connection (RST to both sides), keep the mode\n"
    "  refuse           close the listening socket: new connections are refused\n"
    "  listen           listen again on the same port\n"
    "Open connections follow a new mode at once (except those hung by stall or blackhole).";

}  // namespace

bool RelayOptions::parse(const QStringList &arguments, RelayOptions *options, QString *error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on, 0 for any free port."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption target(QStringLiteral("target-port"),
                                    QStringLiteral("Port on 127.0.0.1 to forward to (required)."),
                                    QStringLiteral("N"));
    const QCommandLineOption mode(
        QStringLiteral("mode"),
        QStringLiteral("Mode at start, written as on stdin (pass, stall, blackhole, stopread, "
                       "\"slowread 2048\")."),
        QStringLiteral("MODE"), QStringLiteral("pass"));
    const QCommandLineOption receiveBuffer(
        QStringLiteral("rcvbuf"),
        QStringLiteral("SO_RCVBUF of the listening socket, inherited by accepted ones; small, so "
                       "that a slow or stopped reader shows at the client at once."),
        QStringLiteral("BYTES"), QString::number(options->receiveBuffer));
    const QCommandLineOption segmentSize(
        QStringLiteral("mss"),
        QStringLiteral("TCP maximum segment size offered to clients: Ethernet's by default, so "
                       "that the client's kernel keeps its send buffer as small as on a real "
                       "network; 0 keeps loopback's 64 KiB segments."),
        QStringLiteral("BYTES"), QString::number(options->segmentSize));
    parser.addOptions({port, target, mode, receiveBuffer, segmentSize});
    parser.process(arguments);

    if (!parser.positionalArguments().isEmpty()) {
        *error =
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    int number = 0;
    if (!toInt(parser.value(port), 0, 65535, &number)) {
        *error = QStringLiteral("bad --port");
        return false;
    }
    options->port = quint16(number);
    if (!toInt(parser.value(target), 1, 65535, &number)) {
        *error = QStringLiteral("--target-port N is required (1 to 65535)");
        return false;
    }
    options->targetPort = quint16(number);
    RelayCommand command;
    if (!RelayCommand::parse(parser.value(mode).toUtf8(), &command, error)) return false;
    if (command.action != RelayCommand::SetMode) {
        *error = QStringLiteral("--mode takes a mode, not an action");
        return false;
    }
    options->mode = command.mode;
    if (!toInt(parser.value(receiveBuffer), 1, 64 << 20, &options->receiveBuffer)) {
        *error = QStringLiteral("bad --rcvbuf");
        return false;
    }
    if (!toInt(parser.value(segmentSize), 0, 65535, &options->segmentSize)) {
        *error = QStringLiteral("bad --mss");
        return false;
    }
    return true;
}
