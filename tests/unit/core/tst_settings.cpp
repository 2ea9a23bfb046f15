#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/utilsmodel.h"
#include "core/globals.h"
#include "core/settings.h"
#include "fifowatchdog.h"
#include "testfiles.h"

namespace {
unsigned modeOf(const QString &path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

using settingsBounds::File;

// A file of `keys` key lines: "first" holding "start" first, "last" holding "line" last,
// numbered keys between; a settings file puts them in the groups Credentials, Bulk and Various.
QByteArray fileWithKeys(File file, int keys) {
    const bool settings = file == File::Settings;
    const char separator = settings ? '=' : '\t';
    QByteArray content = settings ? "[Credentials]\nloginName=start\n[Bulk]\n" : "first\tstart\n";
    for (int i = 1; i < keys - 1; ++i) content += 'k' + QByteArray::number(i) + separator + "v\n";
    return content + (settings ? "[Various]\nlast=line\n" : "last\tline\n");
}

// The same three keys with filler in one long value, `bytes` in all.
QByteArray fileWithBytes(File file, int bytes) {
    const QByteArray small = fileWithKeys(file, 3);
    const int cut = small.indexOf(file == File::Settings ? "[Various]" : "last");
    const QByteArray filler = file == File::Settings ? "pad=" : "pad\t";
    return small.left(cut) + filler + QByteArray(bytes - small.size() - filler.size() - 1, 'x') +
           '\n' + small.mid(cut);
}
}  // namespace

Q_DECLARE_METATYPE(settingsBounds::File)

class tst_settings : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void freshDeviceGetsEveryDefault();
    void values_data();
    void values();
    void variousGroup();
    void credentialsStayPrivate();
    void passwordIsMaskedInTheReport();
    void rights_data();
    void rights();
    void loadingIsBounded_data();
    void loadingIsBounded();
    void settingsThatCannotBeCutAreNotRead();
    void missingRightsFileKeepsTheMap();
    void readFile_data();
    void readFile();
    void onlyRegularFilesAreRead();
    void dateSplitters_data();
    void dateSplitters();

  private:
    void writeRights(const QByteArray &bytes);
    QString readIni(const QString &key) const;
    ClientDataRoot *m_root = nullptr;
};

void tst_settings::init() { m_root = new ClientDataRoot; }

void tst_settings::cleanup() {
    delete m_root;
    m_root = nullptr;
}

QString tst_settings::readIni(const QString &key) const {
    return QSettings(dataRoot::settingsFile(Session), QSettings::IniFormat).value(key).toString();
}

void tst_settings::freshDeviceGetsEveryDefault() {
    utils.loadSettings(false);
    const QList<QPair<const char *, const char *>> defaults = {
        {"RestServiceQt/restServerQt_host", "localhost"},
        {"RestServiceQt/restServerQt_port", "7957"},
        {"POS/pos_host", "127.0.0.1"},
        {"POS/pos_port", "1027"},
        {"POS/posSocketHighDebug", "1"},
        {"Global/debugLevel", "50"},
        {"Global/ID__BoCompanyID", "-1"},
        {"Global/maxFileTransferMiB", "1024"},
        {"Credentials/loginName", "demo"},
        {"Credentials/loginPass", "kelp"},
        {"Credentials/channelID", "default"},
        {"Various/diffPLU_Waiter_ID", "1"},
        {"Various/diffPLU_PluPK", "50001"},
        {"RestServiceQt/reconnectMaxDelaySeconds", "3"},
        {"RestServiceQt/reconnectJitterPercent", "0"},
        {"RestServiceQt/settingsRollbackSeconds", "600"}};
    for (const auto &kv : defaults)
        QCOMPARE(readIni(QLatin1String(kv.first)), QString::fromLatin1(kv.second));
    QCOMPARE(Settings.restServerQt_port, quint16(7957));
    QCOMPARE(Settings.loginName, QStringLiteral("demo"));
    QCOMPARE(Settings.ID__BoCompanyID, -1);
}

