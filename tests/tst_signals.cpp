#include <signal.h>

#include <QProcess>
#include <QtTest>

#include "tempdataroot.h"
#include "testpaths.h"

// The real client binary, ended by signals. It runs under a tiny shell that reports how the
// client ended, since a crash signal is only visible to the parent.
class tst_signals : public QObject {
    Q_OBJECT
private slots:
    void endsBySignal_data();
    void endsBySignal();
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
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("\"$0\" & pid=$!; echo \"pid=$pid\"; wait $pid; echo \"status=$?\""),
                 testpaths::clientBinary()});
    QVERIFY(shell.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(shell.canReadLine(), 10000);
    const qint64 pid = QString::fromLatin1(shell.readLine()).trimmed().mid(4).toLongLong();
    QVERIFY(pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(root.todaysLogLines().filter(QStringLiteral("Started Tessaron")).size() == 1,
                             10000);
    QCOMPARE(::kill(pid_t(pid), signalNumber), 0);
    QVERIFY(shell.waitForFinished(15000));
    const QString out = QString::fromLatin1(shell.readAllStandardOutput());
    QVERIFY2(out.contains(QStringLiteral("\nquit the service by signal(%1).\n").arg(signalNumber)),
             qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("status=%1\n").arg(expectedStatus)), qPrintable(out));
}

QTEST_GUILESS_MAIN(tst_signals)
#include "tst_signals.moc"
