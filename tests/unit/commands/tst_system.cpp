#include <signal.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/processcommands.h"
#include "commands/utilsmodel.h"
#include "faketools.h"
#include "sleepprocesses.h"
#include "testpaths.h"

namespace {
const QString psHeader = QStringLiteral("UID          PID    PPID  C STIME TTY          TIME CMD");

QString psLine(int pid, const QString &command) {
    return QStringLiteral("root     %1       1  0 12:00 ?        00:00:00 %2")
        .arg(pid)
        .arg(command);
}

int code(const QJsonObject &o) { return o.value(QStringLiteral("errorCode")).toInt(-1); }
QString text(const QJsonObject &o, const char *key) {
    return o.value(QLatin1String(key)).toString();
}

QByteArray sample(const QString &name) {
    QFile f(testpaths::dataDir() + QStringLiteral("/ping/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString ownPid() { return QString::number(::getpid()); }
}  // namespace

class tst_system : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();

    void findAndKill_data();
    void findAndKill();
    void killPidByIdRules_data();
    void killPidByIdRules();
    void killByName_data();
    void killByName();
    void pidMatcher_data();
    void pidMatcher();
    void processFilter_data();
    void processFilter();
    void filterMatchesLikeGrep_data();
    void filterMatchesLikeGrep();

    void pingLoopback_data();
    void pingLoopback();
    void floodPing_data();
    void floodPing();
    void pingSummary_data();
    void pingSummary();
    void floodFallback_data();
    void floodFallback();
    void pingRefuses_data();
    void pingRefuses();
    void pingEveryAddress();

    void formatDuration_data();
    void formatDuration();
    void clientInfo_data();
    void clientInfo();
    void variousSetting_data();
    void variousSetting();
    void posInfo_data();
    void posInfo();

    void pushLicense_data();
    void pushLicense();
    void pushLicenseKillsTheProcess();
    void placeholders_data();
    void placeholders();

  private:
    // A stand-in for a system tool, found first on the search path; it logs its arguments.
    void fakeTool(const QString &name, const QString &body);
    QStringList callsOf(const QString &name) const { return m_tools->callsOf(name); }
    QString marker() const { return m_root->path() + QStringLiteral("marker"); }

    ClientDataRoot *m_root = nullptr;
    FakeTools *m_tools = nullptr;
    QByteArray m_path;
    SleepProcesses *m_sleeps = nullptr;
};

void tst_system::init() {
    m_root = new ClientDataRoot;
    m_path = qgetenv("PATH");
    m_sleeps = new SleepProcesses;
}

void tst_system::cleanup() {
    qputenv("PATH", m_path);
    delete m_sleeps;
    m_sleeps = nullptr;
    delete m_tools;
    m_tools = nullptr;
    delete m_root;
    m_root = nullptr;
}

void tst_system::fakeTool(const QString &name, const QString &body) {
    if (!m_tools) {
        m_tools = new FakeTools;
        qputenv("PATH", QFile::encodeName(m_tools->directory()) + ':' + m_path);
    }
    QVERIFY(m_tools->add(name, body));
    // A real tool run by mistake (kill!) must never happen here.
    QCOMPARE(QStandardPaths::findExecutable(name), m_tools->directory() + QLatin1Char('/') + name);
}

// --- processes

void tst_system::findAndKill_data() {
    QTest::addColumn<bool>("byName");
    QTest::newRow("by name") << true;
    QTest::newRow("by PID") << false;
}

void tst_system::findAndKill() {
    QFETCH(bool, byName);
    QString name;
    QProcess *sleeper = m_sleeps->start(&name);
    QVERIFY(sleeper);
    const int pid = int(sleeper->processId());
    QCOMPARE(utils.findPidsByName(name).intList, QList<int>{pid});
    const QJsonObject info = utils.getProcessInfo({{QStringLiteral("processName"), name.mid(6)}});
    QCOMPARE(code(info), 0);
    QVERIFY(text(info, "processesResult").startsWith(QLatin1String("UID ")));
    QVERIFY(text(info, "processesResult").contains(name));

    QJsonObject killed;
    if (byName) {
        killed = utils.killProcessByName({{QStringLiteral("processName"), name}});
        QCOMPARE(text(killed, "killProcessResult"),
                 QStringLiteral("Killed pids: %1, failed to kill pids: none").arg(pid));
    } else {
        killed = utils.killPidById({{QStringLiteral("processPID"), qint64(pid)}});
        QCOMPARE(text(killed, "processesResult"), QString());
    }
    QCOMPARE(code(killed), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sleeper->state(), QProcess::NotRunning, 10000);
    QCOMPARE(sleeper->exitStatus(), QProcess::CrashExit);
    QVERIFY(utils.findPidsByName(name).intList.isEmpty());
}

// Values that name a process stand for it: "self", "parent", "child" (a sleep this test
// started) or "gone" (a PID this test's child had, now free); "+2^32" adds 2^32 to it, "as
// double" sends it as a JSON double. Rows marked for a PID namespace signal PIDs this test did
// not start, or would signal every process should the guard fail: they run only where the test
// is PID 1 of a namespace and session of its own (the ctest entry system_pidnamespace). The
// description is a part of the expected one, with %1 standing for the PID.
void tst_system::killPidByIdRules_data() {
    QTest::addColumn<QVariant>("pid");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedDescription");
    QTest::addColumn<bool>("namespaceOnly");
    const QString missing = QStringLiteral("toKillPID parameter not found!");
    const QString below = QStringLiteral("Can't kill a PID below 1026");
    const QString fraction = QStringLiteral("Can't kill PID %1: not a whole number");
    const QString self = QStringLiteral("Can't kill the client or its parent (PID %1)");
    const QString above = QStringLiteral(": above the highest PID ");
    QTest::newRow("missing") << QVariant() << 404 << missing << false;
    QTest::newRow("as text") << QVariant("4242") << 404 << missing << false;
    QTest::newRow("as boolean") << QVariant(true) << 404 << missing << false;
    QTest::newRow("1025") << QVariant(qint64(1025)) << 906 << below << false;
    QTest::newRow("1025.4") << QVariant(1025.4) << 906 << fraction.arg(1025.4) << false;
    QTest::newRow("1026.5") << QVariant(1026.5) << 906 << fraction.arg(1026.5) << false;
    QTest::newRow("negative") << QVariant(qint64(-1)) << 906 << below << false;
    QTest::newRow("the client") << QVariant("self") << 905 << self << false;
    QTest::newRow("its parent") << QVariant("parent") << 905 << self << false;
    QTest::newRow("child") << QVariant("child") << 0 << "" << false;
    QTest::newRow("child as double") << QVariant("child as double") << 0 << "" << false;
    // Cut to 32 bits these would name the child.
    QTest::newRow("child+2^32") << QVariant("child+2^32") << 906 << above << false;
    QTest::newRow("child+2^32 as double")
        << QVariant("child+2^32 as double") << 906 << above << false;
    QTest::newRow("huge double") << QVariant(1e300) << 906 << above << false;
    // Cut to 32 bits these would be -1 (every process) and 0 (the caller's process group).
    QTest::newRow("2^32-1") << QVariant(qint64(4294967295)) << 906 << above << true;
    QTest::newRow("2^32-1 as double") << QVariant(4294967295.0) << 906 << above << true;
    QTest::newRow("2^32") << QVariant(qint64(4294967296)) << 906 << above << true;
    // Not refused: signalled, whether or not a process has it.
    QTest::newRow("1026") << QVariant(qint64(1026)) << -1 << "" << true;
    QTest::newRow("gone") << QVariant("gone") << 900 << "kill: (%1) - No such process" << true;
}

void tst_system::killPidByIdRules() {
    QFETCH(QVariant, pid);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedDescription);
    QFETCH(bool, namespaceOnly);
    if (namespaceOnly && ::getpid() != 1) QSKIP("runs only as PID 1 of a PID namespace");
    QString name;
    QProcess *child = m_sleeps->start(&name);
    QVERIFY(child);
    const QString who = pid.userType() == QMetaType::QString ? pid.toString() : QString();
    QVariant sent = pid;
    if (who == QLatin1String("self") || who == QLatin1String("parent")) {
        sent = qint64(who == QLatin1String("self") ? ::getpid() : ::getppid());
        if (sent.toLongLong() < 1026) {  // refused by the floor already
            expectedCode = 906;
            expectedDescription = QStringLiteral("Can't kill a PID below 1026");
        }
    } else if (who == QLatin1String("gone")) {
        QProcess *gone = m_sleeps->start(&name);
        QVERIFY(gone);
        sent = gone->processId();
        gone->kill();
        QVERIFY(gone->waitForFinished());
    } else if (who.startsWith(QLatin1String("child"))) {
        const qint64 wrapped = who.contains(QLatin1String("2^32")) ? qint64(1) << 32 : 0;
        sent = child->processId() + wrapped;
        if (who.endsWith(QLatin1String("as double"))) sent = sent.toDouble();
    }
    QVariantMap data;
    if (sent.isValid()) data.insert(QStringLiteral("processPID"), sent);
    const bool huge = sent.userType() == QMetaType::Double && !(qAbs(sent.toDouble()) < 1e18);
    const qint64 sentPid = huge ? -1 : sent.toLongLong();
    if (sentPid == 1026) expectedCode = ::kill(1026, 0) == 0 ? 0 : 900;
    if (expectedCode == 900 && expectedDescription.isEmpty())
        expectedDescription = QStringLiteral("kill: (%1) - No such process");
    expectedDescription.replace(QLatin1String("%1"), QString::number(sentPid));
    // The commands need no globals: a log of their own gets the kills.
    const QString logDir = m_root->path() + QStringLiteral("ownLog");
    QVERIFY(QDir().mkpath(logDir));
    const logger log(logDir);
    const QJsonObject reply = processCommands(log).killPidById(data);
    QCOMPARE(code(reply), expectedCode);
    QVERIFY2(text(reply, "errorDescription").contains(expectedDescription),
             qPrintable(text(reply, "errorDescription")));
    QCOMPARE(expectedDescription.isEmpty(), text(reply, "errorDescription").isEmpty());
    const bool childKilled = expectedCode == 0 && who.startsWith(QLatin1String("child"));
    QCOMPARE(child->waitForFinished(childKilled ? 10000 : 100), childKilled);
    QFile logFile(logformat::filePath(logDir, QDate::currentDate()));
    const QString logged =
        logFile.open(QIODevice::ReadOnly) ? QString::fromUtf8(logFile.readAll()) : QString();
    const bool signalled = expectedCode == 0 || expectedCode == 900;
    QCOMPARE(logged.contains(QStringLiteral("Sending SIGKILL to PID %1").arg(sentPid)), signalled);
    if (!signalled)
        QCOMPARE(reply.value(QStringLiteral("killProcessResult")), QJsonValue(QString()));
    QCOMPARE(::kill(::getppid(), 0), 0);
}

void tst_system::killByName_data() {
    QTest::addColumn<QVariant>("name");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedResult");  // "*": nothing killed, this process failed
    const QString none = QStringLiteral("Killed pids: none, failed to kill pids: none");
    QTest::newRow("nothing matches")
        << QVariant(QString("qlt-no-such-program-" + ownPid())) << 0 << none;
    QTest::newRow("missing") << QVariant() << 404 << "";
    QTest::newRow("not a text") << QVariant(5) << 404 << "";
    QTest::newRow("empty") << QVariant("") << 404 << "";
    // This very test binary: it must be spared, or no reply would ever go out.
    QTest::newRow("the client itself")
        << QVariant(QFileInfo(QCoreApplication::applicationFilePath()).fileName()) << 0 << "*";
}

void tst_system::killByName() {
    QFETCH(QVariant, name);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedResult);
    QVariantMap data;
    if (name.isValid()) data.insert(QStringLiteral("processName"), name);
    if (expectedResult == QLatin1String("*")) {
        // Killing by this binary's name would also end any other run of it on the machine.
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-xc"), name.toString()});
        QVERIFY(pgrep.waitForFinished());
        if (pgrep.readAll().trimmed() != "1") QSKIP("another run of this test binary is under way");
    }
    const QJsonObject reply = utils.killProcessByName(data);
    QCOMPARE(code(reply), expectedCode);
    const QString result = text(reply, "killProcessResult");
    if (expectedResult == QLatin1String("*")) {
        // A parent started through a shell may match too; it is spared as well.
        const QString prefix = QStringLiteral("Killed pids: none, failed to kill pids: ");
        QVERIFY2(result.startsWith(prefix), qPrintable(result));
        QVERIFY(result.mid(prefix.size()).split(QLatin1Char(',')).contains(ownPid()));
    } else {
        QCOMPARE(result, expectedResult);
    }
    if (expectedCode == 404)
        QCOMPARE(text(reply, "errorDescription"),
                 QStringLiteral("processName parameter not found!"));
}