void tst_settings::values_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("logsInvalid");
    QTest::newRow("host") << "[RestServiceQt]\nrestServerQt_host=srv.local\n"
                          << "host" << QVariant("srv.local") << false;
    QTest::newRow("port") << "[RestServiceQt]\nrestServerQt_port=8443\n"
                          << "port" << QVariant(8443) << false;
    QTest::newRow("port not a number") << "[RestServiceQt]\nrestServerQt_port=abc\n"
                                       << "port" << QVariant(7957) << true;
    QTest::newRow("port too large") << "[RestServiceQt]\nrestServerQt_port=70000\n"
                                    << "port" << QVariant(7957) << true;
    QTest::newRow("pos port empty gets default") << "[POS]\npos_port=\n"
                                                 << "posPort" << QVariant(1027) << false;
    QTest::newRow("pos host") << "[POS]\npos_host=127.0.0.9\n"
                              << "posHost" << QVariant("127.0.0.9") << false;
    QTest::newRow("debug true") << "[POS]\nposSocketHighDebug=True\n"
                                << "debug" << QVariant(true) << false;
    QTest::newRow("debug TRUE") << "[POS]\nposSocketHighDebug=TRUE\n"
                                << "debug" << QVariant(true) << false;
    QTest::newRow("debug 0") << "[POS]\nposSocketHighDebug=0\n"
                             << "debug" << QVariant(false) << false;
    QTest::newRow("debug false") << "[POS]\nposSocketHighDebug=false\n"
                                 << "debug" << QVariant(false) << false;
    QTest::newRow("debug 1") << "[POS]\nposSocketHighDebug= 1 \n"
                             << "debug" << QVariant(true) << false;
    // Any other word is false, so that a hand-edited file never means its opposite.
    QTest::newRow("debug maybe") << "[POS]\nposSocketHighDebug=maybe\n"
                                 << "debug" << QVariant(false) << true;
    QTest::newRow("debug no") << "[POS]\nposSocketHighDebug=no\n"
                              << "debug" << QVariant(false) << true;
    QTest::newRow("debug off") << "[POS]\nposSocketHighDebug=off\n"
                               << "debug" << QVariant(false) << true;
    QTest::newRow("debug yes") << "[POS]\nposSocketHighDebug=yes\n"
                               << "debug" << QVariant(false) << true;
    QTest::newRow("company id") << "[Global]\nID__BoCompanyID=42\n"
                                << "company" << QVariant(42) << false;
    QTest::newRow("company id garbage") << "[Global]\nID__BoCompanyID=4x2\n"
                                        << "company" << QVariant(-1) << true;
    QTest::newRow("debug level") << "[Global]\ndebugLevel=7\n"
                                 << "level" << QVariant(7) << false;
    QTest::newRow("login") << "[Credentials]\nloginName=anna\n"
                           << "login" << QVariant("anna") << false;
    QTest::newRow("channel with comma") << "[Credentials]\nchannelID=\"a,b\"\n"
                                        << "channel" << QVariant("a,b") << false;
    QTest::newRow("reconnect cap") << "[RestServiceQt]\nreconnectMaxDelaySeconds=60\n"
                                   << "cap" << QVariant(60) << false;
    QTest::newRow("reconnect cap below 3 s") << "[RestServiceQt]\nreconnectMaxDelaySeconds=1\n"
                                             << "cap" << QVariant(3) << true;
    QTest::newRow("jitter") << "[RestServiceQt]\nreconnectJitterPercent=50\n"
                            << "jitter" << QVariant(50) << false;
    QTest::newRow("jitter above 100") << "[RestServiceQt]\nreconnectJitterPercent=101\n"
                                      << "jitter" << QVariant(0) << true;
    QTest::newRow("transfer bound") << "[Global]\nmaxFileTransferMiB=16\n"
                                    << "transfer" << QVariant(16) << false;
    QTest::newRow("transfer bound above 1 GiB") << "[Global]\nmaxFileTransferMiB=1025\n"
                                                << "transfer" << QVariant(1024) << true;
}

