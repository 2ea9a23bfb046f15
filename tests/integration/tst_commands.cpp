#include <signal.h>

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>
#include <memory>

#include "posdaemonprocess.h"
#include "scriptedsession.h"
#include "sleepprocesses.h"
#include "standinprocess.h"
#include "tempdataroot.h"
#include "testfiles.h"
#include "testpaths.h"

namespace {
using testfiles::readBytes;
using testfiles::writeBytes;

const QString posCommand = QStringLiteral("deamonDirect");

int errorCode(const QJsonObject &result) {
    return result.value(QStringLiteral("errorCode")).toInt(-1);
}
}  // namespace

// The commands of each area through the real client binary, driven by the development server;
// the POS commands reach the POS daemon stand-in. What the server got back is compared, and
// what the client wrote on disk.
class tst_commands : public QObject {
    Q_OBJECT
  private slots:
    void fileCommands();
    void fileTargetSurvivesKilledClient();
    void posCommands();
    void posBadRepliesKeepTheLink_data();
    void posBadRepliesKeepTheLink();
    void posKeepAliveDuringSlowReply();
    void systemCommands();
};

// Every file command once.
void tst_commands::fileCommands() {
    TempDataRoot root;
    QFile zipFile(testpaths::dataDir() + "/files/pkg.zip");  // made by zip(1)
    QVERIFY(zipFile.open(QIODevice::ReadOnly));
    const QByteArray archive = zipFile.readAll();
    writeBytes(root.logDir() + "read.txt", "caf\xe9\r\n");
    // Large enough that its Base64 reaches the handler as bytes rather than as a QString.
    QByteArray binary(48 * 1024, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i) binary[i] = char(i * 7 + i / 256);
    ScriptedSession s(root);
    const auto command = [](const char *name, const QJsonObject &params) {
        return ScriptedSession::command(QString::fromLatin1(name), {params});
    };
    QVERIFY2(
        s.run(
            {command("createAndEmptyDirectory", {{"path", "made/here"}}),
             command("saveFileContent", {{"filePath", "made/here/a.txt"},
                                         {"basePathType", "temp"},
                                         {"fileDataB64", "aGVsbG8K"}}),
             command("getDirectoryFiles", {{"searchPath", "made/here"}, {"basePathType", "temp"}}),
             command("getFileContent",
                     {{"filePath", "read.txt"}, {"basePathType", "log"}, {"toBase64", false}}),
             command("saveFileContent", {{"filePath", "unzipped"},
                                         {"basePathType", "temp"},
                                         {"isZipData", true},
                                         {"fileDataB64", QString::fromLatin1(archive.toBase64())}}),
             command("setRights", {{"fileDataB64", "YWRtaW4JL2EK"}}),
             command("saveFileContent",
                     {{"filePath", "made/here/b.bin"},
                      {"basePathType", "temp"},
                      {"isBinary", true},
                      {"fileDataB64", QString::fromLatin1(binary.toBase64())}})}),
        qPrintable(s.serverStderr()));
    const auto ok = [&s](const char *name) {
        const QJsonObject r = s.result(QString::fromLatin1(name));
        return r.value("errorCode").toInt(-1) == 0 &&
               r.value("errorDescription").toString().isEmpty();
    };
    QVERIFY(ok("createAndEmptyDirectory"));
    QVERIFY(ok("saveFileContent"));
    QCOMPARE(readBytes(root.tempDir() + "made/here/a.txt"), QByteArray("hello\n"));
    QVERIFY(ok("getDirectoryFiles"));
    QCOMPARE(s.result("getDirectoryFiles").value("files").toString(), ".,..,a.txt");
    QVERIFY(ok("getFileContent"));
    QCOMPARE(s.result("getFileContent").value("fileData").toString(), "café\n");
    QCOMPARE(s.result("saveFileContent", 1).value("errorCode").toInt(-1), 0);
    QCOMPARE(readBytes(root.tempDir() + "unzipped/pkg/readme.txt"), QByteArray("unpacked\n"));
    QVERIFY(!QFileInfo::exists(root.tempDir() + "unzipped/tmp_zip"));
    QVERIFY(ok("setRights"));
    QCOMPARE(readBytes(root.settingsDir() + "qltRestClientRightsQt.conf"),
             QByteArray("admin\t/a\n"));
    QCOMPARE(s.result("saveFileContent", 2).value("errorCode").toInt(-1), 0);
    QCOMPARE(readBytes(root.tempDir() + "made/here/b.bin"), binary);
}

