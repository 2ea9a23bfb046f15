#include "serveroptions.h"

#include <QCommandLineParser>

namespace {

bool toInt(const QString &text, int minimum, int *value) {
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= minimum;
}

bool parseRegisterMode(const QString &text, RegisterMode *mode) {
    const QStringList parts = text.split(QLatin1Char(':'));
    const QString &name = parts.first();
    if (name == QLatin1String("accept") && parts.size() == 1) {
        mode->kind = RegisterMode::Accept;
        return true;
    }
    if (name == QLatin1String("refuse") && parts.size() >= 2) {
        mode->kind = RegisterMode::Refuse;
        // The text may itself contain colons.
        mode->errorText = parts.size() > 2 ? parts.mid(2).join(QLatin1Char(':'))
                                           : QStringLiteral("Registration refused");
        bool ok = false;
        mode->errorCode = parts.at(1).toInt(&ok);
        return ok && mode->errorCode != 0;
    }
    if (name == QLatin1String("sleep") && parts.size() == 2) {
        mode->kind = RegisterMode::Sleep;
        return toInt(parts.at(1), 1, &mode->sleepSeconds);
    }
    return false;
}

bool parseKeepAliveMode(const QString &text, KeepAliveMode *mode) {
    const QStringList parts = text.split(QLatin1Char(':'));
    const QString &name = parts.first();
    if (name == QLatin1String("answer") && parts.size() == 1) {
        mode->kind = KeepAliveMode::Answer;
        return true;
    }
    if (name == QLatin1String("silent") && parts.size() == 1) {
        mode->kind = KeepAliveMode::Silent;
        return true;
    }
    if (name == QLatin1String("slow") && parts.size() == 2) {
        mode->kind = KeepAliveMode::Slow;
        return toInt(parts.at(1), 0, &mode->delayMs);
    }
    return false;
}

template <typename Mode>
bool parseModes(const QString &list, bool (*parseOne)(const QString &, Mode *),
                QVector<Mode> *modes, QString *error) {
    modes->clear();
    for (const QString &text : list.split(QLatin1Char(','))) {
        Mode mode;
        if (!parseOne(text.trimmed(), &mode)) {
            *error = QStringLiteral("bad mode '%1'").arg(text);
            return false;
        }
        modes->append(mode);
    }
    return true;
}

}  // namespace

