#include "daemonconfig.h"

#include <QCommandLineParser>

#include "replytable.h"

namespace {

const char kDescription[] =
    "Stand-in for the local POS daemon: a line protocol over plain TCP on 127.0.0.1.\n"
    "\n"
    "The first stdout line is the listening port alone. After it, one JSON object per line:\n"
    "  {\"conn\":N,\"event\":\"connected\"}, {\"conn\":N,\"event\":\"disconnected\"},\n"
    "  {\"conn\":N,\"event\":\"line too long\"} (the connection is then closed),\n"
    "  {\"conn\":N,\"line\":\"...\"} for every line received, split at \\n exactly.\n"
    "\n"
    "On connect: \"100 Welcome#523\\n\" (--version, --greeting change it).\n"
    "Session lines:\n"
    "  SETUSR <key> <register> -> \"200 Ok\\n\" (--login-fail: \"401 Login refused\\n\")\n"
    "  ACCCLOSE -> \"200 Ok\\n\"\n"
    "  BYE -> the connection is closed, no answer\n"
    "Commands, first the reply table (--table adds entries or replaces them; it cannot replace\n"
    "the session lines, PART1 or STREAM):\n"
    "%1"
    "  PART1 <anything> -> \"201 Send part two\\n\", then the next line L on that connection\n"
    "    gets \"200 Ok\\nreceived: L\\n//END\\n\"\n"
    "  STREAM -> \"200 Ok\\n\", then lines of text for as long as the connection lives\n"
    "  anything else -> \"404 Unknown command\\n\"\n"
    "Table file: COMMAND<TAB>REPLY per line, \\n \\t \\\\ decoded in REPLY, '#' starts a comment "
    "line.\n"
    "\n"
    "Modes (--mode); all but silent, notfound, bytewise, close-after-greeting and drip change "
    "only\n"
    "answers to commands, never the greeting or the session lines:\n"
    "  normal                as above\n"
    "  silent                accepts, never greets, never answers\n"
    "  notfound              greets and answers every line with \"500 Server not found\\n\"\n"
    "  noeol                 replies without their final line end\n"
    "  bytewise              everything sent, the greeting included, one byte per millisecond\n"
    "  slow:MS               each answer sent MS milliseconds after its command\n"
    "  close-after-greeting  greets, then closes\n"
    "  binary                answers \"200 \\x80\\xA4\\xE9\\xFF\\n\" (not UTF-8)\n"
    "  empty-then-close      answers by closing without sending anything\n"
    "  short                 answers \"20\\n\"\n"
    "  cut-part-two          answers a PART1 data line with \"200 Ok\\nreceived: L\\n\" and "
    "closes\n"
    "                        the connection: the end marker never comes\n"
    "  drip                  the greeting, then a blank every 100 ms: its line end never comes\n"
    "  stray:MS              MS milliseconds after each answer to a command, lines of text for\n"
    "                        as long as the connection lives, as after STREAM\n"
    "  random[:SEED]         each connection runs normal (half of them) or one of the others\n"
    "                        but cut-part-two, drip and stray, slow with 100 to 3000 ms; the\n"
    "                        draws repeat for the same SEED\n"
    "--fault-connections N keeps the mode to the first N connections; later ones run normal.\n"
    "\n"
    "Ends with exit code 0 on SIGTERM or SIGINT.";

bool parseMode(const QString &text, DaemonConfig *config) {
    using Mode = DaemonConfig::Mode;
    static const QList<QPair<QString, Mode>> names = {
        {QStringLiteral("normal"), Mode::Normal},
        {QStringLiteral("silent"), Mode::Silent},
        {QStringLiteral("notfound"), Mode::NotFound},
        {QStringLiteral("noeol"), Mode::NoEol},
        {QStringLiteral("bytewise"), Mode::Bytewise},
        {QStringLiteral("close-after-greeting"), Mode::CloseAfterGreeting},
        {QStringLiteral("binary"), Mode::Binary},
        {QStringLiteral("empty-then-close"), Mode::EmptyThenClose},
        {QStringLiteral("short"), Mode::Short},
        {QStringLiteral("cut-part-two"), Mode::CutPartTwo},
        {QStringLiteral("drip"), Mode::Drip},
    };
    for (const auto &name : names) {
        if (text == name.first) {
            config->mode = name.second;
            return true;
        }
    }
    if (text == QLatin1String("random") || text.startsWith(QLatin1String("random:"))) {
        config->mode = Mode::Random;
        if (text.size() == 6) return true;
        bool ok = false;
        config->randomSeed = text.mid(7).toUInt(&ok);
        return ok;
    }
    // The modes that take a delay: NAME:MS.
    const bool slow = text.startsWith(QLatin1String("slow:"));
    if (!slow && !text.startsWith(QLatin1String("stray:"))) return false;
    int &delayMs = slow ? config->slowMs : config->strayAfterMs;
    bool ok = false;
    delayMs = text.section(QLatin1Char(':'), 1).toInt(&ok);
    config->mode = slow ? Mode::Slow : Mode::Stray;
    return ok && delayMs >= 0;
}

}  // namespace

