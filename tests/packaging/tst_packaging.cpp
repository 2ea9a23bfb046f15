#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString unitName = QStringLiteral("qltRestClientQt.service");

struct RunResult {
    int exitCode;  // -1: did not start or did not end normally
    QString output;
};

RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(300000);
    const bool normal = finished && process.exitStatus() == QProcess::NormalExit;
    return {normal ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAll())};
}

QString readText(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
}  // namespace

// Builds the Debian package from this tree with cpack into a temporary directory and checks
// what a device would get from it.
class tst_packaging : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void installsExactlyTheseFiles();
    void controlField_data();
    void controlField();
    void dependsOn_data();
    void dependsOn();
    void maintainerScript_data();
    void maintainerScript();
    void unitPassesSystemdVerify();

  private:
    QString field(const QString &name) const;

    QTemporaryDir m_work;
    QString m_deb;
    QString m_root;     // the package's files, unpacked
    QString m_control;  // its control files
};

void tst_packaging::initTestCase() {
    QVERIFY(m_work.isValid());
    const RunResult cpack =
        run(QStringLiteral(QLT_CPACK_COMMAND),
            {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
             QStringLiteral(QLT_CPACK_CONFIG), QStringLiteral("-B"), m_work.path()});
    QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.output));
    const QStringList debs = QDir(m_work.path()).entryList({QStringLiteral("*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = m_work.filePath(debs.first());
    m_root = m_work.filePath(QStringLiteral("root"));
    m_control = m_work.filePath(QStringLiteral("control"));
    QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_root}).exitCode, 0);
    QCOMPARE(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), m_deb, m_control}).exitCode, 0);
}

QString tst_packaging::field(const QString &name) const {
    return run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_deb, name}).output.trimmed();
}

void tst_packaging::installsExactlyTheseFiles() {
    const RunResult listing = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), m_deb});
    QCOMPARE(listing.exitCode, 0);
    QStringList files;  // "mode path" of every regular file
    for (const QString &line : listing.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1Char('-'))) continue;
        const QStringList columns = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        files << columns.first() + QLatin1Char(' ') + columns.last().mid(1);
    }
    const QString binarySuffix = QStringLiteral("/bin/qltRestClientQt");
    const QStringList binaries = files.filter(binarySuffix);
    QCOMPARE(binaries.size(), 1);
    const QString binary = binaries.first().section(QLatin1Char(' '), 1);
    const QString prefix = binary.left(binary.size() - binarySuffix.size());
    QStringList expected = {
        QStringLiteral("-rwxr-xr-x ") + binary,
        QStringLiteral("-rw-r--r-- ") + prefix + QStringLiteral("/lib/systemd/system/") + unitName,
        QStringLiteral("-rw-r--r-- ") + prefix +
            QStringLiteral("/share/doc/qltrestclientqt/qltRestClientQt.ini.sample")};
    files.sort();
    expected.sort();
    QCOMPARE(files, expected);

    // The unit starts the binary where the package puts it.
    const QString unit =
        readText(m_root + prefix + QStringLiteral("/lib/systemd/system/") + unitName);
    QVERIFY2(unit.split(QLatin1Char('\n')).contains(QStringLiteral("ExecStart=") + binary),
             qPrintable(unit));
}

void tst_packaging::controlField_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("package name") << QStringLiteral("Package") << QStringLiteral("qltrestclientqt");
    QTest::newRow("project version")
        << QStringLiteral("Version") << QStringLiteral(QLT_PROJECT_VERSION);
}

void tst_packaging::controlField() {
    QFETCH(QString, name);
    QFETCH(QString, value);
    QCOMPARE(field(name), value);
}

void tst_packaging::dependsOn_data() {
    QTest::addColumn<QString>("package");
    for (const char *package : {"libqt5core5a", "libqt5network5", "zlib1g", "libre2-9", "procps",
                                "iputils-ping", "libssl3"})
        QTest::newRow(package) << QString::fromLatin1(package);
}

void tst_packaging::dependsOn() {
    QFETCH(QString, package);
    QStringList names;  // without version constraints
    for (const QString &entry : field(QStringLiteral("Depends")).split(QLatin1Char(',')))
        names << entry.trimmed().section(QLatin1Char(' '), 0, 0);
    QVERIFY2(names.contains(package), qPrintable(names.join(QLatin1Char(','))));
}