// The client writes a large file over and over and is killed at random moments, most of them
// right around the final step of a write; the target must always be whole, old or new.
void tst_commands::fileTargetSurvivesKilledClient() {
    TempDataRoot root;
    QRandomGenerator random(QRandomGenerator::global()->generate());
    QByteArray contents[2];
    for (QByteArray &content : contents) {
        content.resize(2 * 1024 * 1024);
        for (char &c : content) c = char(random.bounded(256));
    }
    const QString target = root.tempDir() + "big.bin";
    const QString temp = target + ".tmp";
    writeBytes(target, contents[0]);
    QList<QJsonObject> writes;
    for (int i = 1; i <= 10; ++i) {
        writes << ScriptedSession::command(
            "saveFileContent",
            {{{"filePath", "big.bin"},
              {"basePathType", "temp"},
              {"isBinary", true},
              {"fileDataB64", QString::fromLatin1(contents[i % 2].toBase64())}}});
    }
    const QString script = root.path() + "script.jsonl";
    QVERIFY(ScriptedSession::writeScript(script, writes));

    QFileSystemWatcher watcher({root.tempDir()});
    QSignalSpy changes(&watcher, &QFileSystemWatcher::directoryChanged);
    // The server leaves once its script is done; the next round starts a new one.
    std::unique_ptr<StandInProcess> server;
    const int rounds = 80;
    int killedAfterMove = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!server || !server->isRunning()) {
            server = std::make_unique<StandInProcess>();
            QVERIFY2(server->start(testpaths::devServerBinary(),
                                   {"--port", "0", "--script", script, "--timeout", "120"}),
                     qPrintable(server->diagnostics()));
            root.pointAtServer(server->port());
        }
        // A temporary file left by the last kill must not count as the next write's.
        QFile::remove(temp);
        QProcess client;
        QVERIFY(root.startClient(client));
        // Let a few writes of this round complete, then kill just after the next one has its
        // verified temporary file: the moment it is moved into place.
        const int writesFirst = int(random.bounded(3));
        const auto replies = [&server] {
            return server->count(QStringLiteral("typeCall"), QStringLiteral("saveFileContent"));
        };
        const int repliesBefore = replies();
        QElapsedTimer limit;
        limit.start();
        while ((replies() - repliesBefore < writesFirst || !QFileInfo::exists(temp)) &&
               server->isRunning()) {
            QVERIFY2(limit.elapsed() < 20000, "the client stopped writing");
            changes.wait(100);
        }
        QElapsedTimer spin;
        spin.start();
        const qint64 delayNs = qint64(random.bounded(3000)) * 1000;
        while (spin.nsecsElapsed() < delayNs) {
        }
        ::kill(pid_t(client.processId()), SIGKILL);
        QVERIFY(client.waitForFinished(10000));
        if (!QFileInfo::exists(temp)) ++killedAfterMove;
        const QByteArray now = readBytes(target);
        QVERIFY2(now == contents[0] || now == contents[1],
                 qPrintable(QStringLiteral("round %1: the target has %2 bytes of neither content")
                                .arg(round)
                                .arg(now.size())));
        // The backup may be missing for a moment (before it is linked anew), never partial.
        if (QFileInfo::exists(target + ".old")) {
            const QByteArray old = readBytes(target + ".old");
            QVERIFY(old == contents[0] || old == contents[1]);
        }
    }
    qInfo("%d of %d kills came after the verified file was moved into place", killedAfterMove,
          rounds);
}

