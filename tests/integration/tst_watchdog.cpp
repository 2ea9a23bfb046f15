#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>
#include <cstddef>
#include <cstring>

#include "standinprocess.h"
#include "tempdataroot.h"
#include "testpaths.h"

namespace {
// Stands in for systemd's notification socket: a bound AF_UNIX datagram socket that collects
// every datagram it receives. A name starting with '@' binds in the abstract namespace.
class NotifySocket : public QObject {
  public:
    explicit NotifySocket(const QByteArray &name) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        const bool abstract = name.startsWith('@');
        if (abstract) address.sun_path[0] = '\0';
        const auto length =
            socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()) + (abstract ? 0 : 1));
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
        if (!m_bound) return;
        auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) >= 0)
                messages.append(QByteArray(buffer, int(n)));
        });
    }
    ~NotifySocket() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool isBound() const { return m_bound; }
    int count(const QByteArray &message) const { return messages.count(message); }

    QList<QByteArray> messages;

  private:
    int m_fd = -1;
    bool m_bound = false;
};
}  // namespace

// The real client binary started as systemd starts a Type=notify service, with a datagram
// socket in systemd's place.
class tst_watchdog : public QObject {
    Q_OBJECT
  private slots:
    void notifiesServiceManager_data();
    void notifiesServiceManager();
    void statusFollowsTheLink_data();
    void statusFollowsTheLink();
    void consoleLinesCarryPriorities();
    void ignoresUnusableSocketName_data();
    void ignoresUnusableSocketName();
};

void tst_watchdog::notifiesServiceManager_data() {
    QTest::addColumn<bool>("abstractName");
    QTest::addColumn<QString>("watchdogUsec");  // empty: not set
    QTest::addColumn<bool>("expectPings");
    QTest::newRow("watchdog at half the period") << false << QStringLiteral("1000000") << true;
    QTest::newRow("abstract socket name") << true << QStringLiteral("1000000") << true;
    QTest::newRow("no watchdog period") << false << QString() << false;
    QTest::newRow("zero period") << false << QStringLiteral("0") << false;
    QTest::newRow("unparsable period") << false << QStringLiteral("soon") << false;
}

void tst_watchdog::notifiesServiceManager() {
    QFETCH(bool, abstractName);
    QFETCH(QString, watchdogUsec);
    QFETCH(bool, expectPings);
    TempDataRoot root;
    root.pointAtClosedServerPort();

    QTemporaryDir socketDir;
    QVERIFY(socketDir.isValid());
    const QString socketName =
        abstractName ? QStringLiteral("@qlt-watchdog-%1").arg(QCoreApplication::applicationPid())
                     : socketDir.filePath(QStringLiteral("notify"));
    NotifySocket systemd(socketName.toLocal8Bit());
    QVERIFY(systemd.isBound());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("WATCHDOG_USEC"));
    env.remove(QStringLiteral("WATCHDOG_PID"));
    env.insert(QStringLiteral("NOTIFY_SOCKET"), socketName);
    if (!watchdogUsec.isEmpty()) env.insert(QStringLiteral("WATCHDOG_USEC"), watchdogUsec);
    QProcess client;
    client.setProcessEnvironment(env);
    client.start(testpaths::clientBinary(), QStringList());
    QVERIFY(client.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(systemd.count("READY=1") == 1, 15000);
    QVERIFY(!systemd.messages.first().startsWith("WATCHDOG"));
    if (expectPings) {
        // Half of one second: three pings take 1.5 s, at the full period they would take 3 s.
        QTRY_VERIFY_WITH_TIMEOUT(systemd.count("WATCHDOG=1") >= 3, 2500);
    } else {
        QTest::qWait(1500);  // three half periods of the rows above: long enough to see none
        QCOMPARE(systemd.count("WATCHDOG=1"), 0);
    }

    client.terminate();
    QVERIFY(client.waitForFinished(15000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QTRY_COMPARE_WITH_TIMEOUT(systemd.messages.last(), QByteArray("STOPPING=1"), 5000);
    QCOMPARE(systemd.count("READY=1"), 1);
    QCOMPARE(systemd.count("STOPPING=1"), 1);
}

void tst_watchdog::statusFollowsTheLink_data() {
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<QStringList>("statuses");  // %1: the server's port
    QTest::newRow("server down") << false
                                 << QStringList{"Reconnecting in 3 s: ConnectionRefusedError"};
    QTest::newRow("registered, paused, registered again")
        << true << QStringList{"Connecting to 127.0.0.1:%1",   "Connected to 127.0.0.1:%1",
                               "Registered with 127.0.0.1:%1", "Paused by the server for 2 s",
                               "Pause over, reconnecting",     "Connecting to 127.0.0.1:%1",
                               "Connected to 127.0.0.1:%1",    "Registered with 127.0.0.1:%1"};
}

// `systemctl status` tells a technician what the link is doing.
void tst_watchdog::statusFollowsTheLink() {
    QFETCH(bool, serverUp);
    QFETCH(QStringList, statuses);
    TempDataRoot root;
    root.pointAtClosedServerPort();
    StandInProcess server;
    if (serverUp) {
        QVERIFY2(server.start(testpaths::devServerBinary(),
                              {"--port", "0", "--register", "sleep:2,accept", "--timeout", "60"}),
                 qPrintable(server.diagnostics()));
        root.pointAtServer(server.port());
    }
    QTemporaryDir socketDir;
    const QString socketName = socketDir.filePath(QStringLiteral("notify"));
    NotifySocket systemd(socketName.toLocal8Bit());
    QVERIFY(systemd.isBound());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), socketName);
    QProcess client;
    client.setProcessEnvironment(env);
    client.start(testpaths::clientBinary(), QStringList());
    QVERIFY(client.waitForStarted());
    QList<QByteArray> expected;
    for (const QString &status : statuses)
        expected << "STATUS=" + (serverUp ? status.arg(server.port()) : status).toUtf8();
    const auto seen = [&systemd] {
        QList<QByteArray> lines;
        for (const QByteArray &message : systemd.messages)
            if (message.startsWith("STATUS=")) lines << message;
        return lines;
    };
    // The statuses in the order the link went through them; others may come between.
    const auto inOrder = [&] {
        int matched = 0;
        for (const QByteArray &line : seen())
            if (matched < expected.size() && line == expected.at(matched)) ++matched;
        return matched;
    };
    QVERIFY2(
        QTest::qWaitFor([&] { return inOrder() == expected.size(); }, 20000),
        QByteArray("expected in order: " + expected.join(" | ") + "; seen: " + seen().join(" | "))
            .constData());
    client.terminate();
    QVERIFY(client.waitForFinished(15000));
}

