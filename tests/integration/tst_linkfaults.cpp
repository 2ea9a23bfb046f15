#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>

#include "loopback.h"
#include "scriptedsession.h"
#include "standinprocess.h"
#include "tempdataroot.h"
#include "testfiles.h"
#include "testpaths.h"

namespace {

// The link's promises: after a loss it reconnects 3 s later; a connect with its TLS handshake
// is given up after 15 s; a link on which nothing arrives and nothing leaves is dead within
// 25 + 10 s. So the client is registered again at most 25 + 10 + 3 + 15 = 53 s after the server
// is healthy again. The limits add generous margins: they check function, not speed.
constexpr int kRecoveryLimitMs = 80 * 1000;
// A wedged connection is given up within 35 s (silent link) or 15 s (stalled handshake), and the
// next one is opened 3 s later.
constexpr int kAbandonLimitMs = 60 * 1000;
constexpr int kRegisterLimitMs = 30 * 1000;  // the first registration of a fresh client
constexpr int kReplyLimitMs = 60 * 1000;     // a reply of some MiB over loopback
constexpr int kSlowReaderHoldMs = 60 * 1000;
constexpr int kSlowReaderRate = 1024;  // bytes/s
constexpr int kScriptPauseMs = 2000;   // from registration to the large read, to set the stage

const QString kLargeFile = QStringLiteral("large.txt");

// As QTRY_VERIFY2_WITH_TIMEOUT, but without its extra wait of twice the limit after a failure:
// these limits are long, and a client without the behaviour should fail at the limit.
#define WAIT_VERIFY2(condition, message, limitMs)                                       \
    do {                                                                                \
        const bool reached = QTest::qWaitFor([&] { return bool(condition); }, limitMs); \
        QVERIFY2(reached, message);                                                     \
    } while (false)

// Text that the client sends back as it is: printable ASCII lines without CR.
QByteArray largeText(int bytes) {
    QByteArray text(bytes, Qt::Uninitialized);
    QRandomGenerator random(bytes);
    for (int i = 0; i < bytes; ++i) text[i] = i % 100 == 99 ? '\n' : char('a' + random.bounded(26));
    return text;
}

QJsonObject scriptPause(int ms) {
    return {{QStringLiteral("devserver"), QJsonObject{{QStringLiteral("sleepMs"), ms}}}};
}

QJsonObject readLargeFile(int sendTimeOutS = 0) {
    QJsonObject params{{QStringLiteral("filePath"), kLargeFile},
                       {QStringLiteral("basePathType"), QStringLiteral("temp")},
                       {QStringLiteral("toBase64"), true}};
    if (sendTimeOutS > 0) params.insert(QStringLiteral("sendTimeOut"), sendTimeOutS);
    return ScriptedSession::command(QStringLiteral("getFileContent"), {params});
}

QJsonObject clientInfo() { return ScriptedSession::command(QStringLiteral("getClientInfo")); }

// The relay's events for its switches to `mode`.
QVector<QJsonObject> switchesTo(const StandInProcess &relay, const QString &mode) {
    QVector<QJsonObject> found;
    for (const QJsonObject &event :
         relay.linesWith(QStringLiteral("event"), QStringLiteral("mode"))) {
        if (event.value(QLatin1String("mode")).toString() == mode) found.append(event);
    }
    return found;
}

// The bytes one connection had passed on to the server when the relay last switched to `mode`.
qint64 bytesUp(const StandInProcess &relay, const QString &mode, int connection) {
    const QVector<QJsonObject> switches = switchesTo(relay, mode);
    if (switches.isEmpty()) return -1;
    for (const QJsonValue &counters : switches.last().value(QLatin1String("conns")).toArray()) {
        if (counters[QLatin1String("conn")].toInt() == connection)
            return qint64(counters[QLatin1String("up")].toDouble());
    }
    return -1;
}

}  // namespace

// The real client, connected through the fault relay to the development server, which runs a
// script and stays up; the stand-ins' events are kept as they arrive.
class LinkRig {
  public:
    ~LinkRig() {
        client.terminate();
        if (!client.waitForFinished(15000)) client.kill();
    }

