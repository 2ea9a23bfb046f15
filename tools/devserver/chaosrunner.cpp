#include "chaosrunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <functional>

#include "clientconnection.h"
#include "eventline.h"

namespace {

// Longer than the slowest honest answer: a POS exchange with every retry and a 55 s send.
constexpr qint64 kReplyDeadlineMs = 180 * 1000;
constexpr int kSoakFiles = 8;
constexpr int kSoakArchiveTargets = 4;

void printChaos(const QString &what, QJsonObject fields) {
    fields.insert(QStringLiteral("chaos"), what);
    printJsonLine(fields);
}

QString soakFile(int index) { return QStringLiteral("soak/f%1.txt").arg(index); }

// A written file checks itself: "soak LENGTH SHA1\n" and then LENGTH bytes whose SHA-1 that is.
bool isWholeSoakFile(const QByteArray &content) {
    const int lineEnd = content.indexOf('\n');
    const QList<QByteArray> header = content.left(lineEnd).split(' ');
    if (lineEnd < 0 || header.size() != 3 || header.at(0) != "soak") return false;
    const QByteArray body = content.mid(lineEnd + 1);
    return header.at(1) == QByteArray::number(body.size()) &&
           header.at(2) == QCryptographicHash::hash(body, QCryptographicHash::Sha1).toHex();
}

}  // namespace

ChaosRunner::ChaosRunner(const ServerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_random(options.chaosSeed) {
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, &ChaosRunner::step);
    m_overdueTimer.setInterval(5000);
    connect(&m_overdueTimer, &QTimer::timeout, this, &ChaosRunner::checkOverdue);
    m_overdueTimer.start();
    m_clock.start();
}

