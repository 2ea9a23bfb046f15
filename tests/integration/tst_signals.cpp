#include <signal.h>

#include <QProcess>
#include <QtTest>

#include "posdaemonprocess.h"
#include "scriptedsession.h"
#include "standinprocess.h"
#include "tempdataroot.h"
#include "testpaths.h"

// The real client binary, ended by signals. It runs under a tiny shell that reports how the
// client ended, since a crash signal is only visible to the parent.
class tst_signals : public QObject {
    Q_OBJECT
  private slots:
    void endsBySignal_data();
    void endsBySignal();
    void stopLetsTheRunningCommandAnswer();
};

void tst_signals::endsBySignal_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("expectedStatus");  // shell status: exit code, or 128 + signal
    QTest::newRow("SIGTERM") << int(SIGTERM) << 0;
    QTest::newRow("SIGINT") << int(SIGINT) << 0;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 0;
    QTest::newRow("SIGQUIT") << int(SIGQUIT) << 0;
    QTest::newRow("SIGSEGV dies by it") << int(SIGSEGV) << 128 + SIGSEGV;
    QTest::newRow("SIGABRT dies by it") << int(SIGABRT) << 128 + SIGABRT;
}

void tst_signals::endsBySignal() {
    QFETCH(int, signalNumber);
    QFETCH(int, expectedStatus);
    TempDataRoot root;
    root.pointAtClosedServerPort();

    QProcess shell;
    shell.setProcessChannelMode(QProcess::SeparateChannels);
    shell.start(
        QStringLiteral("/bin/bash"),
        {QStringLiteral("-c"),
         QStringLiteral("\"$0\" & pid=$!; echo \"pid=$pid\"; wait $pid; echo \"status=$?\""),
         testpaths::clientBinary()});
    QVERIFY(shell.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(shell.canReadLine(), 10000);
    const qint64 pid = QString::fromLatin1(shell.readLine()).trimmed().mid(4).toLongLong();
    QVERIFY(pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        root.todaysLogLines().filter(QStringLiteral("Started Tessaron")).size() == 1, 10000);
    QCOMPARE(::kill(pid_t(pid), signalNumber), 0);
    QVERIFY(shell.waitForFinished(15000));
    const QString out = QString::fromLatin1(shell.readAllStandardOutput());
    QVERIFY2(out.contains(QStringLiteral("\nquit the service by signal(%1).\n").arg(signalNumber)),
             qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("status=%1\n").arg(expectedStatus)), qPrintable(out));
}

// SIGTERM while a command waits for the POS daemon: the command finishes, its reply reaches the
// server, and only then does the client end, with exit code 0.
void tst_signals::stopLetsTheRunningCommandAnswer() {
    TempDataRoot root;
    PosDaemonProcess daemon;
    QVERIFY2(daemon.start({"--mode", "slow:3000"}), qPrintable(daemon.diagnostics()));
    const QString script = root.path() + QStringLiteral("script.jsonl");
    QVERIFY(ScriptedSession::writeScript(
        script, {ScriptedSession::command(QStringLiteral("deamonDirect"),
                                          {QJsonObject{{"cmd", "PING"}}})}));
    StandInProcess server;
    QVERIFY2(server.start(testpaths::devServerBinary(),
                          {"--port", "0", "--script", script, "--timeout", "60"}),
             qPrintable(server.diagnostics()));
    root.pointAtServer(
        server.port(),
        QStringLiteral("[POS]\npos_host=127.0.0.1\npos_port=%1\n").arg(daemon.port()));
    QProcess client;
    client.start(testpaths::clientBinary(), {});
    QVERIFY(client.waitForStarted());
    // The command runs once the client has reached the daemon.
    QTRY_VERIFY_WITH_TIMEOUT(daemon.connections() > 0, 20000);
    QCOMPARE(::kill(pid_t(client.processId()), SIGTERM), 0);
    QVERIFY(client.waitForFinished(15000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    QVERIFY(client.readAllStandardOutput().contains("\nquit the service by signal(15).\n"));
    // The server ends with exit code 0 once every reply of its script has arrived.
    QTRY_VERIFY_WITH_TIMEOUT(!server.isRunning(), 10000);
    QVERIFY2(server.exitedCleanly(), qPrintable(server.diagnostics()));
    const QVector<QJsonObject> replies =
        server.linesWith(QStringLiteral("typeCall"), QStringLiteral("deamonDirect"));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first()[QLatin1String("data")][0][QLatin1String("errorCode")].toInt(-1), 0);
}

QTEST_GUILESS_MAIN(tst_signals)
#include "tst_signals.moc"