bool DaemonConfig::parse(const QStringList &arguments, DaemonConfig *config, QString *error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString::fromLatin1(kDescription).arg(ReplyTable().describe()));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on; 0 takes any free one."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Version field of the greeting."),
                                     QStringLiteral("V"), QStringLiteral("523"));
    const QCommandLineOption greeting(QStringLiteral("greeting"),
                                      QStringLiteral("Whole first line instead of the greeting; "
                                                     "the line end is added."),
                                      QStringLiteral("TEXT"));
    const QCommandLineOption loginFail(QStringLiteral("login-fail"),
                                       QStringLiteral("Refuse every SETUSR."));
    const QCommandLineOption table(QStringLiteral("table"),
                                   QStringLiteral("File of further command replies."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption mode(QStringLiteral("mode"), QStringLiteral("Fault mode, see above."),
                                  QStringLiteral("M"), QStringLiteral("normal"));
    const QCommandLineOption faultConnections(
        QStringLiteral("fault-connections"),
        QStringLiteral("The fault mode holds for the first N connections only; 0: for all."),
        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({port, version, greeting, loginFail, table, mode, faultConnections});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help)) parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
        return false;
    }

    bool ok = false;
    config->port = parser.value(port).toUShort(&ok);
    if (!ok) {
        *error = QStringLiteral("bad port: ") + parser.value(port);
        return false;
    }
    config->greeting = parser.isSet(greeting)
                           ? parser.value(greeting).toUtf8()
                           : QByteArray("100 Welcome#") + parser.value(version).toUtf8();
    config->loginFail = parser.isSet(loginFail);
    config->tableFile = parser.value(table);
    if (!parseMode(parser.value(mode), config)) {
        *error = QStringLiteral("bad mode: ") + parser.value(mode);
        return false;
    }
    config->faultConnections = parser.value(faultConnections).toInt(&ok);
    if (!ok || config->faultConnections < 0) {
        *error = QStringLiteral("bad fault connection count: ") + parser.value(faultConnections);
        return false;
    }
    return true;
}

DaemonConfig DaemonConfig::forConnection(int id, QRandomGenerator *random) const {
    if (faultConnections > 0 && id > faultConnections) {
        DaemonConfig normal = *this;
        normal.mode = Mode::Normal;
        return normal;
    }
    if (mode != Mode::Random) return *this;
    static const Mode others[] = {Mode::Silent,   Mode::NotFound,       Mode::NoEol,
                                  Mode::Bytewise, Mode::Slow,           Mode::CloseAfterGreeting,
                                  Mode::Binary,   Mode::EmptyThenClose, Mode::Short};
    DaemonConfig drawn = *this;
    const int count = int(sizeof others / sizeof others[0]);
    const int draw = int(random->bounded(2 * count));
    drawn.mode = draw < count ? Mode::Normal : others[draw - count];
    drawn.slowMs = int(random->bounded(100, 3001));
    return drawn;
}
