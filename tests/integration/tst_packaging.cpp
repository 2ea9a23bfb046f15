#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "faketools.h"
#include "testpaths.h"

namespace {
const QString unitName = QStringLiteral("qltRestClientQt.service");
const QString packageScript = QStringLiteral(QLT_SOURCE_DIR "/scripts/package");

struct RunResult {
    int exitCode;  // -1: did not start or did not end normally
    QString output;
};

// Without QLT_SERVER_CA, so a CA set for this shell does not leak into the builds.
QProcessEnvironment buildEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QLT_SERVER_CA"));
    return env;
}

RunResult run(const QString &program, const QStringList &arguments,
              const QProcessEnvironment &env = buildEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(900000);
    const bool normal = finished && process.exitStatus() == QProcess::NormalExit;
    return {normal ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAll())};
}

QString readText(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList lines(const QString &text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
}  // namespace

// Builds the development package with scripts/package (dpkg-buildpackage) into a temporary
// directory and checks what a device would get from it.
class tst_packaging : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void installsExactlyTheseFiles();
    void controlField_data();
    void controlField();
    void developmentVersionSortsBelowRelease();
    void dependsOn_data();
    void dependsOn();
    void maintainerScript_data();
    void maintainerScript();
    void unitPassesSystemdVerify();
    void lintianFindsNoErrorsOrWarnings();
    void refusedBuild_data();
    void refusedBuild();

  private:
    QString field(const QString &name) const;

    QTemporaryDir m_work;
    QString m_deb;
    QString m_root;     // the package's files, unpacked
    QString m_control;  // its control files
};

void tst_packaging::initTestCase() {
    QVERIFY(m_work.isValid());
    const QString out = m_work.filePath(QStringLiteral("out"));
    const RunResult build =
        run(packageScript, {QStringLiteral("--dev"), QStringLiteral("--out"), out});
    QVERIFY2(build.exitCode == 0, qPrintable(build.output));
    // The script names the package it built on its last line.
    const QString last = lines(build.output).last();
    QVERIFY2(last.startsWith(QLatin1String("package: ")), qPrintable(last));
    m_deb = last.mid(9);
    QVERIFY2(QFileInfo(m_deb).isFile(), qPrintable(m_deb));
    QCOMPARE(QFileInfo(m_deb).absolutePath(), out);
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
    for (const QString &line : lines(listing.output)) {
        if (!line.startsWith(QLatin1Char('-'))) continue;
        const QStringList columns = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        files << columns.first() + QLatin1Char(' ') + columns.last().mid(1);
    }
    const QString doc = QStringLiteral("-rw-r--r-- /usr/share/doc/qltrestclientqt/");
    QStringList expected = {
        QStringLiteral("-rwxr-xr-x /usr/bin/qltRestClientQt"),
        QStringLiteral("-rw-r--r-- /lib/systemd/system/") + unitName,
        QStringLiteral("-rw-r--r-- /usr/share/man/man8/qltRestClientQt.8.gz"),
        QStringLiteral("-rw-r--r-- /usr/share/lintian/overrides/qltrestclientqt"),
        doc + QStringLiteral("changelog.gz"),
        doc + QStringLiteral("copyright"),
        doc + QStringLiteral("qltRestClientQt.ini.sample")};
    files.sort();
    expected.sort();
    QCOMPARE(files, expected);

    // The unit starts the binary where the package puts it and points to the manual page.
    const QStringList unit =
        lines(readText(m_root + QStringLiteral("/lib/systemd/system/") + unitName));
    QVERIFY(unit.contains(QStringLiteral("ExecStart=/usr/bin/qltRestClientQt")));
    QVERIFY(unit.contains(QStringLiteral("Documentation=man:qltRestClientQt(8)")));
}

void tst_packaging::controlField_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("package name") << QStringLiteral("Package")
                                  << QStringLiteral("^qltrestclientqt$");
    QTest::newRow("development version")
        << QStringLiteral("Version")
        << QStringLiteral("^%1~dev\\d{14}$")
               .arg(QRegularExpression::escape(QStringLiteral(QLT_PROJECT_VERSION)));
    QTest::newRow("description names the development CA")
        << QStringLiteral("Description")
        << QStringLiteral("\\n This development build trusts only a throw-away development CA\\n");
    QTest::newRow("maintainer reachable")
        << QStringLiteral("Maintainer") << QStringLiteral("^[^<]+ <[^@>]+@[a-z0-9-]+\\.[a-z.]+>$");
}