    bool start(const QList<QJsonObject> &script, QString *why) {
        const QString file = root.path() + QStringLiteral("devserver-script.jsonl");
        if (!ScriptedSession::writeScript(file, script))
            return fail(why, QStringLiteral("cannot write script"));
        if (!server.start(testpaths::devServerBinary(),
                          {QStringLiteral("--script"), file, QStringLiteral("--keep-running"),
                           QStringLiteral("--timeout"), QStringLiteral("900")})) {
            return fail(why, server.diagnostics());
        }
        if (!relay.start(testpaths::faultRelayBinary(),
                         {QStringLiteral("--target-port"), QString::number(server.port())})) {
            return fail(why, relay.diagnostics());
        }
        root.pointAtServer(
            relay.port(),
            QStringLiteral("[POS]\npos_host=127.0.0.1\npos_port=%1\n").arg(loopback::freePort()));
        return root.startClient(client) || fail(why, client.errorString());
    }

    int registrations() const {
        return server.count(QStringLiteral("event"), QStringLiteral("registered"));
    }
    int accepted() const {
        return relay.count(QStringLiteral("event"), QStringLiteral("accepted"));
    }
    // The id of the connection the relay accepted last.
    int lastAccepted() const {
        const QVector<QJsonObject> events =
            relay.linesWith(QStringLiteral("event"), QStringLiteral("accepted"));
        return events.isEmpty() ? 0 : events.last().value(QLatin1String("conn")).toInt();
    }
    int repliesTo(const QString &name) const {
        return server.count(QStringLiteral("typeCall"), name);
    }
    // The file data of the last getFileContent reply, decoded.
    QByteArray lastFileData() const {
        const QVector<QJsonObject> replies =
            server.linesWith(QStringLiteral("typeCall"), QStringLiteral("getFileContent"));
        if (replies.isEmpty()) return "<no reply>";
        const QJsonObject result = replies.last()[QLatin1String("data")][0].toObject();
        return QByteArray::fromBase64(
            result.value(QLatin1String("fileData")).toString().toLatin1());
    }
    void writeLargeFile(const QByteArray &text) const {
        testfiles::writeBytes(root.tempDir() + kLargeFile, text);
    }

    // What the relay saw, in seconds since its first event, for failure messages.
    QString story() const {
        QStringList parts;
        const double start =
            relay.lines().isEmpty() ? 0 : relay.lines().first()[QLatin1String("t")].toDouble();
        for (const QJsonObject &event : relay.lines()) {
            const QString name = event.value(QLatin1String("event")).toString();
            QString text =
                QStringLiteral("%1 s %2")
                    .arg((event[QLatin1String("t")].toDouble() - start) / 1000, 0, 'f', 1)
                    .arg(name);
            if (name == QLatin1String("accepted") || name == QLatin1String("closed"))
                text += QStringLiteral(" #%1").arg(event[QLatin1String("conn")].toInt());
            if (name == QLatin1String("mode"))
                text += QLatin1Char(' ') + event[QLatin1String("mode")].toString();
            if (name == QLatin1String("closed")) {
                text += QStringLiteral(" by %1 (%2)")
                            .arg(event[QLatin1String("by")].toString(),
                                 event[QLatin1String("reason")].toString());
            }
            parts << text;
        }
        const QStringList log = root.todaysLogLines();
        return QStringLiteral("relay: %1; registrations: %2; client log tail: %3")
            .arg(parts.join(QStringLiteral(", ")), QString::number(registrations()),
                 log.mid(qMax(0, log.size() - 8)).join(QLatin1Char('\n')));
    }

    TempDataRoot root;
    StandInProcess server;
    StandInProcess relay;
    QProcess client;

  private:
    static bool fail(QString *why, const QString &text) {
        *why = text;
        return false;
    }
};

// The real client between the real development server and the fault relay: every kind of link
// fault, and that the client is registered again once the server is healthy again.
class tst_linkfaults : public QObject {
    Q_OBJECT
  private slots:
    void healthyPath();
    void abandonsWedgedLink_data();
    void abandonsWedgedLink();
    void slowReaderKeepsLink();
    void serverRestart();

  private:
    // Fails unless `server` reports a registration beyond `before` within the recovery limit.
    static void expectRegisteredAgain(const LinkRig &rig, const StandInProcess &server, int before);
};