void tst_commands::posCommands() {
    TempDataRoot root;
    PosDaemonProcess daemon;
    QVERIFY2(daemon.start({"--mode", "slow:300"}), qPrintable(daemon.diagnostics()));
    ScriptedSession s(root);
    s.addSettings(QStringLiteral("[POS]\npos_port=%1\n").arg(daemon.port()));
    const auto awaitReplies = [](int n) {
        return QJsonObject{{"devserver", QJsonObject{{"expectReplies", n}}}};
    };
    QVERIFY2(s.run({ScriptedSession::command("testConnection"),
                    ScriptedSession::command(posCommand,
                                             {QJsonObject{{"cmd", "PING"}, {"noClose", true}}}),
                    ScriptedSession::command("doAccClose"),
                    // The next two arrive together: the second waits for the first.
                    awaitReplies(0),
                    ScriptedSession::command(posCommand, {QJsonObject{{"cmd", "WRONG"}}}),
                    awaitReplies(2),
                    ScriptedSession::command(
                        posCommand, {QJsonObject{{"cmd", "INFO"}, {"okCodeIfReceive2X", 200}}})}),
             qPrintable(s.serverStderr()));
    const QJsonObject test = s.result("testConnection");
    QCOMPARE(test.value("errorCode").toInt(), 0);
    QCOMPARE(test.value("deamonVersionInt").toInt(), 1523);
    QCOMPARE(test.value("deamonReady").toBool(), true);
    QCOMPARE(s.result(posCommand, 0).value("errorCode").toInt(), 0);
    const QJsonObject close = s.result("doAccClose");
    QCOMPARE(close.value("errorCode").toInt(), 0);
    QCOMPARE(close.value("firstPartCode").toInt(), 200);
    QCOMPARE(s.result(posCommand, 1).value("errorCode").toInt(), 403);
    QCOMPARE(s.result(posCommand, 1).value("errorDescription").toString(),
             QStringLiteral("403 Not allowed here\n"));
    QCOMPARE(s.result(posCommand, 2).value("received").toString(),
             QStringLiteral("line one\nline two\n//END\n"));
    QTRY_COMPARE(
        daemon.lines(true),
        (QStringList{"1:ACCCLOSE", "1:BYE", "2:SETUSR 1 1", "2:PING", "2:ACCCLOSE", "2:WRONG",
                     "2:ACCCLOSE", "2:BYE", "3:SETUSR 1 1", "3:INFO", "3:ACCCLOSE", "3:BYE"}));
}

void tst_commands::posBadRepliesKeepTheLink_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<int>("firstPartCode");
    QTest::newRow("short") << "short" << 20 << 20;
    QTest::newRow("binary") << "binary" << 0 << 200;
    QTest::newRow("empty then close") << "empty-then-close" << 404 << 0;
    QTest::newRow("not found") << "notfound" << 404 << 0;
}

void tst_commands::posBadRepliesKeepTheLink() {
    QFETCH(QString, mode);
    TempDataRoot root;
    PosDaemonProcess daemon;
    QVERIFY2(daemon.start({"--mode", mode}), qPrintable(daemon.diagnostics()));
    ScriptedSession s(root);
    s.addSettings(QStringLiteral("[POS]\npos_port=%1\n").arg(daemon.port()));
    const QJsonObject cmd = ScriptedSession::command(posCommand, {QJsonObject{{"cmd", "PING"}}});
    QVERIFY2(s.run({cmd, cmd, ScriptedSession::command("getNodes")}), qPrintable(s.serverStderr()));
    for (int i = 0; i < 2; ++i) {
        QTEST(s.result(posCommand, i).value("errorCode").toInt(), "errorCode");
        QTEST(s.result(posCommand, i).value("firstPartCode").toInt(), "firstPartCode");
    }
    QCOMPARE(s.result("getNodes").value("errorCode").toInt(), 599);
    QCOMPARE(s.count("event", "registered"), 1);
}