void tst_packaging::controlField() {
    QFETCH(QString, name);
    QFETCH(QString, pattern);
    const QString value = field(name);
    QVERIFY2(QRegularExpression(pattern).match(value).hasMatch(), qPrintable(value));
    QVERIFY2(!value.contains(QLatin1String("localhost")), qPrintable(value));
}

// A device that got a development package by mistake takes the release as an upgrade.
void tst_packaging::developmentVersionSortsBelowRelease() {
    const RunResult release =
        run(QStringLiteral("dpkg-parsechangelog"),
            {QStringLiteral("-l"), QStringLiteral(QLT_SOURCE_DIR "/debian/changelog"),
             QStringLiteral("-S"), QStringLiteral("Version")});
    QCOMPARE(release.exitCode, 0);
    QCOMPARE(release.output.trimmed(), QStringLiteral(QLT_PROJECT_VERSION));
    const RunResult compare =
        run(QStringLiteral("dpkg"),
            {QStringLiteral("--compare-versions"), field(QStringLiteral("Version")),
             QStringLiteral("lt"), release.output.trimmed()});
    QCOMPARE(compare.exitCode, 0);
}

void tst_packaging::dependsOn_data() {
    QTest::addColumn<QString>("package");
    for (const char *package :
         {"libc6", "libstdc++6", "libgcc-s1", "libqt5core5a", "libqt5network5", "zlib1g",
          "libre2-9", "procps", "iputils-ping", "libssl3"})
        QTest::newRow(package) << QString::fromLatin1(package);
}

void tst_packaging::dependsOn() {
    QFETCH(QString, package);
    QStringList names;  // without version constraints
    for (const QString &entry : field(QStringLiteral("Depends")).split(QLatin1Char(',')))
        names << entry.trimmed().section(QLatin1Char(' '), 0, 0);
    QVERIFY2(names.contains(package), qPrintable(names.join(QLatin1Char(','))));
}

// The scripts run with stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl first
// in PATH; each records its arguments, and "was-enabled" answers as the row says. Whether
// systemd runs is this machine's fact, so each row says what is expected either way.
void tst_packaging::maintainerScript_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("wasEnabled");
    QTest::addColumn<QStringList>("callsWithoutSystemd");
    QTest::addColumn<QStringList>("callsWithSystemd");
    const QString unit = QLatin1Char(' ') + unitName;
    const QStringList enablement = {
        QStringLiteral("deb-systemd-helper unmask") + unit,
        QStringLiteral("deb-systemd-helper --quiet was-enabled") + unit};
    const QString enable = QStringLiteral("deb-systemd-helper enable") + unit;
    const QString keepDisabled = QStringLiteral("deb-systemd-helper update-state") + unit;
    const QString reload = QStringLiteral("systemctl --system daemon-reload");
    const QString start = QStringLiteral("deb-systemd-invoke start") + unit;
    const QString restart = QStringLiteral("deb-systemd-invoke restart") + unit;
    const QString stop = QStringLiteral("deb-systemd-invoke stop") + unit;
    const QStringList configure = {QStringLiteral("configure")};

    QTest::newRow("postinst first install")
        << "postinst" << (configure + QStringList{QString()}) << true
        << (enablement + QStringList{enable}) << (enablement + QStringList{enable, reload, start});
    // dpkg names the last configured version when the package was removed but not purged.
    QTest::newRow("postinst reinstall or upgrade")
        << "postinst" << (configure + QStringList{QStringLiteral("1.0.0")}) << true
        << (enablement + QStringList{enable})
        << (enablement + QStringList{enable, reload, restart});
    // deb-systemd-invoke leaves a disabled unit alone.
    QTest::newRow("postinst upgrade of a disabled client")
        << "postinst" << (configure + QStringList{QStringLiteral("1.0.0")}) << false
        << (enablement + QStringList{keepDisabled})
        << (enablement + QStringList{keepDisabled, reload, restart});
    QTest::newRow("prerm remove") << "prerm" << QStringList{QStringLiteral("remove")} << true
                                  << QStringList{} << QStringList{stop};
    QTest::newRow("prerm upgrade keeps the client running")
        << "prerm" << QStringList{QStringLiteral("upgrade"), QStringLiteral("1.0.2")} << true
        << QStringList{} << QStringList{};
    QTest::newRow("postrm remove keeps the enablement")
        << "postrm" << QStringList{QStringLiteral("remove")} << true << QStringList{}
        << QStringList{reload};
    QTest::newRow("postrm purge forgets it")
        << "postrm" << QStringList{QStringLiteral("purge")} << true
        << QStringList{QStringLiteral("deb-systemd-helper purge") + unit}
        << QStringList{QStringLiteral("deb-systemd-helper purge") + unit};
}