// The scripts run with a stand-in systemctl first in PATH that records its arguments and fails
// for one chosen verb. Whether systemd runs is this machine's fact, so each row says what is
// expected either way.
void tst_packaging::maintainerScript_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("failingVerb");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QStringList>("callsWithoutSystemd");
    QTest::addColumn<QStringList>("callsWithSystemd");
    const QString enable = QStringLiteral("enable ") + unitName;
    const QString reload = QStringLiteral("daemon-reload");
    const QString isEnabled = QStringLiteral("is-enabled --quiet ") + unitName;
    const QString restart = QStringLiteral("restart ") + unitName;
    const QString stop = QStringLiteral("stop ") + unitName;
    const QString disable = QStringLiteral("disable ") + unitName;
    const QString s = QStringLiteral("postinst");
    QTest::newRow("postinst first install")
        << s << QStringList{QStringLiteral("configure"), QString()} << QString() << 0
        << QStringList{enable} << QStringList{enable, reload, isEnabled, restart};
    QTest::newRow("postinst upgrade")
        << s << QStringList{QStringLiteral("configure"), QStringLiteral("1.0.0")} << QString() << 0
        << QStringList{} << QStringList{reload, isEnabled, restart};
    QTest::newRow("postinst upgrade of a disabled client")
        << s << QStringList{QStringLiteral("configure"), QStringLiteral("1.0.0")}
        << QStringLiteral("is-enabled") << 0 << QStringList{} << QStringList{reload, isEnabled};
    QTest::newRow("postinst client fails to start")
        << s << QStringList{QStringLiteral("configure"), QString()} << QStringLiteral("restart")
        << 0 << QStringList{enable} << QStringList{enable, reload, isEnabled, restart};
    QTest::newRow("postinst enabling fails")
        << s << QStringList{QStringLiteral("configure"), QString()} << QStringLiteral("enable") << 1
        << QStringList{enable} << QStringList{enable};
    QTest::newRow("postinst abort-upgrade")
        << s << QStringList{QStringLiteral("abort-upgrade"), QStringLiteral("1.0.1")} << QString()
        << 0 << QStringList{} << QStringList{};
    QTest::newRow("prerm remove") << QStringLiteral("prerm")
                                  << QStringList{QStringLiteral("remove")} << QString() << 0
                                  << QStringList{disable} << QStringList{stop, disable};
    QTest::newRow("prerm remove, disabling fails")
        << QStringLiteral("prerm") << QStringList{QStringLiteral("remove")}
        << QStringLiteral("disable") << 0 << QStringList{disable} << QStringList{stop, disable};
    QTest::newRow("prerm upgrade keeps the client running")
        << QStringLiteral("prerm")
        << QStringList{QStringLiteral("upgrade"), QStringLiteral("1.0.2")} << QString() << 0
        << QStringList{} << QStringList{};
    QTest::newRow("postrm remove")
        << QStringLiteral("postrm") << QStringList{QStringLiteral("remove")} << QString() << 0
        << QStringList{} << QStringList{reload};
    QTest::newRow("postrm purge") << QStringLiteral("postrm")
                                  << QStringList{QStringLiteral("purge")} << QString() << 0
                                  << QStringList{} << QStringList{};
}

void tst_packaging::maintainerScript() {
    QFETCH(QString, script);
    QFETCH(QStringList, arguments);
    QFETCH(QString, failingVerb);
    QFETCH(int, expectedExit);
    QFETCH(QStringList, callsWithoutSystemd);
    QFETCH(QStringList, callsWithSystemd);

    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    QFile fake(bin.filePath(QStringLiteral("systemctl")));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\necho \"$*\" >> \"$SYSTEMCTL_LOG\"\n[ \"$1\" != \"$SYSTEMCTL_FAIL\" ]\n");
    fake.close();
    QVERIFY(fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner));
    const QString log = bin.filePath(QStringLiteral("calls.log"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"),
               bin.path() + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("SYSTEMCTL_LOG"), log);
    env.insert(QStringLiteral("SYSTEMCTL_FAIL"), failingVerb);

    // Started directly, so a script that lost its executable bit in the package fails here.
    const RunResult result = run(m_control + QLatin1Char('/') + script, arguments, env);
    QVERIFY2(result.exitCode == expectedExit, qPrintable(result.output));
    const QStringList calls = readText(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const bool systemdRuns = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
    QCOMPARE(calls, systemdRuns ? callsWithSystemd : callsWithoutSystemd);
}

void tst_packaging::unitPassesSystemdVerify() {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed (scripts/setup-deps installs systemd)");
    QString unit;
    QDirIterator it(m_root, {unitName}, QDir::Files, QDirIterator::Subdirectories);
    if (it.hasNext()) unit = it.next();
    QVERIFY(!unit.isEmpty());
    // With the unpacked package as root, so ExecStart must name the binary the package holds;
    // the rest of that root is empty, hence no checks of the units this one is ordered after.
    const RunResult verify =
        run(analyze, {QStringLiteral("verify"), QStringLiteral("--root=") + m_root,
                      QStringLiteral("--recursive-errors=no"), unit});
    QVERIFY2(verify.exitCode == 0, qPrintable(verify.output));
}

QTEST_GUILESS_MAIN(tst_packaging)
#include "tst_packaging.moc"