void tst_linkfaults::expectRegisteredAgain(const LinkRig &rig, const StandInProcess &server,
                                           int before) {
    QElapsedTimer sinceHealthy;
    sinceHealthy.start();
    WAIT_VERIFY2(server.count(QStringLiteral("event"), QStringLiteral("registered")) > before,
                 qPrintable(QStringLiteral("not registered again %1 s after the server was healthy "
                                           "again; %2")
                                .arg(kRecoveryLimitMs / 1000)
                                .arg(rig.story())),
                 kRecoveryLimitMs);
    qInfo("registered again %.1f s after the server was healthy again",
          sinceHealthy.elapsed() / 1000.0);
}

void tst_linkfaults::healthyPath() {
    LinkRig rig;
    const QByteArray text = largeText(16 << 20);
    rig.writeLargeFile(text);
    QString why;
    QVERIFY2(rig.start({readLargeFile(), clientInfo()}, &why), qPrintable(why));
    WAIT_VERIFY2(rig.repliesTo(QStringLiteral("getClientInfo")) == 1, qPrintable(rig.story()),
                 kRegisterLimitMs + kReplyLimitMs);
    QVERIFY2(rig.lastFileData() == text, "the 16 MiB read came back changed through the relay");
    QCOMPARE(rig.accepted(), 1);
    QCOMPARE(rig.server.count(QStringLiteral("event"), QStringLiteral("connected")), 1);
}

void tst_linkfaults::abandonsWedgedLink_data() {
    QTest::addColumn<QByteArrayList>("fault");  // relay commands
    QTest::addColumn<bool>("replyUnderWay");    // a large reply is leaving when the fault starts
    QTest::addColumn<bool>("hitsNextConnection");
    // The server hangs in the TLS handshake: the open connection is reset, the next one hangs.
    QTest::newRow("stallAfterAccept") << QByteArrayList{"stall", "drop"} << false << true;
    // The server stops reading in the middle of a 16 MiB reply.
    QTest::newRow("stopReadMidReply") << QByteArrayList{"stopread"} << true << false;
    // Nothing passes either way on an idle, registered link.
    QTest::newRow("blackhole") << QByteArrayList{"blackhole"} << false << false;
}

void tst_linkfaults::abandonsWedgedLink() {
    QFETCH(QByteArrayList, fault);
    QFETCH(bool, replyUnderWay);
    QFETCH(bool, hitsNextConnection);
    LinkRig rig;
    const QByteArray text = replyUnderWay ? largeText(16 << 20) : QByteArray();
    if (replyUnderWay) rig.writeLargeFile(text);
    QString why;
    QVERIFY2(
        rig.start(replyUnderWay ? QList<QJsonObject>{scriptPause(kScriptPauseMs), readLargeFile()}
                                : QList<QJsonObject>{clientInfo()},
                  &why),
        qPrintable(why));
    WAIT_VERIFY2(rig.registrations() == 1, qPrintable(rig.story()), kRegisterLimitMs);
    int wedged = rig.lastAccepted();
    if (replyUnderWay) {
        // The reply first trickles out, so that reading stops in its middle.
        rig.relay.send("slowread 16384");
        QTest::qWait(kScriptPauseMs + 3000);
    }
    for (const QByteArray &line : fault) rig.relay.send(line);
    QTRY_VERIFY_WITH_TIMEOUT(!switchesTo(rig.relay, QString::fromLatin1(fault.first())).isEmpty(),
                             5000);
    if (replyUnderWay) {
        const qint64 sent = bytesUp(rig.relay, QStringLiteral("stopread"), wedged) -
                            bytesUp(rig.relay, QStringLiteral("slowread"), wedged);
        QVERIFY2(sent > 16384, qPrintable(QStringLiteral("only %1 bytes of the reply had left "
                                                         "when reading stopped")
                                              .arg(sent)));
    }
    if (hitsNextConnection) {
        WAIT_VERIFY2(rig.lastAccepted() > wedged,
                     qPrintable(QStringLiteral("no new connection after the drop; ") + rig.story()),
                     kAbandonLimitMs);
        wedged = rig.lastAccepted();
    }
    WAIT_VERIFY2(
        rig.lastAccepted() > wedged,
        qPrintable(QStringLiteral("the client held on to wedged connection #%1 for %2 s; %3")
                       .arg(wedged)
                       .arg(kAbandonLimitMs / 1000)
                       .arg(rig.story())),
        kAbandonLimitMs);
    const int before = rig.registrations();
    rig.relay.send("pass");
    expectRegisteredAgain(rig, rig.server, before);
    if (QTest::currentTestFailed() || !replyUnderWay) return;
    // The server asks again on the new connection; nothing of the reply may be lost.
    WAIT_VERIFY2(rig.repliesTo(QStringLiteral("getFileContent")) == 1, qPrintable(rig.story()),
                 kReplyLimitMs);
    QVERIFY2(rig.lastFileData() == text, "the 16 MiB read came back changed");
}