bool ServerOptions::parse(const QStringList &arguments, ServerOptions *options, QString *error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Development stand-in for the management server (TLS on 127.0.0.1). "
                       "Prints the port, then one JSON line per message and event; events "
                       "(connected, registered, disconnected) carry \"t\", CLOCK_MONOTONIC in "
                       "ms."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on, 0 for any free port."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption cert(QStringLiteral("cert"),
                                  QStringLiteral("Server certificate (PEM)."),
                                  QStringLiteral("FILE"), options->certFile);
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Server private key (PEM)."),
                                 QStringLiteral("FILE"), options->keyFile);
    const QCommandLineOption registerModes(
        QStringLiteral("register"),
        QStringLiteral("Answers to successive registrations, the last repeats: "
                       "accept, refuse:CODE[:TEXT], sleep:N."),
        QStringLiteral("MODES"), QStringLiteral("accept"));
    const QCommandLineOption keepAliveModes(
        QStringLiteral("keepalive"),
        QStringLiteral("Answers to successive keep-alives, the last repeats: "
                       "answer, silent, slow:MS."),
        QStringLiteral("MODES"), QStringLiteral("answer"));
    const QCommandLineOption script(
        QStringLiteral("script"),
        QStringLiteral("Commands to send once the client registered; exit 0 when all are "
                       "answered."),
        QStringLiteral("FILE"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Time limit of the whole script (exit 2)."),
                                     QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption segments(
        QStringLiteral("segments"),
        QStringLiteral("Send every message in writes of random sizes between MIN and MAX bytes."),
        QStringLiteral("MIN:MAX"));
    const QCommandLineOption glue(
        QStringLiteral("glue"),
        QStringLiteral("Send a command with the next one in one write when it expects no reply; "
                       "send a keep-alive answer with every registration answer."));
    const QCommandLineOption garbage(QStringLiteral("garbage"),
                                     QStringLiteral("Send garbage bytes before every command."));
    const QCommandLineOption once(QStringLiteral("once"),
                                  QStringLiteral("Exit when the first connection closes."));
    const QCommandLineOption keepRunning(
        QStringLiteral("keep-running"),
        QStringLiteral("With --script: keep running once every line is answered."));
    const QCommandLineOption chaos(
        QStringLiteral("chaos"),
        QStringLiteral("Instead of a script: send registered clients an endless random stream of "
                       "commands and faults from SEED, check every reply, print {\"chaos\":...} "
                       "lines and a summary when terminated."),
        QStringLiteral("SEED"));
    const QCommandLineOption chaosRate(
        QStringLiteral("chaos-rate"),
        QStringLiteral("Share (0 to 1) of chaos steps, registrations and keep-alives that go "
                       "wrong."),
        QStringLiteral("R"), QStringLiteral("0.2"));
    const QCommandLineOption chaosFiles(
        QStringLiteral("chaos-files"),
        QStringLiteral("Directory of ZIP archives that chaos has the client unpack."),
        QStringLiteral("DIR"));
    const QCommandLineOption chaosKill(
        QStringLiteral("chaos-kill"),
        QStringLiteral("Program name that chaos has the client kill by name."),
        QStringLiteral("NAME"));
    const QCommandLineOption chaosStdin(
        QStringLiteral("chaos-stdin"),
        QStringLiteral("With --chaos: each line on stdin is a command object sent at once to the "
                       "registered client and checked like chaos's own (a getFileContent of one "
                       "file under temp/ must come back whole); prints {\"chaos\":\"extra\"} "
                       "or {\"chaos\":\"extra-refused\"}. Chaos then sends no setRights, so "
                       "that the client changes connection only when the driver makes it."));
    parser.addOptions({port, cert, key, registerModes, keepAliveModes, script, timeout, segments,
                       glue, garbage, once, keepRunning, chaos, chaosRate, chaosFiles, chaosKill,
                       chaosStdin});
    parser.process(arguments);

    if (!parser.positionalArguments().isEmpty()) {
        *error =
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    int portNumber = 0;
    if (!toInt(parser.value(port), 0, &portNumber) || portNumber > 65535) {
        *error = QStringLiteral("bad --port");
        return false;
    }
    options->port = static_cast<quint16>(portNumber);
    options->certFile = parser.value(cert);
    options->keyFile = parser.value(key);
    if (!parseModes(parser.value(registerModes), parseRegisterMode, &options->registerModes,
                    error) ||
        !parseModes(parser.value(keepAliveModes), parseKeepAliveMode, &options->keepAliveModes,
                    error)) {
        return false;
    }
    options->scriptFile = parser.value(script);
    if (!toInt(parser.value(timeout), 1, &options->timeoutSeconds)) {
        *error = QStringLiteral("bad --timeout");
        return false;
    }
    if (parser.isSet(segments)) {
        const QStringList bounds = parser.value(segments).split(QLatin1Char(':'));
        if (bounds.size() != 2 || !toInt(bounds.at(0), 1, &options->segmentMin) ||
            !toInt(bounds.at(1), options->segmentMin, &options->segmentMax)) {
            *error = QStringLiteral("bad --segments, expected MIN:MAX with 1 <= MIN <= MAX");
            return false;
        }
    }
    options->glue = parser.isSet(glue);
    options->garbage = parser.isSet(garbage);
    options->once = parser.isSet(once);
    options->keepRunning = parser.isSet(keepRunning);
    options->chaos = parser.isSet(chaos);
    bool ok = false;
    if (options->chaos) {
        options->chaosSeed = parser.value(chaos).toUInt(&ok);
        if (!ok) {
            *error = QStringLiteral("bad --chaos, expected a number");
            return false;
        }
        if (!options->scriptFile.isEmpty()) {
            *error = QStringLiteral("--chaos and --script exclude each other");
            return false;
        }
    }
    options->chaosRate = parser.value(chaosRate).toDouble(&ok);
    if (!ok || options->chaosRate < 0 || options->chaosRate > 1) {
        *error = QStringLiteral("bad --chaos-rate, expected 0 to 1");
        return false;
    }
    options->chaosFilesDir = parser.value(chaosFiles);
    options->chaosKillName = parser.value(chaosKill);
    options->chaosStdin = parser.isSet(chaosStdin);
    if (options->chaosStdin && !options->chaos) {
        *error = QStringLiteral("--chaos-stdin needs --chaos");
        return false;
    }
    return true;
}