void tst_system::pidMatcher_data() {
    QTest::addColumn<QString>("psOutput");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QList<int>>("expectedPids");
    const QStringList table = {psHeader,
                               psLine(2001, QStringLiteral("/bin/sleep 10")),
                               psLine(2002, QStringLiteral("/bin/sleep")),
                               psLine(2003, QStringLiteral("sleep 10")),
                               psLine(2004, QStringLiteral("/bin/sleeper")),
                               psLine(2005, QStringLiteral("/bin/sleeper 5")),
                               psLine(2006, QStringLiteral("/usr/bin/SLEEP 5")),
                               psLine(2007, QStringLiteral("/usr/bin/grep /bin/sleep")),
                               psLine(2008, QStringLiteral("/bin/sh /opt/run /usr/bin/sleep  3"))};
    const QString ps = table.join(QLatin1Char('\n')) + QLatin1Char('\n');
    QTest::newRow("path divider rule") << ps << "sleep" << 0 << QList<int>{2001, 2002, 2008};
    QTest::newRow("name with argument") << ps << "sleep 10" << 0 << QList<int>{2001};
    const QString special =
        QStringList{psHeader, psLine(2010, QStringLiteral("/opt/bin/pos[1] -d")),
                    psLine(2011, QStringLiteral("/opt/bin/pos( -d"))}
            .join(QLatin1Char('\n'));
    QTest::newRow("name is literal") << special << "pos[1]" << 0 << QList<int>{2010};
    QTest::newRow("name no regex") << special << "pos(" << 0 << QList<int>{2011};
    QTest::newRow("no PID column")
        << psLine(1, QStringLiteral("/bin/sleep")) << "sleep" << 599 << QList<int>{};
    QTest::newRow("no output") << ""
                               << "sleep" << 599 << QList<int>{};
}