void tst_linkfaults::slowReaderKeepsLink() {
    LinkRig rig;
    const QByteArray text = largeText(8 << 20);
    rig.writeLargeFile(text);
    QString why;
    // A send time-out of 15 s: the reply takes hours at this pace, yet its bytes keep leaving;
    // with the relay's small receive buffer they leave in bursts some seconds apart.
    QVERIFY2(rig.start({scriptPause(kScriptPauseMs), readLargeFile(15), clientInfo()}, &why),
             qPrintable(why));
    WAIT_VERIFY2(rig.registrations() == 1, qPrintable(rig.story()), kRegisterLimitMs);
    rig.relay.send("slowread " + QByteArray::number(kSlowReaderRate));
    // The keep-alives that fall due meanwhile wait behind the reply.
    const bool linkBroke = QTest::qWaitFor(
        [&rig] {
            return rig.accepted() > 1 ||
                   rig.relay.count(QStringLiteral("event"), QStringLiteral("closed")) > 0;
        },
        kScriptPauseMs + kSlowReaderHoldMs);
    QVERIFY2(!linkBroke, qPrintable(QStringLiteral("a slow but healthy reader lost its "
                                                   "connection; ") +
                                    rig.story()));
    rig.relay.send("pass");
    WAIT_VERIFY2(rig.repliesTo(QStringLiteral("getClientInfo")) == 1, qPrintable(rig.story()),
                 kReplyLimitMs);
    QVERIFY2(rig.accepted() == 1 &&
                 rig.server.count(QStringLiteral("event"), QStringLiteral("connected")) == 1,
             qPrintable(QStringLiteral("the slow reader cost a reconnection; ") + rig.story()));
    // The reply really was leaving all along, at the reader's pace.
    const qint64 drained = bytesUp(rig.relay, QStringLiteral("pass"), 1) -
                           bytesUp(rig.relay, QStringLiteral("slowread"), 1);
    QVERIFY2(drained >= kSlowReaderRate * (kSlowReaderHoldMs / 1000) / 2,
             qPrintable(QStringLiteral("only %1 bytes left during the slow read").arg(drained)));
    QVERIFY2(rig.lastFileData() == text, "the 8 MiB read came back changed");
}

void tst_linkfaults::serverRestart() {
    LinkRig rig;
    QString why;
    QVERIFY2(rig.start({clientInfo()}, &why), qPrintable(why));
    WAIT_VERIFY2(rig.repliesTo(QStringLiteral("getClientInfo")) == 1, qPrintable(rig.story()),
                 kRegisterLimitMs);
    const quint16 port = rig.server.port();
    rig.server.stop();
    // The client keeps trying while nothing listens behind the relay.
    WAIT_VERIFY2(
        rig.relay.count(QStringLiteral("reason"), QStringLiteral("Connection refused")) >= 1,
        qPrintable(QStringLiteral("no attempt while the server was down; ") + rig.story()),
        kAbandonLimitMs);
    StandInProcess restarted;
    QVERIFY2(restarted.start(testpaths::devServerBinary(),
                             {QStringLiteral("--port"), QString::number(port)}),
             qPrintable(restarted.diagnostics()));
    expectRegisteredAgain(rig, restarted, 0);
}

QTEST_GUILESS_MAIN(tst_linkfaults)
#include "tst_linkfaults.moc"