bool ChaosRunner::load(QString *error) {
    if (m_options.chaosFilesDir.isEmpty()) return true;
    const QDir dir(m_options.chaosFilesDir);
    for (const QString &name : dir.entryList({QStringLiteral("*.zip")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        m_archives.append(file.readAll());
    }
    if (m_archives.isEmpty()) {
        *error = QStringLiteral("no *.zip in %1").arg(m_options.chaosFilesDir);
        return false;
    }
    return true;
}

RegisterMode ChaosRunner::chooseRegisterMode(ClientConnection *connection) {
    ++m_registrations;
    RegisterMode mode;
    if (chance(m_options.chaosRate / 2)) {
        mode.kind = RegisterMode::Refuse;
        mode.errorCode = 7;
        mode.errorText = QStringLiteral("refused by chaos");
        fault(QStringLiteral("refuse-registration"), connection);
        // A refused client stays connected and idle; hang up so that it tries again.
        QTimer::singleShot(1000 + pick(2000), connection, [connection] { connection->close(); });
    } else if (chance(m_options.chaosRate / 2)) {
        mode.kind = RegisterMode::Sleep;
        mode.sleepSeconds = 1;
        fault(QStringLiteral("sleep_1"), connection);
    }
    return mode;
}

KeepAliveMode ChaosRunner::chooseKeepAliveMode(ClientConnection *connection) {
    KeepAliveMode mode;
    if (!chance(m_options.chaosRate)) return mode;
    if (chance(0.5)) {
        mode.kind = KeepAliveMode::Silent;
        fault(QStringLiteral("keepalive-unanswered"), connection);
    } else {
        // Up to half again the client's patience, so some are late and some are not.
        mode.kind = KeepAliveMode::Slow;
        mode.delayMs = 1000 + pick(14000);
        fault(QStringLiteral("keepalive-slow"), connection);
    }
    return mode;
}

void ChaosRunner::opened(ClientConnection *connection) {
    ++m_connections;
    m_due.insert(connection, {});
}

void ChaosRunner::attach(ClientConnection *connection) {
    m_active = connection;
    m_depth = 1 + pick(3);
    m_calm = chance(0.3);
    scheduleStep();
}

void ChaosRunner::detach(ClientConnection *connection) {
    const int lost = m_due.value(connection).size();
    // Per connection, so that a driver that broke some connections on purpose can tell their
    // losses from those on connections it left alone.
    if (lost > 0) {
        printChaos(QStringLiteral("lost"),
                   {{QStringLiteral("conn"), connection->id()}, {QStringLiteral("replies"), lost}});
    }
    m_lostWithConnection += lost;
    m_due.remove(connection);
    if (m_active == connection) m_active = nullptr;
}

void ChaosRunner::handleMessage(ClientConnection *connection, const QJsonObject &message) {
    if (message.value(QLatin1String("typeCall")).toString() == QLatin1String("registerPOS")) return;
    checkReply(connection, message);
    scheduleStep();
}

void ChaosRunner::scheduleStep() {
    if (!m_active || m_stepTimer.isActive()) return;
    m_stepTimer.start(pick(50));
}

void ChaosRunner::step() {
    if (!m_active || m_due.value(m_active).size() >= m_depth) return;
    if (chance(m_options.chaosRate))
        injectFault();
    else
        sendCommand(randomCommand());
    scheduleStep();
}

void ChaosRunner::injectFault() {
    ClientConnection *connection = m_active;
    switch (m_calm ? 2 + pick(5) : pick(7)) {
        case 0:
            fault(QStringLiteral("drop"), connection);
            m_active = nullptr;
            connection->close();
            break;
        case 1: {
            // Part of a command, then RST: the client must drop the fragment, not run it.
            const QByteArray bytes = randomCommand().bytes;
            fault(QStringLiteral("reset-mid-message"), connection);
            m_active = nullptr;
            connection->send(bytes.left(1 + pick(bytes.size() - 2)));
            QTimer::singleShot(20, connection, [connection] { connection->reset(); });
            break;
        }
        case 2: {
            fault(QStringLiteral("garbage"), connection);
            Command command = randomCommand();
            command.bytes.prepend(garbage());
            sendCommand(command);
            break;
        }
        case 3: {
            // Ends with a brace like a message but is no JSON: nothing may run.
            fault(QStringLiteral("malformed-json"), connection);
            QByteArray bytes = "{";
            for (int i = pick(40); i > 0; --i) bytes += char('a' + pick(26));
            connection->send(bytes + "}");
            break;
        }
        case 4:
            fault(QStringLiteral("split"), connection);
            sendCommand(randomCommand(), true);
            break;
        case 5: {
            fault(QStringLiteral("glue"), connection);
            Command glued;
            glued.commands = 2 + pick(2);
            for (int i = 0; i < glued.commands; ++i) {
                const Command command = randomCommand();
                glued.bytes += command.bytes;
                glued.replies += command.replies;
                if (chance(0.5)) glued.bytes += "\x02_KAS_\x03";
            }
            sendCommand(glued);
            break;
        }
        default:
            fault(QStringLiteral("keepalive-answer-unasked"), connection);
            connection->send("\x02_KAS_\x03");
            break;
    }
}

void ChaosRunner::sendCommand(const Command &command, bool inPieces) {
    QQueue<Due> &due = m_due[m_active];
    for (Due reply : command.replies) {
        reply.sentMs = m_clock.elapsed();
        due.enqueue(reply);
    }
    m_commands += command.commands;
    m_repliesDue += command.replies.size();
    if (!inPieces) {
        m_active->send(command.bytes);
        return;
    }
    for (int at = 0; at < command.bytes.size();) {
        const int size = 1 + pick(40);
        m_active->send(command.bytes.mid(at, size));
        at += size;
    }
}

void ChaosRunner::sendExtra(const QByteArray &line) {
    const QJsonObject command = QJsonDocument::fromJson(line).object();
    const QString name = command.value(QLatin1String("commandType")).toString();
    const QJsonArray data = command.value(QLatin1String("data")).toArray();
    QString refusal;
    if (name.isEmpty() || !command.value(QLatin1String("data")).isArray())
        refusal = QStringLiteral("not a command object");
    else if (!m_active)
        refusal = QStringLiteral("no registered connection");
    if (!refusal.isEmpty()) {
        printChaos(QStringLiteral("extra-refused"), {{QStringLiteral("text"), refusal}});
        return;
    }
    QVector<QJsonObject> entries;
    for (const QJsonValue &entry : data) entries.append(entry.toObject());
    // A read of one file under temp/ is checked whole, like chaos's own reads.
    const QJsonObject first = entries.value(0);
    const bool checkedRead = name == QLatin1String("getFileContent") && entries.size() == 1 &&
                             first.value(QLatin1String("basePathType")) == QLatin1String("temp");
    printChaos(QStringLiteral("extra"),
               {{QStringLiteral("conn"), m_active->id()}, {QStringLiteral("name"), name}});
    sendCommand(
        makeCommand(name, entries,
                    checkedRead ? first.value(QLatin1String("filePath")).toString() : QString()));
}

ChaosRunner::Command ChaosRunner::randomCommand() {
    const QString temp = QStringLiteral("temp");
    const auto k = [](const char *key) { return QLatin1String(key); };
    using Make = std::function<Command()>;
    const QVector<QPair<int, Make>> table = {
        {25, [this] { return saveFileCommand(); }},
        {20,
         [&] {
             const QString path = soakFile(pick(kSoakFiles));
             return makeCommand(
                 QStringLiteral("getFileContent"),
                 {{{k("filePath"), path}, {k("basePathType"), temp}, {k("toBase64"), true}}}, path);
         }},
        {5,
         [&] {
             return makeCommand(
                 QStringLiteral("getDirectoryFiles"),
                 {{{k("searchPath"), QStringLiteral("soak")}, {k("basePathType"), temp}}});
         }},
        {3,
         [&] {
             return makeCommand(QStringLiteral("createAndEmptyDirectory"),
                                {{{k("path"), QStringLiteral("soak/d%1").arg(pick(4))}}});
         }},
        {5,
         [&] {
             return makeCommand(QStringLiteral("getProcesses"),
                                {{{k("processFilter"), QStringLiteral("qlt")}}});
         }},
        {3,
         [&] {
             return makeCommand(QStringLiteral("getProcessInfo"),
                                {{{k("processName"), QStringLiteral("sleep")}}});
         }},
        {m_options.chaosKillName.isEmpty() ? 0 : 3,
         [&] {
             return makeCommand(QStringLiteral("killProcessByName"),
                                {{{k("processName"), m_options.chaosKillName}}});
         }},
        {3, [&] { return makeCommand(QStringLiteral("testConnection"), {{}}); }},
        {8,
         [&] {
             static const char *const commands[] = {"STATUS", "ACCGET 1", "ACCGET 99", "WRONG",
                                                    "NOSUCH"};
             return makeCommand(QStringLiteral("deamonDirect"),
                                {{{k("cmd"), QLatin1String(commands[pick(5)])},
                                  {k("okCodeIfReceive2X"), 200},
                                  {k("endTag"), QStringLiteral("//END\n")},
                                  {k("noClose"), chance(0.5)}}});
         }},
        {3,
         [&] {
             return makeCommand(QStringLiteral("deamonDirect"),
                                {{{k("cmd"), QStringLiteral("PART1 soak")},
                                  {k("okCodeForPart2"), 201},
                                  {k("cmdDataPart2"), QStringLiteral("second part")},
                                  {k("endTagForPart2"), QStringLiteral("//END\n")}}});
         }},
        {2, [&] { return makeCommand(QStringLiteral("doAccClose"), {{}}); }},
        {2, [&] { return makeCommand(QStringLiteral("getClientInfo"), {{}}); }},
        {2, [&] { return makeCommand(QStringLiteral("getVariousSetting"), {{}}); }},
        {1, [&] { return makeCommand(QStringLiteral("getConfiguration"), {{}}); }},
        {1,
         [&] {
             return makeCommand(QStringLiteral("pingDevices"),
                                {{{k("pingType"), 1},
                                  {k("pingHops"), 1},
                                  {k("ipFilterString"), QStringLiteral("127.0.0.1")}}});
         }},
        {3, [&] { return makeCommand(QStringLiteral("chaosNoSuchCommand"), {{}}); }},
        // No entry, no reply; two entries, two replies.
        {2, [&] { return makeCommand(QStringLiteral("getClientInfo"), {}); }},
        {3,
         [&] {
             const QJsonObject listing{{k("searchPath"), QStringLiteral("soak")},
                                       {k("basePathType"), temp},
                                       {k("sendTimeOut"), 120}};
             return makeCommand(QStringLiteral("getDirectoryFiles"), {listing, listing});
         }},
        // Replaced rights make the client reconnect after its reply; not while a driver on stdin
        // shapes the link, where every change of connection must be the driver's.
        {m_options.chaosStdin ? 0 : 1,
         [&] {
             return makeCommand(QStringLiteral("setRights"),
                                {{{k("fileDataB64"), QStringLiteral("c29hawkvc29hawo=")}}});
         }},
    };
    int total = 0;
    for (const auto &entry : table) total += entry.first;
    int draw = pick(total);
    for (const auto &entry : table) {
        if (draw < entry.first) return entry.second();
        draw -= entry.first;
    }
    Q_UNREACHABLE();
}

ChaosRunner::Command ChaosRunner::saveFileCommand() {
    QJsonObject entry{{QStringLiteral("basePathType"), QStringLiteral("temp")}};
    if (!m_archives.isEmpty() && chance(0.2)) {
        entry.insert(QStringLiteral("filePath"),
                     QStringLiteral("soak/zip%1").arg(pick(kSoakArchiveTargets)));
        entry.insert(QStringLiteral("isZipData"), true);
        entry.insert(QStringLiteral("fileDataB64"),
                     QString::fromLatin1(m_archives.at(pick(m_archives.size())).toBase64()));
    } else {
        entry.insert(QStringLiteral("filePath"), soakFile(pick(kSoakFiles)));
        entry.insert(QStringLiteral("isBinary"), chance(0.5));
        entry.insert(QStringLiteral("fileDataB64"),
                     QString::fromLatin1(randomFileContent().toBase64()));
    }
    return makeCommand(QStringLiteral("saveFileContent"), {entry});
}

ChaosRunner::Command ChaosRunner::makeCommand(const QString &name,
                                              const QVector<QJsonObject> &entries,
                                              const QString &readPath) {
    QJsonArray data;
    for (const QJsonObject &entry : entries) data.append(entry);
    Command command;
    command.bytes = QJsonDocument(QJsonObject{{QStringLiteral("commandType"), name},
                                              {QStringLiteral("data"), data}})
                        .toJson(QJsonDocument::Compact);
    command.replies.fill(Due{name, readPath, 0}, entries.size());
    return command;
}

QByteArray ChaosRunner::randomFileContent() {
    // Mostly small, sometimes large, rarely a few MiB; text only, so that it reads back as
    // written in text mode too.
    const int roll = pick(100);
    const int size = roll < 90 ? pick(8 * 1024) : roll < 99 ? pick(256 * 1024) : pick(4 << 20);
    QByteArray raw(size, Qt::Uninitialized);
    for (char &c : raw) c = char(m_random.generate());
    const QByteArray body = raw.toBase64() + '\n';
    return QByteArray("soak ") + QByteArray::number(body.size()) + ' ' +
           QCryptographicHash::hash(body, QCryptographicHash::Sha1).toHex() + '\n' + body;
}

QByteArray ChaosRunner::garbage() {
    // Stray bytes a correct client skips: no '{' (which would open a message) and no 0x02
    // (which would open a control frame and swallow the command after it).
    QByteArray bytes;
    const int length = 1 + pick(100);
    while (bytes.size() < length) {
        const char c = char(m_random.generate());
        if (c != '{' && c != '\x02') bytes += c;
    }
    return bytes;
}

void ChaosRunner::checkReply(ClientConnection *connection, const QJsonObject &message) {
    const QString name = message.value(QLatin1String("typeCall")).toString();
    const QJsonArray data = message.value(QLatin1String("data")).toArray();
    const QJsonObject result = data.first().toObject();
    const bool wellFormed = message.size() == 2 &&
                            message.value(QLatin1String("typeCall")).isString() &&
                            data.size() == 1 && data.first().isObject() &&
                            result.value(QLatin1String("errorCode")).isDouble() &&
                            result.value(QLatin1String("errorDescription")).isString();
    if (!wellFormed) {
        violation(connection,
                  QStringLiteral("malformed reply: %1")
                      .arg(QString::fromUtf8(
                          QJsonDocument(message).toJson(QJsonDocument::Compact).left(300))));
    }
    QQueue<Due> &due = m_due[connection];
    if (due.isEmpty() || due.head().name != name) {
        violation(
            connection,
            due.isEmpty()
                ? QStringLiteral("reply to %1 that nothing asked for").arg(name)
                : QStringLiteral("reply to %1 where one to %2 was due").arg(name, due.head().name));
        // Nothing after this can be matched any more; start over on a new connection.
        due.clear();
        connection->close();
        return;
    }
    const Due reply = due.dequeue();
    ++m_replies;
    if (!reply.readPath.isEmpty() && wellFormed)
        checkFileContent(connection, reply.readPath, result);
}

void ChaosRunner::checkFileContent(ClientConnection *connection, const QString &path,
                                   const QJsonObject &result) {
    // Anything but success (the file not written yet) has nothing to compare.
    if (result.value(QLatin1String("errorCode")).toInt() != 0) return;
    ++m_filesChecked;
    const auto decoded = QByteArray::fromBase64Encoding(
        result.value(QLatin1String("fileData")).toString().toLatin1(),
        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || !isWholeSoakFile(*decoded))
        violation(connection, QStringLiteral("%1 read back is not whole").arg(path));
}

void ChaosRunner::checkOverdue() {
    const qint64 now = m_clock.elapsed();
    for (auto it = m_due.begin(); it != m_due.end(); ++it) {
        if (it->isEmpty() || now - it->head().sentMs < kReplyDeadlineMs) continue;
        violation(it.key(), QStringLiteral("no reply to %1 within %2 s")
                                .arg(it->head().name)
                                .arg(kReplyDeadlineMs / 1000));
        it->clear();
        it.key()->close();
    }
}

void ChaosRunner::fault(const QString &kind, ClientConnection *connection) {
    ++m_faults[kind];
    printChaos(QStringLiteral("fault"),
               {{QStringLiteral("kind"), kind}, {QStringLiteral("conn"), connection->id()}});
}

void ChaosRunner::violation(ClientConnection *connection, const QString &text) {
    ++m_violations;
    printChaos(QStringLiteral("violation"),
               {{QStringLiteral("conn"), connection->id()}, {QStringLiteral("text"), text}});
}

void ChaosRunner::printSummary() const {
    QJsonObject faults;
    int faultCount = 0;
    for (auto it = m_faults.cbegin(); it != m_faults.cend(); ++it) {
        faults.insert(it.key(), it.value());
        faultCount += it.value();
    }
    int pending = 0;
    for (const QQueue<Due> &due : m_due) pending += due.size();
    printChaos(QStringLiteral("summary"),
               {{QStringLiteral("seed"), qint64(m_options.chaosSeed)},
                {QStringLiteral("rate"), m_options.chaosRate},
                {QStringLiteral("connections"), m_connections},
                {QStringLiteral("reconnects"), qMax(0, m_connections - 1)},
                {QStringLiteral("registrations"), m_registrations},
                {QStringLiteral("commandsSent"), m_commands},
                {QStringLiteral("repliesDue"), m_repliesDue},
                {QStringLiteral("replies"), m_replies},
                {QStringLiteral("repliesLostWithConnection"), m_lostWithConnection},
                {QStringLiteral("repliesPending"), pending},
                {QStringLiteral("filesReadBackChecked"), m_filesChecked},
                {QStringLiteral("faults"), faults},
                {QStringLiteral("faultsTotal"), faultCount},
                {QStringLiteral("violations"), m_violations}});
}