void tst_system::pidMatcher() {
    QFETCH(QString, psOutput);
    QFETCH(QString, name);
    QFETCH(int, expectedCode);
    QFETCH(QList<int>, expectedPids);
    QFile out(m_root->path() + QStringLiteral("ps.out"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(psOutput.toUtf8());
    out.close();
    fakeTool(QStringLiteral("ps"), QStringLiteral("cat '%1'").arg(out.fileName()));
    const variousResultStruct found = utils.findPidsByName(name);
    QCOMPARE(found.errorCode, expectedCode);
    QCOMPARE(found.intList, expectedPids);
}

void tst_system::processFilter_data() {
    QTest::addColumn<QString>("filter");  // %1: the spawned sleep's seconds, %2: a marker file
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<bool>("listsSleep");
    QTest::addColumn<bool>("headerOnly");
    QTest::newRow("empty lists everything") << "" << 0 << true << false;
    QTest::newRow("literal") << "%1" << 0 << true << false;
    QTest::newRow("case-insensitive") << "SLEEP %1" << 0 << true << false;
    QTest::newRow("alternation") << "qlt-nothing|%1" << 0 << true << false;
    QTest::newRow("nothing matches") << "qlt-nothing-%1" << 0 << false << true;
    QTest::newRow("quote and command") << "x\"; touch %2 #" << 0 << false << true;
    QTest::newRow("single quote") << "x' ; touch %2 ; echo '" << 0 << false << true;
    QTest::newRow("command substitution") << "$(touch %2)" << 0 << false << true;
    QTest::newRow("backticks") << "`touch %2`" << 0 << false << true;
    QTest::newRow("unbalanced group") << "(" << 907 << false << false;
    QTest::newRow("open bracket") << "[a-" << 907 << false << false;
    QTest::newRow("backreference") << "(s)\\1" << 907 << false << false;
}

void tst_system::processFilter() {
    QFETCH(QString, filter);
    QFETCH(int, expectedCode);
    QFETCH(bool, listsSleep);
    QFETCH(bool, headerOnly);
    QString name;
    QVERIFY(m_sleeps->start(&name));
    const QString seconds = name.mid(6);
    filter = filter.replace(QStringLiteral("%1"), seconds).replace(QStringLiteral("%2"), marker());
    const QJsonObject reply = utils.getProcesses({{QStringLiteral("processFilter"), filter}});
    QCOMPARE(code(reply), expectedCode);
    QVERIFY(!QFileInfo::exists(marker()));
    const QStringList lines =
        text(reply, "processesResult").split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (expectedCode != 0) {
        QVERIFY(lines.isEmpty());
        QVERIFY(text(reply, "errorDescription")
                    .contains(QLatin1String("not a valid regular expression")));
        return;
    }
    QVERIFY(lines.first().startsWith(QLatin1String("UID ")));
    QCOMPARE(lines.filter(name).size(), listsSleep ? 1 : 0);
    if (headerOnly) QCOMPARE(lines.size(), 1);
}

void tst_system::filterMatchesLikeGrep_data() {
    QTest::addColumn<QString>("filter");
    // Ends in 40 a's or more: a backtracking engine gives up on such a line.
    QTest::newRow("pathological") << "(.*a){40}$";
    QTest::newRow("classes and repetition") << "^[[:alpha:]]+ +[[:digit:]]+ +[0-9]+ ";
    QTest::newRow("alternation, any case") << "PERL|sleep [0-9.]+";
}

// A real listing, captured as the handler reads it, filtered once by the handler and once by
// grep -E; a process whose command line ends in many a's is the hard case.
void tst_system::filterMatchesLikeGrep() {
    QFETCH(QString, filter);
    // Perl itself, not a wrapper that would change the listing while it starts.
    QProcess sleeper;
    const auto stopSleeper = qScopeGuard([&sleeper] {
        sleeper.kill();
        sleeper.waitForFinished();
    });
    sleeper.start(QStringLiteral("/usr/bin/perl"),
                  {QStringLiteral("-e"), QStringLiteral("sleep 600"),
                   QStringLiteral("qlt-%1-").arg(ownPid()) + QString(60, QLatin1Char('a'))});
    QVERIFY(sleeper.waitForStarted());
    const QString captured = m_root->path() + QStringLiteral("ps.out");
    const QString realPs = QStandardPaths::findExecutable(QStringLiteral("ps"));
    QVERIFY(!realPs.isEmpty());
    fakeTool(QStringLiteral("ps"), QStringLiteral("'%1' \"$@\" | tee '%2'").arg(realPs, captured));

    const QJsonObject reply = utils.getProcesses({{QStringLiteral("processFilter"), filter}});
    QCOMPARE(code(reply), 0);
    const QStringList kept =
        text(reply, "processesResult").split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    QProcess grep;
    grep.start(QStringLiteral("grep"),
               {QStringLiteral("-Ei"), QStringLiteral("^UID.*CMD|") + filter, captured});
    QVERIFY(grep.waitForFinished(60000));
    QStringList expected;
    for (const QString &line :
         QString::fromLocal8Bit(grep.readAllStandardOutput()).split(QLatin1Char('\n')))
        if (!line.isEmpty() && !line.contains(QLatin1String("grep"))) expected << line;
    QCOMPARE(expected.filter(QStringLiteral("qlt-%1-aaa").arg(ownPid())).size(), 1);
    QCOMPARE(kept, expected);
}

// --- ping (loopback only)

void tst_system::pingLoopback_data() {
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QStringList>("ips");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<int>("packets");
    const auto p = [](const QVariant &type, const QString &ips, const QVariant &hops) {
        return QVariantMap{{QStringLiteral("pingType"), type},
                           {QStringLiteral("ipFilterString"), ips},
                           {QStringLiteral("pingHops"), hops}};
    };
    const qint64 one = 1;
    QTest::newRow("one address") << p(one, "127.0.0.1", qint64(2)) << QStringList{"127.0.0.1"}
                                 << QList<int>{0} << 2;
    QTest::newRow("blanks removed")
        << p(one, " 127.0.0.1 ", 1.0) << QStringList{"127.0.0.1"} << QList<int>{0} << 1;
    QTest::newRow("IPv6 loopback")
        << p(one, "::1", one) << QStringList{"::1"} << QList<int>{0} << 1;
    QTest::newRow("localhost") << p(one, "localhost", one) << QStringList{"localhost"}
                               << QList<int>{0} << 1;
    QTest::newRow("list") << p(qint64(2), " 127.0.0.1 , 127.0.0.2,127.0.0.3 ", one)
                          << QStringList{"127.0.0.1", "127.0.0.2", "127.0.0.3"}
                          << QList<int>{0, 0, 0} << 1;
    QTest::newRow("type as double")
        << p(2.0, "127.0.0.4,127.0.0.5", one) << QStringList{"127.0.0.4", "127.0.0.5"}
        << QList<int>{0, 0} << 1;
    QTest::newRow("trailing comma") << p(qint64(2), "127.0.0.1,", one)
                                    << QStringList{"127.0.0.1", ""} << QList<int>{0, 901} << 1;
    QTest::newRow("type as text is type 1")
        << p("2", "127.0.0.1,127.0.0.2", one) << QStringList{"127.0.0.1,127.0.0.2"}
        << QList<int>{901} << 1;
    QTest::newRow("hops 1.6 is 2")
        << p(one, "127.0.0.1", 1.6) << QStringList{"127.0.0.1"} << QList<int>{0} << 2;
    QTest::newRow("hops as text is 4")
        << p(one, "127.0.0.1", "1") << QStringList{"127.0.0.1"} << QList<int>{0} << 4;
    QTest::newRow("type 3 pings nothing")
        << p(qint64(3), "127.0.0.1", one) << QStringList{} << QList<int>{} << 0;
}

void tst_system::pingLoopback() {
    QFETCH(QVariantMap, params);
    QFETCH(QStringList, ips);
    QFETCH(QList<int>, codes);
    QFETCH(int, packets);
    const QJsonObject reply = utils.pingDevices(params);
    QCOMPARE(code(reply), 0);
    const QJsonArray results = reply.value(QStringLiteral("PING_Results")).toArray();
    QCOMPARE(results.size(), ips.size());
    for (int i = 0; i < ips.size(); ++i) {
        const QJsonObject r = results.at(i).toObject();
        QCOMPARE(text(r, "IP"), ips.at(i));
        QCOMPARE(code(r), codes.at(i));
        QCOMPARE(r.value(QStringLiteral("ErrorCode")).toInt(), 599);
        QCOMPARE(r.value(QStringLiteral("Success")).toBool(true), false);
        if (codes.at(i) != 0) continue;
        QCOMPARE(r.value(QStringLiteral("Transmitted")).toInt(), packets);
        QCOMPARE(r.value(QStringLiteral("Received")).toInt(), packets);
        QVERIFY(
            text(r, "processesResult")
                .startsWith(QStringLiteral("%1 packets transmitted, %1 received, 0% packet loss")
                                .arg(packets)));
    }
}

void tst_system::floodPing_data() {
    QTest::addColumn<QVariant>("doFlood");
    QTest::newRow("flag") << QVariant(true);
    QTest::newRow("integer") << QVariant(qint64(1));
}

void tst_system::floodPing() {
    QFETCH(QVariant, doFlood);
    const QJsonObject r = utils.pingDevice(QStringLiteral("127.0.0.1"), 3, true);
    if (code(r) == 900)
        QSKIP(qPrintable("ping -f is not permitted here: " + text(r, "errorDescription")));
    // Three plain echo requests would answer the same: the flood shows in the program run.
    QFile log(logformat::filePath(Session.dataLogLocation, QDate::currentDate()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    log.seek(log.size());
    const QJsonObject reply = utils.pingDevices({{QStringLiteral("ipFilterString"), "127.0.0.1"},
                                                 {QStringLiteral("pingHops"), qint64(3)},
                                                 {QStringLiteral("doFlood"), doFlood}});
    const QJsonObject result =
        reply.value(QStringLiteral("PING_Results")).toArray().first().toObject();
    QCOMPARE(code(result), 0);
    QCOMPARE(result.value(QStringLiteral("Transmitted")).toInt(), 3);
    QCOMPARE(result.value(QStringLiteral("Received")).toInt(), 3);
    QVERIFY(
        QString::fromUtf8(log.readAll()).contains(QStringLiteral("Command to execute:\nping -f")));
}

void tst_system::pingSummary_data() {
    QTest::addColumn<QString>("sampleFile");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("transmitted");
    QTest::addColumn<int>("received");
    QTest::addColumn<QString>("summary");
    QTest::newRow("25% loss") << "loss-25.txt"
                              << "" << 0 << 4 << 3
                              << "4 packets transmitted, 3 received, 25% packet loss, time 3005ms";
    QTest::newRow("no answer")
        << "no-answer.txt"
        << "" << 0 << 4 << 0 << "4 packets transmitted, 0 received, 100% packet loss, time 3071ms";
    QTest::newRow("errors")
        << "errors.txt"
        << "" << 0 << 4 << 0
        << "4 packets transmitted, 0 received, +4 errors, 100% packet loss, time 3050ms";
    QTest::newRow("duplicates")
        << "duplicates.txt"
        << "" << 0 << 4 << 4
        << "4 packets transmitted, 4 received, +2 duplicates, 0% packet loss, time 3004ms";
    QTest::newRow("no summary") << "no-summary.txt"
                                << "" << 0 << 0 << 0 << "";
    QTest::newRow("standard error")
        << "no-summary.txt"
        << "ping: sendmsg: Operation not permitted" << 900 << -1 << -1 << "";
}

void tst_system::pingSummary() {
    QFETCH(QString, sampleFile);
    QFETCH(QString, stderrText);
    QFETCH(int, expectedCode);
    QFETCH(int, transmitted);
    QFETCH(int, received);
    QFETCH(QString, summary);
    QVERIFY(!sample(sampleFile).isEmpty());
    QString body = QStringLiteral("cat '%1/ping/%2'").arg(testpaths::dataDir(), sampleFile);
    if (!stderrText.isEmpty()) body += QStringLiteral("\necho '%1' >&2").arg(stderrText);
    fakeTool(QStringLiteral("ping"), body);
    const QJsonObject r = utils.pingDevice(QStringLiteral("127.0.0.9"), 4, false);
    QCOMPARE(callsOf(QStringLiteral("ping")), QStringList{"-q -c4 -w4 127.0.0.9"});
    QCOMPARE(code(r), expectedCode);
    if (expectedCode != 0) {
        QCOMPARE(text(r, "errorDescription"), stderrText + QLatin1Char('\n'));
        QVERIFY(!r.contains(QStringLiteral("Transmitted")));
        return;
    }
    QCOMPARE(r.value(QStringLiteral("Transmitted")).toInt(-1), transmitted);
    QCOMPARE(r.value(QStringLiteral("Received")).toInt(-1), received);
    QCOMPARE(text(r, "processesResult"), summary);
}

void tst_system::floodFallback_data() {
    QTest::addColumn<QVariant>("doFlood");
    QTest::addColumn<QString>("floodSample");
    QTest::addColumn<QString>("normalSample");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<int>("received");
    const QString flood = QStringLiteral("-f -q -c4 -w1 127.0.0.1");
    const QString normal = QStringLiteral("-q -c4 -w4 127.0.0.1");
    QTest::newRow("no answer to the flood") << QVariant(true) << "flood-no-answer.txt"
                                            << "loss-25.txt" << QStringList{flood, normal} << 3;
    QTest::newRow("answered flood") << QVariant(true) << "flood-answered.txt"
                                    << "loss-25.txt" << QStringList{flood} << 4;
    QTest::newRow("integer 2 floods") << QVariant(qint64(2)) << "flood-answered.txt"
                                      << "loss-25.txt" << QStringList{flood} << 4;
    QTest::newRow("no flood") << QVariant(false) << "flood-no-answer.txt"
                              << "no-answer.txt" << QStringList{normal} << 0;
    QTest::newRow("double is no flag") << QVariant(1.0) << "flood-answered.txt"
                                       << "loss-25.txt" << QStringList{normal} << 3;
}

void tst_system::floodFallback() {
    QFETCH(QVariant, doFlood);
    QFETCH(QString, floodSample);
    QFETCH(QString, normalSample);
    QFETCH(QStringList, calls);
    QFETCH(int, received);
    const QString dir = testpaths::dataDir() + QStringLiteral("/ping/");
    fakeTool(QStringLiteral("ping"),
             QStringLiteral("if [ \"$1\" = -f ]; then cat '%1%2'; else cat '%1%3'; fi")
                 .arg(dir, floodSample, normalSample));
    const QJsonObject reply = utils.pingDevices(
        {{QStringLiteral("ipFilterString"), "127.0.0.1"}, {QStringLiteral("doFlood"), doFlood}});
    const QJsonObject r = reply.value(QStringLiteral("PING_Results")).toArray().first().toObject();
    QCOMPARE(callsOf(QStringLiteral("ping")), calls);
    QCOMPARE(code(r), 0);
    QCOMPARE(r.value(QStringLiteral("Transmitted")).toInt(), 4);
    QCOMPARE(r.value(QStringLiteral("Received")).toInt(), received);
}

void tst_system::pingRefuses_data() {
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedDescription");
    QTest::addColumn<int>("hostCode");  // of the one result, when the command itself succeeds
    const auto p = [](const QString &key, const QVariant &value) {
        QVariantMap m{{QStringLiteral("ipFilterString"), QStringLiteral("127.0.0.1")},
                      {QStringLiteral("pingHops"), qint64(1)}};
        m.insert(key, value);
        return m;
    };
    const QString type = QStringLiteral("pingType");
    const QString hops = QStringLiteral("pingHops");
    const QString ips = QStringLiteral("ipFilterString");
    const QString hopsRange = QStringLiteral("pingHops must be between 1 and 10, not %1");
    const QString noFilter = QStringLiteral("You need to give a IP Filter string!");
    QTest::newRow("type 0") << p(type, qint64(0)) << 999 << "Unknown PingType 0" << -1;
    QTest::newRow("type 4") << p(type, qint64(4)) << 999 << "Unknown PingType 4" << -1;
    QTest::newRow("type -7") << p(type, -7.5) << 999 << "Unknown PingType -7" << -1;
    QTest::newRow("hops 0") << p(hops, qint64(0)) << 999 << hopsRange.arg(0) << -1;
    QTest::newRow("hops negative") << p(hops, qint64(-3)) << 999 << hopsRange.arg(-3) << -1;
    QTest::newRow("hops 11") << p(hops, qint64(11)) << 999 << hopsRange.arg(11) << -1;
    QTest::newRow("hops huge") << p(hops, 1e12) << 999 << hopsRange.arg(1000000000000LL) << -1;
    QTest::newRow("hops 2^40") << p(hops, qint64(1) << 40) << 999 << hopsRange.arg(qint64(1) << 40)
                               << -1;
    QTest::newRow("empty address") << p(ips, "") << 999 << noFilter << -1;
    QTest::newRow("address a number") << p(ips, 127) << 999 << noFilter << -1;
    QStringList many;
    for (int i = 0; i < 257; ++i) many << QStringLiteral("127.0.0.1");
    QVariantMap tooMany = p(ips, many.join(QLatin1Char(',')));
    tooMany.insert(type, qint64(2));
    QTest::newRow("257 addresses")
        << tooMany << 999 << "At most 256 addresses can be pinged at once, not 257" << -1;
    // %2 is the marker file a shell would create.
    for (const char *hostile : {"127.0.0.1; touch %2", "127.0.0.1 && touch %2", "$(touch %2)",
                                "`touch %2`", "127.0.0.1|touch %2", "-f", "-c1", "a b", "host_name",
                                "127.0.0.1\ntouch %2", "fe80::1%lo; touch %2"})
        QTest::newRow(hostile) << p(ips, QString::fromLatin1(hostile)) << 0 << "" << 901;
    QTest::newRow("name too long") << p(ips, QString(254, QLatin1Char('a'))) << 0 << "" << 901;
}

void tst_system::pingRefuses() {
    QFETCH(QVariantMap, params);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedDescription);
    QFETCH(int, hostCode);
    fakeTool(QStringLiteral("ping"), QStringLiteral("touch '%1'").arg(marker()));
    const QString ips = QStringLiteral("ipFilterString");
    if (params.value(ips).userType() == QMetaType::QString)
        params.insert(ips, params.value(ips).toString().replace(QStringLiteral("%2"), marker()));
    const QJsonObject reply = utils.pingDevices(params);
    QCOMPARE(code(reply), expectedCode);
    QCOMPARE(text(reply, "errorDescription"), expectedDescription);
    QVERIFY(callsOf(QStringLiteral("ping")).isEmpty());
    QVERIFY(!QFileInfo::exists(marker()));
    const QJsonArray results = reply.value(QStringLiteral("PING_Results")).toArray();
    if (hostCode < 0) {
        QVERIFY(!reply.contains(QStringLiteral("PING_Results")));
        return;
    }
    QCOMPARE(results.size(), 1);
    QCOMPARE(code(results.first().toObject()), hostCode);
}

// A full list: 32 pings run at once, each hanging one is killed at its 30 s, and every
// address gets its result, in list order.
void tst_system::pingEveryAddress() {
    const QString running = m_root->path() + QStringLiteral("running");
    const QString counts = m_root->path() + QStringLiteral("counts");
    QVERIFY(QDir().mkpath(running));
    fakeTool(QStringLiteral("ping"),
             QStringLiteral("touch '%1/'$$; ls '%1' | wc -l >> '%2'\n"
                            "case \"$*\" in *' 127.0.0.99') rm '%1/'$$; exec sleep 45;; esac\n"
                            "sleep 1; rm '%1/'$$\n"
                            "echo '4 packets transmitted, 4 received, 0% packet loss, time 3ms'")
                 .arg(running, counts));
    QStringList addresses;
    for (int i = 1; i <= 256; ++i)
        addresses << QStringLiteral("127.0.%1.%2").arg(i / 250).arg(i % 250 + 1);
    QVERIFY(addresses.contains(QStringLiteral("127.0.0.99")));
    const QJsonObject reply =
        utils.pingDevices({{QStringLiteral("pingType"), qint64(2)},
                           {QStringLiteral("ipFilterString"), addresses.join(QLatin1Char(','))}});
    QCOMPARE(code(reply), 0);
    const QJsonArray results = reply.value(QStringLiteral("PING_Results")).toArray();
    QCOMPARE(results.size(), addresses.size());
    for (int i = 0; i < results.size(); ++i) {
        const QJsonObject r = results.at(i).toObject();
        QCOMPARE(text(r, "IP"), addresses.at(i));
        if (addresses.at(i) == QLatin1String("127.0.0.99")) {
            QCOMPARE(code(r), 500);
            QCOMPARE(text(r, "errorDescription"), QStringLiteral("Process finished with error"));
            continue;
        }
        QCOMPARE(code(r), 0);
        QCOMPARE(r.value(QStringLiteral("Received")).toInt(), 4);
    }
    QCOMPARE(callsOf(QStringLiteral("ping")).size(), addresses.size());
    QFile countFile(counts);
    QVERIFY(countFile.open(QIODevice::ReadOnly));
    int most = 0;
    for (const QByteArray &line : countFile.readAll().split('\n'))
        most = qMax(most, line.trimmed().toInt());
    QVERIFY2(most > 1 && most <= 32, qPrintable(QString::number(most)));
}

// --- info

void tst_system::formatDuration_data() {
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0") << qint64(0) << "0 second";
    QTest::newRow("1") << qint64(1) << "1 second";
    QTest::newRow("2") << qint64(2) << "2 seconds";
    QTest::newRow("59") << qint64(59) << "59 seconds";
    QTest::newRow("60") << qint64(60) << "1 minute ";
    QTest::newRow("61") << qint64(61) << "1 minute 1 second";
    QTest::newRow("120") << qint64(120) << "2 minutes ";
    QTest::newRow("3600") << qint64(3600) << "1 hour ";
    QTest::newRow("7322") << qint64(7322) << "2 hours 2 minutes 2 seconds";
    QTest::newRow("86400") << qint64(86400) << "1 day ";
    QTest::newRow("90061") << qint64(90061) << "1 day 1 hour 1 minute 1 second";
    QTest::newRow("2592000") << qint64(2592000) << "1 month ";
    QTest::newRow("31536000") << qint64(31536000) << "1 year ";
    QTest::newRow("year and months") << qint64(31536000 + 2592000 * 2) << "1 year 2 months ";
    QTest::newRow("mixed plurals")
        << qint64(2 * 31536000 + 3 * 86400 + 5) << "2 years 3 days 5 seconds";
    QTest::newRow("negative") << qint64(-5) << "0 second";
}

void tst_system::formatDuration() {
    QFETCH(qint64, seconds);
    QFETCH(QString, expected);
    QCOMPARE(utils.formatDuration(seconds), expected);
}

void tst_system::clientInfo_data() {
    QTest::addColumn<QVariant>("infoType");
    QTest::addColumn<qint64>("startedAgo");
    QTest::addColumn<QStringList>("accepted");
    QTest::newRow("upTime") << QVariant("upTime") << qint64(3661)
                            << QStringList{"1 hour 1 minute 1 second", "1 hour 1 minute 2 seconds"};
    QTest::newRow("clock set back") << QVariant("upTime") << qint64(-50) << QStringList{"0 second"};
    QTest::newRow("as a number") << QVariant(1) << qint64(3661) << QStringList{""};
    QTest::newRow("other type") << QVariant("downTime") << qint64(3661) << QStringList{""};
    QTest::newRow("missing") << QVariant() << qint64(3661) << QStringList{""};
}

void tst_system::clientInfo() {
    QFETCH(QVariant, infoType);
    QFETCH(qint64, startedAgo);
    QFETCH(QStringList, accepted);
    appSession.clientStartTime = QDateTime::currentDateTime().addSecs(-startedAgo);
    QVariantMap data;
    if (infoType.isValid()) data.insert(QStringLiteral("infoType"), infoType);
    const QJsonObject reply = utils.getClientInfo(data);
    QCOMPARE(code(reply), 0);
    QCOMPARE(text(reply, "errorDescription"), QString());
    QVERIFY2(accepted.contains(text(reply, "infoResult")), qPrintable(text(reply, "infoResult")));
}

void tst_system::variousSetting_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QVariant>("name");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedDescription");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QString>("expectedValue");
    const QString edited = QStringLiteral("[Various]\ndiffPLU_PluPK=777\nshopColour=blue\n");
    QTest::newRow("fresh default") << "" << QVariant("diffPLU_PluPK") << 0 << ""
                                   << "diffPLU_PluPK"
                                   << "50001";
    QTest::newRow("fresh waiter") << "" << QVariant("diffPLU_Waiter_ID") << 0 << ""
                                  << "diffPLU_Waiter_ID"
                                  << "1";
    QTest::newRow("edited value") << edited << QVariant("diffPLU_PluPK") << 0 << ""
                                  << "diffPLU_PluPK"
                                  << "777";
    QTest::newRow("edited extra") << edited << QVariant("shopColour") << 0 << ""
                                  << "shopColour"
                                  << "blue";
    QTest::newRow("unknown") << edited << QVariant("nope") << 404 << "Unknown error"
                             << "nope"
                             << "";
    QTest::newRow("missing") << "" << QVariant() << 901 << "settingName not given!"
                             << ""
                             << "";
    QTest::newRow("a number") << "" << QVariant(3) << 901 << "settingName not given!"
                              << ""
                              << "";
}

void tst_system::variousSetting() {
    QFETCH(QString, ini);
    QFETCH(QVariant, name);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedDescription);
    QFETCH(QString, expectedName);
    QFETCH(QString, expectedValue);
    if (!ini.isEmpty()) m_root->writeSettings(ini);
    utils.loadSettings(false);
    QVariantMap data;
    if (name.isValid()) data.insert(QStringLiteral("settingName"), name);
    const QJsonObject reply = utils.getVariousSetting(data);
    QCOMPARE(code(reply), expectedCode);
    QCOMPARE(text(reply, "errorDescription"), expectedDescription);
    QCOMPARE(text(reply, "settingName"), expectedName);
    QCOMPARE(text(reply, "settingValue"), expectedValue);
}

void tst_system::posInfo_data() {
    QTest::addColumn<QVariant>("infoType");
    QTest::addColumn<QString>("fakePs");  // output of a stand-in ps; empty: the real one
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedDescription");
    QTest::newRow("online time") << QVariant("QuilletOnlineTime") << "" << 0 << "";
    QTest::newRow("online time unparsable")
        << QVariant("QuilletOnlineTime") << "garbage" << 909 << "garbage";
    QTest::newRow("date and time") << QVariant("PosDateTime") << "" << 0 << "";
    QTest::newRow("free space") << QVariant("FreeSpace") << "" << 0 << "";
    QTest::newRow("unknown") << QVariant("Foo") << "" << 404 << "Unknown InfoType: Foo";
    QTest::newRow("letter case") << QVariant("freespace") << "" << 404
                                 << "Unknown InfoType: freespace";
    QTest::newRow("empty") << QVariant("") << "" << 404 << "Unknown InfoType: ";
    QTest::newRow("missing") << QVariant() << "" << 404 << "Unknown InfoType: ";
    QTest::newRow("a number") << QVariant(2) << "" << 404 << "Unknown InfoType: ";
}

void tst_system::posInfo() {
    QFETCH(QVariant, infoType);
    QFETCH(QString, fakePs);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedDescription);
    if (!fakePs.isEmpty()) fakeTool(QStringLiteral("ps"), QStringLiteral("echo '%1'").arg(fakePs));
    QVariantMap data;
    if (infoType.isValid()) data.insert(QStringLiteral("InfoType"), infoType);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const QJsonObject reply = utils.getPosInfo(data);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(code(reply), expectedCode);
    QCOMPARE(text(reply, "errorDescription"), expectedDescription);
    const QJsonValue value = reply.value(QStringLiteral("infoTypeResults"));
    if (expectedCode != 0) {
        QVERIFY(value.isUndefined());
        return;
    }
    const QString type = infoType.toString();
    if (type == QLatin1String("QuilletOnlineTime")) {
        // This process has run for at least as long as the test case has.
        QVERIFY(value.isDouble());
        QVERIFY(value.toDouble() >= 0 && value.toDouble() < 3600);
        if (!fakePs.isEmpty())
            QCOMPARE(callsOf(QStringLiteral("ps")), QStringList{"-o etimes= -p " + ownPid()});
    } else if (type == QLatin1String("PosDateTime")) {
        QVERIFY(qint64(value.toDouble()) >= before && qint64(value.toDouble()) <= after);
    } else {
        const QJsonObject space = value.toObject();
        const double mbTotal = space.value(QStringLiteral("mbTotal")).toDouble();
        const double mbFree = space.value(QStringLiteral("mbFree")).toDouble();
        // "/" need not be a mount point: in a plain chroot no mounted volume is the root, and
        // then the answer is 0 for both.
        QStorageInfo rootVolume;
        for (const QStorageInfo &volume : QStorageInfo::mountedVolumes())
            if (volume.isRoot() && volume.isReady()) rootVolume = volume;
        if (!rootVolume.isValid()) {
            QCOMPARE(mbTotal, 0.0);
            QCOMPARE(mbFree, 0.0);
            return;
        }
        const double total = rootVolume.bytesTotal() / 1048576.0;
        QVERIFY(qAbs(mbTotal - total) <= 1);
        QVERIFY(mbFree > 0);
        QVERIFY(mbFree <= total);
    }
}