void tst_settings::values() {
    QFETCH(QString, ini);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QFETCH(bool, logsInvalid);
    m_root->writeSettings(ini);
    utils.loadSettings(false);
    const QMap<QString, QVariant> actual = {
        {QStringLiteral("host"), Settings.restServerQt_host},
        {QStringLiteral("port"), int(Settings.restServerQt_port)},
        {QStringLiteral("posPort"), int(Settings.POS_port)},
        {QStringLiteral("posHost"), Settings.POS_host},
        {QStringLiteral("debug"), Settings.posSocketHighDebug},
        {QStringLiteral("company"), Settings.ID__BoCompanyID},
        {QStringLiteral("level"), Settings.debugLevel},
        {QStringLiteral("login"), Settings.loginName},
        {QStringLiteral("channel"), Settings.channelID},
        {QStringLiteral("cap"), Settings.reconnectMaxDelaySeconds},
        {QStringLiteral("jitter"), Settings.reconnectJitterPercent},
        {QStringLiteral("transfer"), Settings.maxFileTransferMiB}};
    QCOMPARE(actual.value(field).toString(), expected.toString());
    const bool logged =
        m_root->todaysLogLines().join(QLatin1Char('\n')).contains(QStringLiteral("invalid value"));
    QCOMPARE(logged, logsInvalid);
}

void tst_settings::variousGroup() {
    m_root->writeSettings(QStringLiteral("[Various]\ndiffPLU_PluPK=7\nextra=x\n"));
    utils.loadSettings(false);
    QCOMPARE(Settings.variousSettings.value(QStringLiteral("diffPLU_PluPK")), QStringLiteral("7"));
    QCOMPARE(Settings.variousSettings.value(QStringLiteral("diffPLU_Waiter_ID")),
             QStringLiteral("1"));
    QCOMPARE(Settings.variousSettings.value(QStringLiteral("extra")), QStringLiteral("x"));
    QCOMPARE(Settings.variousSettings.size(), 3);
}

void tst_settings::credentialsStayPrivate() {
    utils.loadSettings(false);
    QCOMPARE(modeOf(dataRoot::settingsFile(Session)), 0600u);
    QCOMPARE(modeOf(Session.dataSettingsLocation), 0700u);
    // Looser files and directory left from before are tightened at start.
    writeRights("k\tv\n");
    ::chmod(QFile::encodeName(utils.rightsFilePath()).constData(), 0644);
    ::chmod(QFile::encodeName(Session.dataSettingsLocation).constData(), 0755);
    utils.createDirectories(QString());
    QCOMPARE(modeOf(utils.rightsFilePath()), 0600u);
    QCOMPARE(modeOf(Session.dataSettingsLocation), 0700u);
}

void tst_settings::passwordIsMaskedInTheReport() {
    m_root->writeSettings(QStringLiteral("[Credentials]\nloginPass=s3cr3t-pass\n"));
    utils.loadSettings(true);
    const QString log = m_root->todaysLogLines().join(QLatin1Char('\n'));
    QVERIFY(log.contains(QStringLiteral("  - loginPass             : ****")));
    QVERIFY(log.contains(QStringLiteral("  - restServerQt_port     : 7957")));
    QVERIFY(!log.contains(QStringLiteral("s3cr3t-pass")));
}

void tst_settings::writeRights(const QByteArray &bytes) {
    QFile file(utils.rightsFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

void tst_settings::rights_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");  // key=value, in key order
    QTest::newRow("two entries") << QByteArray("a\t1\nb\t2\n") << QStringList{"a=1", "b=2"};
    QTest::newRow("empty lines skipped") << QByteArray("\n\na\t1\n\n") << QStringList{"a=1"};
    QTest::newRow("line without tab skipped") << QByteArray("novalue\nb\t2") << QStringList{"b=2"};
    QTest::newRow("repeat takes last") << QByteArray("a\t1\na\t9\n") << QStringList{"a=9"};
    QTest::newRow("extra fields ignored") << QByteArray("a\t1\tx\ty\n") << QStringList{"a=1"};
    QTest::newRow("CRLF line ends") << QByteArray("a\t1\r\nb\t2\r\n") << QStringList{"a=1", "b=2"};
    QTest::newRow("empty value kept") << QByteArray("a\t\n") << QStringList{"a="};
    QTest::newRow("binary garbage")
        << QByteArray("\xff\xfe\x00\x01zz\nk\tv\n", 11) << QStringList{"k=v"};
}

void tst_settings::rights() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    Settings.passwordRightsPaths.insert(QStringLiteral("stale"), QStringLiteral("x"));
    writeRights(content);
    QVERIFY(utils.loadRights(true));
    QStringList actual;
    for (auto it = Settings.passwordRightsPaths.cbegin(); it != Settings.passwordRightsPaths.cend();
         ++it)
        actual << it.key() + QLatin1Char('=') + it.value();
    QCOMPARE(actual, expected);
}