void tst_packaging::maintainerScript() {
    QFETCH(QString, script);
    QFETCH(QStringList, arguments);
    QFETCH(bool, wasEnabled);
    QFETCH(QStringList, callsWithoutSystemd);
    QFETCH(QStringList, callsWithSystemd);

    FakeTools tools;
    for (const char *tool : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
        QVERIFY(tools.add(QString::fromLatin1(tool),
                          QStringLiteral("case \"$*\" in *was-enabled*) "
                                         "[ \"$FAKE_WAS_ENABLED\" = 1 ];; esac")));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"),
               tools.directory() + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("FAKE_WAS_ENABLED"), wasEnabled ? QStringLiteral("1") : QString());

    // Started directly, so a script that lost its executable bit in the package fails here.
    const RunResult result = run(m_control + QLatin1Char('/') + script, arguments, env);
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
    const bool systemdRuns = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
    QCOMPARE(tools.calls(), systemdRuns ? callsWithSystemd : callsWithoutSystemd);
}

void tst_packaging::unitPassesSystemdVerify() {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        QSKIP("systemd-analyze is not installed (scripts/setup-deps installs systemd)");
    // With the unpacked package as root, so ExecStart must name the binary the package holds
    // and Documentation its manual page; the rest of that root is empty, hence no checks of the
    // units this one is ordered after.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MANPATH"), m_root + QStringLiteral("/usr/share/man"));
    const RunResult verify = run(analyze,
                                 {QStringLiteral("verify"), QStringLiteral("--root=") + m_root,
                                  QStringLiteral("--recursive-errors=no"),
                                  m_root + QStringLiteral("/lib/systemd/system/") + unitName},
                                 env);
    QVERIFY2(verify.exitCode == 0, qPrintable(verify.output));
}

// The .changes file covers the package, its debug symbols and the build information.
void tst_packaging::lintianFindsNoErrorsOrWarnings() {
    QString changes = m_deb;
    changes.replace(QRegularExpression(QStringLiteral("\\.deb$")), QStringLiteral(".changes"));
    QVERIFY(QFileInfo(changes).isFile());
    const RunResult lintian =
        run(QStringLiteral("lintian"),
            {QStringLiteral("--fail-on"), QStringLiteral("error,warning"),
             QStringLiteral("--display-level"), QStringLiteral(">=warning"), changes});
    QVERIFY2(lintian.exitCode == 0, qPrintable(lintian.output));
}

void tst_packaging::refusedBuild_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const QString pem = testpaths::pkiDir() + QStringLiteral("/ca.pem");
    QTest::newRow("release without a CA")
        << QStringList{} << QStringLiteral("debian/rules: no production CA");
    QTest::newRow("release with a CA file that is no certificate")
        << QStringList{QStringLiteral("--ca"), testpaths::pkiDir() + QStringLiteral("/ca.key")}
        << QStringLiteral("is not a readable PEM certificate");
    QTest::newRow("development package with a CA")
        << QStringList{QStringLiteral("--dev"), QStringLiteral("--ca"), pem}
        << QStringLiteral("is a development package, which trusts the development CA");
}

void tst_packaging::refusedBuild() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir out;
    QVERIFY(out.isValid());
    const RunResult build =
        run(packageScript, arguments + QStringList{QStringLiteral("--out"), out.path()});
    QVERIFY2(build.exitCode != 0, qPrintable(build.output));
    QVERIFY2(build.output.contains(message), qPrintable(build.output));
    QCOMPARE(QDir(out.path()).entryList({QStringLiteral("*.deb")}, QDir::Files), QStringList{});
}

QTEST_GUILESS_MAIN(tst_packaging)
#include "tst_packaging.moc"