// --- deployment and placeholders

void tst_system::pushLicense_data() {
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("fakePsError");  // standard error of a stand-in ps; empty: real ps
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedDescription");
    QTest::addColumn<QString>("expectedInfo");  // %1: the target file
    QTest::addColumn<bool>("killed");
    QTest::addColumn<QByteArray>("expectedBytes");  // null: no file
    const QByteArray binary("\x00\x01LIC\x00\xff\xfe\n\r\n\x00end", 15);
    const QString b64 = QString::fromLatin1(binary.toBase64());
    const QString path = QStringLiteral("shop/app.lic");
    const auto p = [&](const QVariantMap &extra) {
        QVariantMap m{{QStringLiteral("path"), path}, {QStringLiteral("licenseData"), b64}};
        for (auto it = extra.cbegin(); it != extra.cend(); ++it) m.insert(it.key(), it.value());
        return m;
    };
    const QString saved = QStringLiteral("Saved file '%1'\n");
    const QString notRunning = QStringLiteral("qlt-not-running-") + ownPid();
    QTest::newRow("binary with NUL bytes") << p({}) << "" << 0 << "" << saved << false << binary;
    QTest::newRow("lenient Base64") << p({{"licenseData", "QUJD*RA=="}}) << "" << 0 << "" << saved
                                    << false << QByteArray("ABCD");
    QTest::newRow("path a number") << p({{"path", 7}}) << "" << 404 << "Missing parameter path"
                                   << "" << false << QByteArray();
    QTest::newRow("path empty") << p({{"path", ""}}) << "" << 404 << "Missing parameter path"
                                << "" << false << QByteArray();
    QTest::newRow("data missing") << QVariantMap{{"path", path}} << "" << 404
                                  << "Missing parameter licenseData"
                                  << "" << false << QByteArray();
    QTest::newRow("data a number")
        << p({{"licenseData", 1}}) << "" << 404 << "Missing parameter licenseData"
        << "" << false << QByteArray();
    QTest::newRow("climbs out") << p({{"path", "../../escaped.lic"}}) << "" << 930
                                << "Not allowed to write outside the licenses folder!"
                                << "" << false << QByteArray();
    QTest::newRow("leading slash stays inside")
        << p({{"path", "/tmp/inside.lic"}}) << "" << 0 << "" << saved << false << binary;
    QTest::newRow("through a link out of the folder")
        << p({{"path", "out/new/escaped.lic"}}) << "" << 930
        << "Not allowed to write outside the licenses folder!"
        << "" << false << QByteArray();
    QTest::newRow("through a link inside the folder")
        << p({{"path", "in/app.lic"}}) << "" << 0 << "" << saved << false << binary;
    QTest::newRow("start asked") << p({{"startProcessIfKilled", "pos"}}) << "" << 0 << ""
                                 << saved + "Not supported to start process yet\n"
                                 << false << binary;
    QTest::newRow("kill, not running")
        << p({{"killProcessIfOK", notRunning}, {"nodeID", 4294967298.0}}) << "" << 0 << ""
        << saved + "Killed process " + notRunning + " if existed\n"
        << true << binary;
    QTest::newRow("kill fails, start asked")
        << p({{"killProcessIfOK", "pos"}, {"startProcessIfKilled", "pos"}}) << "ps: boom" << 0 << ""
        << saved + "Failed to kill process pos\nNot supported to start process yet\n"
        << false << binary;
    QTest::newRow("folder blocked") << p({{"path", "blocked/app.lic"}}) << "" << 940
                                    << "Failed to create the directory for file %1!"
                                    << "" << false << QByteArray();
}