// Slow (about 25 s): the keep-alive timer first fires 20 s after start, so the script waits
// 14 s and then runs an exchange that waits 10 s for a silent daemon, across that tick.
void tst_commands::posKeepAliveDuringSlowReply() {
    TempDataRoot root;
    PosDaemonProcess daemon;
    QVERIFY2(daemon.start({"--mode", "slow:12000"}), qPrintable(daemon.diagnostics()));
    ScriptedSession s(root);
    s.addSettings(QStringLiteral("[POS]\npos_port=%1\n").arg(daemon.port()));
    s.addServerArguments({"--keepalive", "answer"});
    QVERIFY2(s.run({QJsonObject{{"devserver", QJsonObject{{"sleepMs", 14000}}}},
                    ScriptedSession::command(posCommand, {QJsonObject{{"cmd", "PING"}}})},
                   90),
             qPrintable(s.serverStderr()));
    int keepAlive = -1, reply = -1;
    const QList<QJsonObject> seen = s.received();
    for (int i = 0; i < seen.size(); ++i) {
        if (seen[i].value("frame").toString() == QLatin1String("_KA_") && keepAlive < 0)
            keepAlive = i;
        if (seen[i].value("typeCall").toString() == posCommand) reply = i;
    }
    QVERIFY2(keepAlive >= 0 && reply > keepAlive, "keep-alive not sent during the exchange");
    QVERIFY2(s.count("event", "registered") == 1 && s.count("event", "disconnected") == 0,
             qPrintable(root.todaysLogLines()
                            .filter(QStringLiteral("sendKeepAliveMessage"))
                            .join(QLatin1Char('\n'))));
    QCOMPARE(s.result(posCommand).value("firstPartCode").toInt(), 0);
    QVERIFY(s.clientLog().contains(QStringLiteral("No reply from the POS daemon")));
}

// The process, ping, information, deployment and placeholder commands, once each.
void tst_commands::systemCommands() {
    TempDataRoot root;
    SleepProcesses sleeps;
    QString byPid;
    QString byName;
    QProcess *first = sleeps.start(&byPid);
    QProcess *second = sleeps.start(&byName);
    QVERIFY(first && second);
    // Taken now: once a process has ended, QProcess no longer knows its PID.
    const qint64 firstPid = first->processId();
    const qint64 secondPid = second->processId();
    const QByteArray license("\x00lic\x00", 5);
    using S = ScriptedSession;
    ScriptedSession session(root);
    session.addSettings(QStringLiteral("[Various]\ndiffPLU_PluPK=4711\n"));
    QVERIFY2(
        session.run({
            S::command("getProcesses", {{{"processFilter", byPid.mid(6)}}}),
            S::command("getProcessInfo", {{{"processName", byName.mid(6)}}}),
            S::command("killPidById", {{{"processPID", firstPid}}}),
            S::command("killProcessByName", {{{"processName", byName}}}),
            S::command("pingDevices", {{{"ipFilterString", "127.0.0.1"}, {"pingHops", 1}}}),
            S::command("getClientInfo", {{{"infoType", "upTime"}}}),
            S::command("getVariousSetting", {{{"settingName", "diffPLU_PluPK"}}}),
            S::command("getPosInfo", {{{"InfoType", "QuilletOnlineTime"}}}),
            S::command("pushLicense", {{{"path", "e2e.lic"},
                                        {"licenseData", QString::fromLatin1(license.toBase64())}}}),
            S::command("getNodes"),
            S::command("rebootDevice", {{{"nodeID", 1}}}),
            S::command("restartClient"),
        }),
        qPrintable(session.serverStderr()));
    const auto text = [&session](const char *command, const char *key) {
        return session.result(QLatin1String(command)).value(QLatin1String(key)).toString();
    };
    QVERIFY(text("getProcesses", "processesResult").contains(byPid));
    QVERIFY(text("getProcessInfo", "processesResult").contains(byName));
    QCOMPARE(errorCode(session.result("killPidById")), 0);
    QCOMPARE(text("killProcessByName", "killProcessResult"),
             QStringLiteral("Killed pids: %1, failed to kill pids: none").arg(secondPid));
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, 10000);
    const QJsonObject ping = session.result("pingDevices")
                                 .value(QStringLiteral("PING_Results"))
                                 .toArray()
                                 .first()
                                 .toObject();
    QCOMPARE(ping.value(QStringLiteral("Received")).toInt(), 1);
    QVERIFY(text("getClientInfo", "infoResult").contains(QLatin1String("second")));
    QCOMPARE(text("getVariousSetting", "settingValue"), QStringLiteral("4711"));
    QVERIFY(session.result("getPosInfo").value(QStringLiteral("infoTypeResults")).isDouble());
    QCOMPARE(errorCode(session.result("pushLicense")), 0);
    QCOMPARE(readBytes(root.tempDir() + "licenses/e2e.lic"), license);
    for (const char *placeholder : {"getNodes", "rebootDevice", "restartClient"})
        QCOMPARE(errorCode(session.result(QLatin1String(placeholder))), 599);
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