void tst_settings::loadingIsBounded_data() {
    QTest::addColumn<File>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("cut");
    const int maxBytes = settingsBounds::maxBytes;
    const int maxKeys = settingsBounds::maxKeys;
    for (const File file : {File::Settings, File::Rights}) {
        const char *name = file == File::Settings ? "settings" : "rights";
        QTest::addRow("%s: %d bytes", name, maxBytes)
            << file << fileWithBytes(file, maxBytes) << false;
        QTest::addRow("%s: %d bytes", name, maxBytes + 1)
            << file << fileWithBytes(file, maxBytes + 1) << true;
        QTest::addRow("%s: 8 MiB", name) << file << fileWithBytes(file, 8 * 1024 * 1024) << true;
        QTest::addRow("%s: %d keys", name, maxKeys) << file << fileWithKeys(file, maxKeys) << false;
        QTest::addRow("%s: %d keys", name, maxKeys + 1)
            << file << fileWithKeys(file, maxKeys + 1) << true;
    }
}

// A file beyond the bounds, left by a write from before they existed or by hand, is used only
// from its start at a load: the client still starts with usable settings, and the settings
// file on disk is cut so that it is within the bounds from then on.
void tst_settings::loadingIsBounded() {
    QFETCH(File, file);
    QFETCH(QByteArray, content);
    QFETCH(bool, cut);
    const bool settings = file == File::Settings;
    const QString path = settings ? dataRoot::settingsFile(Session) : utils.rightsFilePath();
    testfiles::writeBytes(path, content);
    QString first;
    bool lastLoaded = false;
    if (settings) {
        utils.loadSettings(false);
        first = Settings.loginName;
        lastLoaded = Settings.variousSettings.contains(QStringLiteral("last"));
        QCOMPARE(Settings.restServerQt_port, quint16(7957));
        // Cut with room for the defaults written back: within the bounds at the next start.
        if (cut) QVERIFY(settingsBounds::refusal(file, testfiles::readBytes(path)).isEmpty());
    } else {
        QVERIFY(utils.loadRights(true));
        first = Settings.passwordRightsPaths.value(QStringLiteral("first"));
        lastLoaded = Settings.passwordRightsPaths.contains(QStringLiteral("last"));
        QVERIFY(Settings.passwordRightsPaths.size() <= settingsBounds::maxKeys);
        QCOMPARE(testfiles::readBytes(path), content);  // loading the rights writes nothing
    }
    QCOMPARE(first, QStringLiteral("start"));
    QCOMPARE(lastLoaded, !cut);
    const QString log = m_root->todaysLogLines().join(QLatin1Char('\n'));
    QCOMPARE(log.contains(QStringLiteral("holds more than 1048576 bytes or 10000 keys")), cut);
}

// When a settings file beyond the bounds cannot be cut (a read-only or full disk), the client
// starts with the defaults instead of reading it: only a real file system can refuse the write
// of root, so the test mounts one.
void tst_settings::settingsThatCannotBeCutAreNotRead() {
    const QString dir = Session.dataSettingsLocation;
    if (::geteuid() != 0 ||
        QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=4m,mode=0700", "tmpfs", dir}) != 0)
        QSKIP("cannot mount a tmpfs here");
    const QByteArray content = fileWithBytes(File::Settings, 2 * 1024 * 1024);
    testfiles::writeBytes(dataRoot::settingsFile(Session), content);
    const bool readOnly = QProcess::execute("mount", {"-o", "remount,ro", dir}) == 0;
    if (readOnly) utils.loadSettings(false);
    QProcess::execute("umount", {dir});
    QVERIFY(readOnly);
    QCOMPARE(Settings.loginName, QStringLiteral("demo"));
    QCOMPARE(Settings.variousSettings.value(QStringLiteral("diffPLU_PluPK")),
             QStringLiteral("50001"));
    QVERIFY(m_root->todaysLogLines()
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("could not be cut")));
}