void tst_system::pushLicense() {
    QFETCH(QVariantMap, params);
    QFETCH(QString, fakePsError);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedDescription);
    QFETCH(QString, expectedInfo);
    QFETCH(bool, killed);
    QFETCH(QByteArray, expectedBytes);
    if (!fakePsError.isEmpty())
        fakeTool(QStringLiteral("ps"), QStringLiteral("echo '%1' >&2").arg(fakePsError));
    const QString licenses = Session.dataTempLocation + QStringLiteral("licenses/");
    const QString outside = m_root->path() + QStringLiteral("outside");
    QVERIFY(QDir().mkpath(licenses + QStringLiteral("sub")));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QFile::link(outside, licenses + QStringLiteral("out")));
    QVERIFY(QFile::link(licenses + QStringLiteral("sub"), licenses + QStringLiteral("in")));
    QFile blocker(licenses + QStringLiteral("blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString target = Session.dataTempLocation + QStringLiteral("/licenses/") +
                           params.value(QStringLiteral("path")).toString();
    const QJsonObject reply = utils.pushLicense(params);
    QCOMPARE(code(reply), expectedCode);
    QCOMPARE(text(reply, "errorDescription"),
             expectedDescription.replace(QStringLiteral("%1"), target));
    QCOMPARE(text(reply, "resultsInfo"), expectedInfo.replace(QStringLiteral("%1"), target));
    QCOMPARE(reply.value(QStringLiteral("killProcessIfOkResult")).toBool(!killed), killed);
    QCOMPARE(reply.value(QStringLiteral("startProcessIfKilledOkResult")).toBool(true), false);
    QFile written(target);
    if (expectedBytes.isNull()) {
        QVERIFY(!QFileInfo(target).isFile());
        QVERIFY(!QFileInfo::exists(m_root->path() + QStringLiteral("escaped.lic")));
        QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        return;
    }
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), expectedBytes);
}