// With its console in the journal, every line the client prints says how much it matters.
void tst_watchdog::consoleLinesCarryPriorities() {
    TempDataRoot root;
    root.pointAtClosedServerPort();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
    QProcess client;
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start(testpaths::clientBinary(), QStringList());
    QVERIFY(client.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        root.todaysLogLines().filter(QStringLiteral("ConnectionRefusedError")).size() >= 1, 15000);
    client.terminate();
    QVERIFY(client.waitForFinished(15000));
    const QStringList lines =
        QString::fromUtf8(client.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList unmarked;
    for (const QString &line : lines)
        if (!QRegularExpression(QStringLiteral("^<[0-7]>")).match(line).hasMatch() &&
            !line.startsWith(QLatin1String("quit the service")))
            unmarked << line;
    QVERIFY2(unmarked.isEmpty(), qPrintable(unmarked.join(QLatin1Char('\n'))));
    QVERIFY(!lines.filter(QRegularExpression(QStringLiteral("^<4>.*ConnectionRefusedError")))
                 .isEmpty());
    QVERIFY(!lines.filter(QRegularExpression(QStringLiteral("^<5>.*Failed to connect"))).isEmpty());
    QVERIFY(!lines.filter(QRegularExpression(QStringLiteral("^<6>.*Started Tessaron"))).isEmpty());
}

void tst_watchdog::ignoresUnusableSocketName_data() {
    QTest::addColumn<QString>("socketName");
    QTest::newRow("relative path") << QStringLiteral("notify");
    QTest::newRow("longer than a socket address")
        << QStringLiteral("/tmp/") + QString(200, QLatin1Char('n'));
    QTest::newRow("abstract, longer than a socket address")
        << QStringLiteral("@") + QString(200, QLatin1Char('n'));
}

// The client says so in its log and runs on as without systemd.
void tst_watchdog::ignoresUnusableSocketName() {
    QFETCH(QString, socketName);
    TempDataRoot root;
    root.pointAtClosedServerPort();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), socketName);
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
    QProcess client;
    client.setProcessEnvironment(env);
    client.start(testpaths::clientBinary(), QStringList());
    QVERIFY(client.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        root.todaysLogLines().filter(QStringLiteral("Started Tessaron")).size() == 1, 15000);
    QCOMPARE(root.todaysLogLines().filter(QStringLiteral("is not a usable socket name")).size(), 1);
    client.terminate();
    QVERIFY(client.waitForFinished(15000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_watchdog)
#include "tst_watchdog.moc"