void tst_settings::missingRightsFileKeepsTheMap() {
    Settings.passwordRightsPaths = {{QStringLiteral("keep"), QStringLiteral("me")}};
    QFile::remove(utils.rightsFilePath());
    QVERIFY(!utils.loadRights(true));
    QCOMPARE(Settings.passwordRightsPaths.value(QStringLiteral("keep")), QStringLiteral("me"));
}

void tst_settings::readFile_data() {
    QTest::addColumn<QByteArray>("content");  // empty: no file at all
    QTest::addColumn<bool>("toBase64");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("missing") << QByteArray() << false << 404 << QByteArray();
    QTest::newRow("empty file") << QByteArray("") << false << 0 << QByteArray();
    QTest::newRow("text") << QByteArray("a\r\nb") << false << 0 << QByteArray("a\nb");
    QTest::newRow("base64") << QByteArray("hi\xc3\xa9") << true << 0 << QByteArray("aGnDqQ==");
}

void tst_settings::readFile() {
    QFETCH(QByteArray, content);
    QFETCH(bool, toBase64);
    QFETCH(int, code);
    QFETCH(QByteArray, data);
    const QString path = m_root->path() + QStringLiteral("temp/f.txt");
    if (!content.isNull()) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const readResultStruct r = utils.readFile(path, toBase64);
    QCOMPARE(r.errorCode, code);
    QCOMPARE(r.fileData, data);
    if (code == 404)
        QCOMPARE(r.errorDescription, QStringLiteral("File %1 doesn't exist!").arg(path));
}

// The configuration reader and the rights loader never open a FIFO or read a device.
void tst_settings::onlyRegularFilesAreRead() {
    const QString device = m_root->path() + QStringLiteral("temp/zero");
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), device));
    const readResultStruct fromDevice = utils.readFile(device, true);
    QCOMPARE(fromDevice.errorCode, 403);
    QCOMPARE(fromDevice.errorDescription,
             QStringLiteral("File %1 is not a regular file!").arg(device));
    QVERIFY(fromDevice.fileData.isEmpty());

    QFile::remove(utils.rightsFilePath());
    FifoWatchdog fifo(utils.rightsFilePath());
    QVERIFY(fifo.created());
    const readResultStruct fromFifo = utils.readFile(utils.rightsFilePath(), true);
    QCOMPARE(fromFifo.errorCode, 403);
    Settings.passwordRightsPaths = {{QStringLiteral("keep"), QStringLiteral("me")}};
    QVERIFY(!utils.loadRights(true));
    QCOMPARE(Settings.passwordRightsPaths.value(QStringLiteral("keep")), QStringLiteral("me"));
    QVERIFY(m_root->todaysLogLines()
                .join(QLatin1Char('\n'))
                .contains(QStringLiteral("is not a regular file")));
    QVERIFY(!fifo.fired());

    // A settings file that is no file must not hold the start: the defaults apply.
    QFile::remove(dataRoot::settingsFile(Session));
    FifoWatchdog settingsFifo(dataRoot::settingsFile(Session));
    QVERIFY(settingsFifo.created());
    utils.loadSettings(false);
    QCOMPARE(Settings.loginName, QStringLiteral("demo"));
    QVERIFY(!settingsFifo.fired());
}

void tst_settings::dateSplitters_data() {
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");
    QTest::newRow("valid") << "202612071530"
                           << "2026-12-07"
                           << "15:30:00";
    QTest::newRow("11 chars") << "20261207153"
                              << ""
                              << "";
    QTest::newRow("13 chars") << "2026120715300"
                              << ""
                              << "";
}

void tst_settings::dateSplitters() {
    QFETCH(QString, stamp);
    QFETCH(QString, date);
    QFETCH(QString, time);
    QCOMPARE(utils.getDateFromDateTimeString(stamp), date);
    QCOMPARE(utils.getTimeFromDateTimeString(stamp), time);
}

QTEST_GUILESS_MAIN(tst_settings)
#include "tst_settings.moc"