void tst_system::pushLicenseKillsTheProcess() {
    QString name;
    QProcess *sleeper = m_sleeps->start(&name);
    QVERIFY(sleeper);
    const QJsonObject reply = utils.pushLicense({{QStringLiteral("path"), "pos.lic"},
                                                 {QStringLiteral("licenseData"), "TElD"},
                                                 {QStringLiteral("killProcessIfOK"), name}});
    QCOMPARE(code(reply), 0);
    QVERIFY(
        text(reply, "resultsInfo").endsWith(QString("Killed process " + name + " if existed\n")));
    QCOMPARE(reply.value(QStringLiteral("killProcessIfOkResult")).toBool(), true);
    QTRY_COMPARE_WITH_TIMEOUT(sleeper->state(), QProcess::NotRunning, 10000);
}

void tst_system::placeholders_data() {
    QTest::addColumn<QString>("command");
    QTest::newRow("getNodes") << "getNodes";
    QTest::newRow("restartClient") << "restartClient";
    QTest::newRow("rebootDevice") << "rebootDevice";
}

void tst_system::placeholders() {
    QFETCH(QString, command);
    const QVariantMap data{{QStringLiteral("nodeID"), qint64(3)}};
    const QJsonObject reply = command == QLatin1String("getNodes") ? utils.getNodes(data)
                              : command == QLatin1String("restartClient")
                                  ? utils.restartClient(data)
                                  : utils.rebootDevice(data);
    QCOMPARE(reply, utils.setErrorData(599, QStringLiteral("Not supported yet")));
}

QTEST_GUILESS_MAIN(tst_system)
#include "tst_system.moc"
