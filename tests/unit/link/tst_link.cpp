#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/utilsmodel.h"
#include "link/linktransport.h"
#include "link/restserversslsocketclient.h"
#include "loopback.h"
#include "storage/filewriter.h"
#include "testfiles.h"
#include "testpaths.h"
#include "tlstestserver.h"

using LinkState = RestServerSslSocketClient::LinkState;

namespace {
const QByteArray accepted = R"({"responseType":"registerPOS","data":[{"errorCode":0}]})"
                            "\n";

QByteArray command(const QString &name, const QJsonObject &parameters) {
    const QJsonObject message{{"commandType", name}, {"data", QJsonArray{parameters}}};
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

// Deadlines short enough for a test, in the same proportions as the product's.
linkTransport::Timing shortTiming() {
    linkTransport::Timing t;
    t.reconnectDelayMs = 500;
    t.handshakeTimeoutMs = 2000;
    t.keepAliveIntervalMs = 2000;
    t.keepAliveAnswerMs = 1000;
    t.closeGraceMs = 500;
    return t;
}
// The Base64 of the last reply of this type, found by position: a reply may carry many MiB.
QByteArray fileDataOf(const QByteArray &received, const char *typeCall) {
    const int call = received.lastIndexOf(QByteArray("\"typeCall\":\"") + typeCall + '"');
    const int line = received.lastIndexOf('\n', call) + 1;
    const QByteArray key = "\"fileData\":\"";
    const int start = received.indexOf(key, line) + key.size();
    if (call < 0 || start < key.size() || start > call) return "missing";
    return received.mid(start, received.indexOf('"', start) - start);
}
}  // namespace

// The link against TLS servers on loopback that behave well and badly: registration, trust,
// reconnection, and a deadline for every way a server can fall silent.
class tst_link : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void connectsAndRegisters();
    void registrationAnswers_data();
    void registrationAnswers();
    void refusesUntrustedServers_data();
    void refusesUntrustedServers();
    void reconnectsAfterEveryLoss();
    void closedPortIsRetried();
    void configuredServerWins();
    void deadEndsAreLeft_data();
    void deadEndsAreLeft();
    void slowReaderKeepsTheLink();
    void streamedFileArrivesWhole_data();
    void streamedFileArrivesWhole();
    void streamedFileCutOff_data();
    void streamedFileCutOff();
    void spooledUploadIsWritten_data();
    void spooledUploadIsWritten();
    void spooledUploadCutOff();
    void uploadsAreBounded_data();
    void uploadsAreBounded();
    void intakeIsBounded_data();
    void intakeIsBounded();
    void controlFloodIsHandledFlat_data();
    void controlFloodIsHandledFlat();
    void serverTextCannotForgeALogLine();
    void stopLetsTheReplyLeave();
    void reconnectDelays_data();
    void reconnectDelays();
    void jitterShortensDelays();

  private:
    TlsTestServer *newServer();
    // A server that accepts the registration, and the link registered with it; null if not.
    TlsTestServer *registeredServer();
    int logCount(const QString &needle) const;
    ClientDataRoot *m_root = nullptr;
    RestServerSslSocketClient *m_link = nullptr;
    QList<TlsTestServer *> m_servers;
};

void tst_link::initTestCase() { installMessageHandler(); }

void tst_link::init() {
    m_root = new ClientDataRoot;
    Settings.restServerQt_host = QStringLiteral("127.0.0.1");
    Settings.loginName = QStringLiteral("anna");
    m_link = new RestServerSslSocketClient;
}

void tst_link::cleanup() {
    delete m_link;
    qDeleteAll(m_servers);
    m_servers.clear();
    delete m_root;
}

TlsTestServer *tst_link::newServer() {
    m_servers << new TlsTestServer(testpaths::pkiDir() + QStringLiteral("/server.pem"),
                                   testpaths::pkiDir() + QStringLiteral("/server.key"));
    return m_servers.last();
}

TlsTestServer *tst_link::registeredServer() {
    TlsTestServer *server = newServer();
    server->setRegistrationAnswer(accepted);
    Settings.restServerQt_port = server->start();
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    return QTest::qWaitFor([this] { return m_link->isRegistered(); }, 10000) ? server : nullptr;
}

int tst_link::logCount(const QString &needle) const {
    return m_root->todaysLogLines().filter(needle).size();
}

void tst_link::connectsAndRegisters() {
    TlsTestServer *server = newServer();
    server->setRegistrationAnswer(accepted);
    Settings.restServerQt_port = server->start();
    QList<LinkState> states;
    connect(m_link, &RestServerSslSocketClient::signal_linkStateChanged, this,
            [&states](LinkState state) { states << state; });
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
    const QJsonObject message = QJsonDocument::fromJson(server->received(0)).object();
    QCOMPARE(message.value(QStringLiteral("typeCall")).toString(), QStringLiteral("registerPOS"));
    QCOMPARE(states, (QList<LinkState>{LinkState::Connecting, LinkState::Encrypted,
                                       LinkState::Registered}));
    QCOMPARE(
        logCount(QStringLiteral("Connected to host 127.0.0.1:%1").arg(Settings.restServerQt_port)),
        1);
    QCOMPARE(logCount(QStringLiteral("is encrypted")), 1);
    QCOMPARE(logCount(QStringLiteral("SSL error:")), 0);
}

void tst_link::registrationAnswers_data() {
    QTest::addColumn<QByteArray>("errorCode");  // as the server writes it
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QString>("logged");
    QTest::newRow("0") << QByteArray("0") << true << "";
    QTest::newRow("0.4 rounds to 0") << QByteArray("0.4") << true << "";
    QTest::newRow("0.6 rounds to 1")
        << QByteArray("0.6") << false << "registerPOS failed with errorCode 1 -> no";
    QTest::newRow("7") << QByteArray("7") << false << "registerPOS failed with errorCode 7 -> no";
    QTest::newRow("as text") << QByteArray("\"0\"") << false
                             << "registerPOS failed, errorCode not given!";
}

void tst_link::registrationAnswers() {
    QFETCH(QByteArray, errorCode);
    QFETCH(bool, registered);
    QFETCH(QString, logged);
    TlsTestServer *server = newServer();
    server->setRegistrationAnswer(R"({"responseType":"registerPOS","data":[{"errorCode":)" +
                                  errorCode + R"(,"errorDescription":"no"}]})" + "\n");
    Settings.restServerQt_port = server->start();
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    if (registered) {
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(logCount(logged) == 1, 10000);
    QCOMPARE(m_link->linkState(), LinkState::Encrypted);
}

void tst_link::refusesUntrustedServers_data() {
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expectedError");
    QTest::newRow("certificate of another CA") << "/untrusted/server.pem"
                                               << "/untrusted/server.key"
                                               << "issuer certificate";
    QTest::newRow("certificate for another host") << "/wronghost.pem"
                                                  << "/wronghost.key"
                                                  << "host name did not match";
}

void tst_link::refusesUntrustedServers() {
    QFETCH(QString, cert);
    QFETCH(QString, key);
    QFETCH(QString, expectedError);
    TlsTestServer server(testpaths::pkiDir() + cert, testpaths::pkiDir() + key);
    Settings.restServerQt_port = server.start();
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    // Refused, logged, and tried again on the normal schedule.
    QTRY_VERIFY_WITH_TIMEOUT(server.connectionCount() >= 2, 10000);
    const QStringList errors = m_root->todaysLogLines().filter(QStringLiteral("SSL error:"));
    QVERIFY(!errors.isEmpty());
    QVERIFY2(errors.first().contains(expectedError), qPrintable(errors.first()));
    QCOMPARE(server.encryptedCount(), 0);
    for (int i = 0; i < server.connectionCount(); ++i) QVERIFY(server.received(i).isEmpty());
    QVERIFY(!m_link->isRegistered());
}

void tst_link::reconnectsAfterEveryLoss() {
    TlsTestServer *server = newServer();
    Settings.restServerQt_port = server->start();
    QList<qint64> connectedAt;
    QElapsedTimer clock;
    clock.start();
    connect(server, &TlsTestServer::newEncryptedConnection, this,
            [&] { connectedAt << clock.elapsed(); });
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    for (int round = 1; round <= 3; ++round) {
        QTRY_COMPARE_WITH_TIMEOUT(connectedAt.size(), round, 10000);
        QTRY_COMPARE(m_link->linkState(), LinkState::Encrypted);
        server->closeAll();
        QTRY_COMPARE_WITH_TIMEOUT(m_link->linkState(), LinkState::Unconnected, 5000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(connectedAt.size(), 4, 10000);
    for (int i = 1; i < connectedAt.size(); ++i) {
        const qint64 gap = connectedAt.at(i) - connectedAt.at(i - 1);
        QVERIFY2(gap >= 2800 && gap < 6000, qPrintable(QString::number(gap)));
    }
    QVERIFY(logCount(QStringLiteral("Reconnect to host")) >= 3);
}

void tst_link::closedPortIsRetried() {
    Settings.restServerQt_port = loopback::freePort();
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("Reconnect to host")) >= 2, 10000);
    QVERIFY(logCount(QStringLiteral("ConnectionRefusedError")) >= 2);
    QVERIFY(logCount(QStringLiteral("Failed to connect to host 127.0.0.1")) >= 2);
}

void tst_link::configuredServerWins() {
    TlsTestServer *server = newServer();
    Settings.restServerQt_port = server->start();
    // Loopback too, should the configured host ever not win.
    QString host = QStringLiteral("127.0.0.2");
    m_link->connectToHost(host, 1);
    QCOMPARE(host, Settings.restServerQt_host);
    QTRY_VERIFY_WITH_TIMEOUT(server->connectionCount() == 1, 10000);
}

// Each way a server can stop without closing: the link gives up within its deadline, says
// why, and comes back on a new connection.
void tst_link::deadEndsAreLeft_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("TLS handshake never answered") << "silent accept"
                                                  << "not established within 2 s (TCP and TLS)";
    QTest::newRow("keep-alive never answered") << "no answers"
                                               << "Timeout occurred (timeout=1 seconds)";
    QTest::newRow("stops reading in the middle of a reply")
        << "stops reading"
        << "Nothing received from the server and no output delivered for 3 s";
}

void tst_link::deadEndsAreLeft() {
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    TlsTestServer *server = newServer();
    server->setSilentAccept(fault == QLatin1String("silent accept"));
    if (fault == QLatin1String("stops reading")) {
        server->setRegistrationAnswer(accepted);
        server->setReadRate(10 * 1024 * 1024);  // small buffers from the start
    }
    Settings.restServerQt_port = server->start();
    m_link->setTiming(shortTiming());
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    if (fault == QLatin1String("stops reading")) {
        // A reply far larger than what the kernel buffers between the two ends.
        testfiles::writeBytes(Session.dataTempLocation + QStringLiteral("big.txt"),
                              QByteArray(32 * 1024 * 1024, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
        server->setReadRate(0);
        server->send(0, command(QStringLiteral("getFileContent"),
                                {{"filePath", "big.txt"}, {"sendTimeOut", 600}}));
    }
    QTRY_VERIFY_WITH_TIMEOUT(logCount(reason) == 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(server->connectionCount() == 2, 5000);
    if (fault == QLatin1String("no answers")) QVERIFY(server->received(0).contains("\x02_KA_\x03"));
}

// A reader far slower than the reply's time-out allows for the whole reply, but steady: the
// reply and the keep-alive queued behind it arrive, on the same connection.
void tst_link::slowReaderKeepsTheLink() {
    TlsTestServer *server = newServer();
    server->setRegistrationAnswer(accepted);
    server->setKeepAliveAnswers(true);
    server->setReadRate(1024 * 1024);
    Settings.restServerQt_port = server->start();
    m_link->setTiming(shortTiming());
    const QByteArray content(6 * 1024 * 1024, 'y');
    testfiles::writeBytes(Session.dataTempLocation + QStringLiteral("big.txt"), content);
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
    server->send(0, command(QStringLiteral("getFileContent"),
                            {{"filePath", "big.txt"}, {"sendTimeOut", 1}}));
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).contains("\"fileData\""), 10000);
    m_link->sendKeepAliveMessage();  // behind the reply
    // The keep-alive left after the reply, was answered, and the answer acknowledged.
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).endsWith("\x02_KA_\x03\x02_OK_\x03"), 60000);
    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(logCount(QStringLiteral("Timeout occurred")), 0);
    QCOMPARE(QByteArray::fromBase64(fileDataOf(server->received(0), "getFileContent")), content);
}

void tst_link::streamedFileArrivesWhole_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expected");  // what the server decodes from the Base64
    QByteArray lines;
    for (int i = 0; i < 1000; ++i) lines += QByteArray::number(i) + " a line of plain text\n";
    const QByteArray text = lines.repeated(64 * 1024 * 1024 / lines.size() + 1);
    QTest::newRow("above the old 64 MiB cap") << text << text;
    // Slices end inside a character and inside a Base64 group; carriage returns are dropped.
    const QByteArray euro = QByteArray("caf\xe9 \x80 5\r\n").repeated(100000);
    QTest::newRow("Windows-1252 across slices")
        << euro << QByteArray("caf\xc3\xa9 \xe2\x82\xac 5\n").repeated(100000);
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

// A file's Base64 leaves as the file is read, whatever its size, and arrives whole.
void tst_link::streamedFileArrivesWhole() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    testfiles::writeBytes(Session.dataTempLocation + QStringLiteral("file.txt"), content);
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    server->send(0, command(QStringLiteral("getFileContent"), {{"filePath", "file.txt"}}));
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).endsWith("\"typeCall\":\"getFileContent\"}\n"),
                             60000);
    QCOMPARE(QByteArray::fromBase64(fileDataOf(server->received(0), "getFileContent")), expected);
    QCOMPARE(server->connectionCount(), 1);
}

void tst_link::streamedFileCutOff_data() {
    QTest::addColumn<bool>("fileShrinks");  // else the server goes away
    QTest::newRow("file shrinks") << true;
    QTest::newRow("server goes away") << false;
}

// A reply cut off mid-way never ends as a whole one: a file that cannot be read to its end
// breaks the connection off, and a lost connection closes the file. The link comes back.
void tst_link::streamedFileCutOff() {
    QFETCH(bool, fileShrinks);
    TlsTestServer *server = newServer();
    server->setRegistrationAnswer(accepted);
    server->setReadRate(4 * 1024 * 1024);
    Settings.restServerQt_port = server->start();
    m_link->setTiming(shortTiming());
    const QString path = Session.dataTempLocation + QStringLiteral("file.txt");
    testfiles::writeBytes(path, QByteArray(32 * 1024 * 1024, 'z'));
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
    server->send(0, command(QStringLiteral("getFileContent"), {{"filePath", "file.txt"}}));
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).contains("\"fileData\":\"enp6enp6"), 10000);
    if (fileShrinks)
        QVERIFY(QFile::resize(path, 1024 * 1024));
    else
        server->closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 2, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(m_link->isRegistered(), 10000);
    QVERIFY(!server->received(0).contains("\"typeCall\":\"getFileContent\""));
    QCOMPARE(logCount(QStringLiteral("could not be read to its end")), fileShrinks ? 1 : 0);
}

namespace {
QStringList spoolFiles() {
    return QDir(Session.dataLocation + QStringLiteral("journal"))
        .entryList({QStringLiteral("spool-*")}, QDir::Files);
}
}  // namespace

void tst_link::spooledUploadIsWritten_data() {
    QTest::addColumn<QByteArray>("parameters");  // "DATA" stands for the Base64
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("errorCode");
    QByteArray random(24 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    QTest::newRow("binary, path before the data")
        << QByteArray(
               R"({"filePath":"up.bin","basePathType":"temp","isBinary":true,"fileDataB64":"DATA"})")
        << random << 0;
    QTest::newRow("binary, path and mode after the data")
        << QByteArray(
               R"({"fileDataB64":"DATA","filePath":"up.bin","basePathType":"temp","isBinary":true})")
        << random << 0;
    QTest::newRow("text")
        << QByteArray(R"({"fileDataB64":"DATA","filePath":"up.bin","basePathType":"temp"})")
        << QByteArray("caf\xc3\xa9 line\n").repeated(400000) << 0;
    QTest::newRow("slashes escaped")
        << QByteArray(
               R"({"fileDataB64":"DATA","filePath":"up.bin","basePathType":"temp","isBinary":true})")
        << QByteArray("\xff\xff\xff").repeated(2000000) << 0;
    QTest::newRow("padding at the end")
        << QByteArray(
               R"({"fileDataB64":"DATA","filePath":"up.bin","basePathType":"temp","isBinary":true})")
        << random.left(5 * 1024 * 1024 + 2) << 0;
    const QByteArray archive = testfiles::makeZip(
        "with zipfile.ZipFile(out, 'w') as z:\n"
        "    z.writestr('big.bin', b'0123456789abcdef' * 300000)\n"
        "    z.writestr('d/small.txt', 'x')\n");
    QTest::newRow("archive")
        << QByteArray(R"({"fileDataB64":"DATA","filePath":"unpacked/","basePathType":"temp",)"
                      R"("isZipData":true})")
        << archive << 0;
    QTest::newRow("archive, not Base64 at the end")
        << QByteArray(R"({"fileDataB64":"DATA!","filePath":"unpacked/","basePathType":"temp",)"
                      R"("isZipData":true})")
        << archive << 959;
    QTest::newRow("not Base64 at the end")
        << QByteArray(
               R"({"fileDataB64":"DATA!","filePath":"up.bin","basePathType":"temp","isBinary":true})")
        << random.left(4 * 1024 * 1024) << 959;
}

// An upload far beyond what the link holds in memory goes to a spool as it arrives and is
// decoded into the file as it is written; wherever the parameters stand, whatever the mode.
// Bad data leave the target as it was and nothing behind.
void tst_link::spooledUploadIsWritten() {
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, content);
    QFETCH(int, errorCode);
    const QString target = Session.dataTempLocation + QStringLiteral("up.bin");
    testfiles::writeBytes(target, "before");
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    QByteArray base64 = content.toBase64();
    if (QTest::currentDataTag() == QLatin1String("slashes escaped")) base64.replace("/", "\\/");
    QVERIFY(base64.size() > linkTransport::spoolFromBytes);
    server->send(0, R"({"commandType":"saveFileContent","data":[)" +
                        parameters.replace("DATA", base64) + "]}\n");
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).contains("\"typeCall\":\"saveFileContent\""),
                             60000);
    QVERIFY2(server->received(0).contains(QByteArray("\"errorCode\":") +
                                          QByteArray::number(errorCode) + ','),
             server->received(0).right(300).constData());
    if (QByteArray(QTest::currentDataTag()).startsWith("archive")) {
        // Unpacked whole, or nothing made at all.
        const QString unpacked = Session.dataTempLocation + QStringLiteral("unpacked/");
        QCOMPARE(testfiles::readBytes(unpacked + "big.bin"),
                 errorCode == 0 ? QByteArray("0123456789abcdef").repeated(300000) : "<missing>");
        QCOMPARE(QFileInfo::exists(unpacked), errorCode == 0);
        QVERIFY(!QFileInfo::exists(unpacked + "tmp_zip"));
        QCOMPARE(spoolFiles(), QStringList());
        return;
    }
    QFile written(target);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), errorCode == 0 ? content : QByteArray("before"));
    QVERIFY(!QFile::exists(target + QStringLiteral(".tmp")));
    QCOMPARE(spoolFiles(), QStringList());
}

// An upload cut off by a lost connection writes nothing and leaves no spool behind.
void tst_link::spooledUploadCutOff() {
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    const QByteArray message =
        R"({"commandType":"saveFileContent","data":[{"filePath":"cut.bin","basePathType":"temp","fileDataB64":")" +
        QByteArray(16 * 1024 * 1024, 'A') + "\"}]}\n";
    server->send(0, message.left(message.size() / 2));
    QTRY_COMPARE_WITH_TIMEOUT(spoolFiles().size(), 1, 10000);
    server->closeAll();
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(spoolFiles(), QStringList(), 10000);
    QVERIFY(!QFile::exists(Session.dataTempLocation + QStringLiteral("cut.bin")));
}

void tst_link::uploadsAreBounded_data() {
    QTest::addColumn<int>("maxMiB");  // the setting for transfers
    QTest::addColumn<int>("fileBytes");
    QTest::addColumn<QString>("tmpfsAt");  // "target" or "spools": a tmpfs of tmpfsMiB there
    QTest::addColumn<int>("tmpfsMiB");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("info");
    const int MiB = 1024 * 1024;
    QTest::newRow("spooled, within the bound") << 8 << 6 * MiB << "" << 0 << 0 << "";
    QTest::newRow("spooled, above the bound") << 4 << 6 * MiB << "" << 0 << 903 << "";
    QTest::newRow("held, above the bound") << 1 << 2 * MiB << "" << 0 << 903 << "";
    QTest::newRow("spooled, the disk would keep too little")
        << 8 << 6 * MiB << "target" << 68 << 900 << "do not fit on the disk";
    QTest::newRow("held, the disk would keep too little")
        << 8 << 2 * MiB << "target" << 65 << 900 << "do not fit on the disk";
    QTest::newRow("held, the disk keeps enough") << 8 << 2 * MiB << "target" << 68 << 0 << "";
    QTest::newRow("spooled, the spool disk runs down to its reserve")
        << 32 << 16 * MiB << "spools" << 70 << 900 << "kept free";
}

// An upload beyond the setting for transfers, or one that would leave its disk (or the disk it
// is spooled on) with less than the space kept free, is refused with the reason, whether it was
// held or spooled; the target stays as it was, nothing is left behind, and the link goes on.
void tst_link::uploadsAreBounded() {
    QFETCH(int, maxMiB);
    QFETCH(int, fileBytes);
    QFETCH(QString, tmpfsAt);
    QFETCH(int, tmpfsMiB);
    QFETCH(int, errorCode);
    QFETCH(QString, info);
    const QString folder = Session.dataTempLocation + QStringLiteral("disk/");
    const QString mountPoint = tmpfsAt == "target" ? folder
                               : tmpfsAt == "spools"
                                   ? fileWriter(Session, appLog()).journalDirectory()
                                   : QString();
    QVERIFY(QDir().mkpath(folder));
    if (!mountPoint.isEmpty() &&
        (!QDir().mkpath(mountPoint) ||
         QProcess::execute("mount", {"-t", "tmpfs", "-o", QStringLiteral("size=%1m").arg(tmpfsMiB),
                                     "tmpfs", mountPoint}) != 0))
        QSKIP("a tmpfs cannot be mounted here");
    const auto unmount = qScopeGuard([&] {
        Settings.maxFileTransferMiB = 1024;
        if (!mountPoint.isEmpty()) QProcess::execute("umount", {mountPoint});
    });
    Settings.maxFileTransferMiB = maxMiB;
    testfiles::writeBytes(folder + "up.bin", "before");
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    QByteArray content(fileBytes, Qt::Uninitialized);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32 *>(content.data()), fileBytes / 4);
    server->send(0, R"({"commandType":"saveFileContent","data":[{"filePath":"disk/up.bin",)"
                    R"("basePathType":"temp","isBinary":true,"fileDataB64":")" +
                        content.toBase64() + "\"}]}\n" + command(QStringLiteral("getNodes"), {}));
    QTRY_VERIFY_WITH_TIMEOUT(server->received(0).contains("\"typeCall\":\"getNodes\""), 60000);
    const QByteArray replies = server->received(0);
    QVERIFY2(replies.contains(QByteArray("\"errorCode\":") + QByteArray::number(errorCode) + ','),
             replies.right(400).constData());
    if (errorCode == 903)
        QVERIFY(replies.contains(QByteArray("is larger than ") +
                                 QByteArray::number(qint64(maxMiB) * 1024 * 1024) + " bytes!"));
    QVERIFY(replies.contains(info.toUtf8()));
    QCOMPARE(testfiles::readBytes(folder + "up.bin"), errorCode == 0 ? content : "before");
    QCOMPARE(
        QDir(folder).entryList(QDir::Files),
        QStringList(errorCode == 0 ? QStringList{"up.bin", "up.bin.old"} : QStringList{"up.bin"}));
    QCOMPARE(spoolFiles(), QStringList());
}

void tst_link::intakeIsBounded_data() {
    QTest::addColumn<int>("messages");
    QTest::addColumn<bool>("closed");
    QTest::newRow("as many as the bound") << linkTransport::maxQueuedMessages << false;
    QTest::newRow("one more") << linkTransport::maxQueuedMessages + 1 << true;
}

// Messages that arrive together wait while the first one runs; beyond the bound the server is
// misbehaving and the connection goes, instead of memory without end.
void tst_link::intakeIsBounded() {
    QFETCH(int, messages);
    QFETCH(bool, closed);
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    QByteArray burst;
    for (int i = 0; i < messages; ++i) burst += command(QStringLiteral("getNodes"), {});
    server->send(0, burst);
    if (closed) {
        QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("closing the connection")) == 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 2, 10000);
        QCOMPARE(server->received(0).count("\"typeCall\":\"getNodes\""), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(server->received(0).count("\"typeCall\":\"getNodes\""), messages,
                                  20000);
        QCOMPARE(server->connectionCount(), 1);
    }
}

void tst_link::controlFloodIsHandledFlat_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("logged");  // in the log file, only some repeats
    QTest::newRow("keep-alive answers") << QByteArray("\x02_KAS_\x03") << QString();
    QTest::newRow("unknown control frames")
        << QByteArray("\x02_XX_\x03") << QStringLiteral("Unknown control frame ignored");
    QTest::newRow("stray bytes") << QByteArray("x\n") << QStringLiteral("Discarded data");
}

// Half a million control frames (or stray lines) in one burst: handled in constant stack, with a
// bounded number of acknowledgements and log lines; the link stays and still answers.
void tst_link::controlFloodIsHandledFlat() {
    QFETCH(QByteArray, frame);
    QFETCH(QString, logged);
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    server->send(0, frame.repeated(500000) + command(QStringLiteral("getNodes"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(server->received(0).count("\"typeCall\":\"getNodes\""), 1, 120000);
    QVERIFY(m_link->isRegistered());
    QCOMPARE(server->connectionCount(), 1);
    QVERIFY(server->received(0).count("\x02_OK_\x03") <= 64);
    if (!logged.isEmpty()) {
        QVERIFY(logCount(logged) >= 1);
        QVERIFY2(logCount(logged) <= 64, qPrintable(QString::number(logCount(logged))));
    }
}

// A message is logged with its start, in one line however it is broken: a line end inside it
// cannot forge a line of its own.
void tst_link::serverTextCannotForgeALogLine() {
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    const QByteArray forged = "2001-01-01 00:00:00 => 100   : [main] forged";
    server->send(0, "{\"commandType\":\"getNodes\r\n" + forged + "\",\"data\":[{}]}\n" +
                        command(QStringLiteral("getNodes"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(server->received(0).count("\"typeCall\":\"getNodes\""), 1, 10000);
    // The preview of the message, and the reply that names the unknown command.
    QCOMPARE(logCount(QStringLiteral("getNodes\\r\\n") + QLatin1String(forged)), 2);
    QCOMPARE(m_root->todaysLogLines().filter(QRegularExpression(QStringLiteral("^2001-"))).size(),
             0);
}

// A stop takes no new command but lets the running one finish and its reply leave.
void tst_link::stopLetsTheReplyLeave() {
    TlsTestServer *server = registeredServer();
    QVERIFY(server);
    QSignalSpy stopped(m_link, &RestServerSslSocketClient::signal_stopped);
    // A ping of two echo requests takes about a second; the stop comes while it runs.
    server->send(0, command(QStringLiteral("pingDevices"),
                            {{"ipFilterString", "127.0.0.1"}, {"pingHops", 2}}) +
                        command(QStringLiteral("getNodes"), {}));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("Command to execute")) == 1, 10000);
    m_link->stop();
    QVERIFY(stopped.isEmpty());
    QVERIFY(stopped.wait(10000));
    QVERIFY(server->received(0).contains("\"typeCall\":\"pingDevices\""));
    QTest::qWait(500);  // a command dispatched after the stop would answer at once
    QVERIFY(!server->received(0).contains("\"typeCall\":\"getNodes\""));
}

void tst_link::reconnectDelays_data() {
    QTest::addColumn<int>("maxDelaySeconds");
    QTest::addColumn<QList<qint64>>("delaysMs");  // after 0, 1, 2, ... failed attempts
    QTest::newRow("default: always 3 s") << 3 << QList<qint64>{3000, 3000, 3000, 3000, 3000};
    QTest::newRow("growing up to 60 s")
        << 60 << QList<qint64>{3000, 3000, 6000, 12000, 24000, 48000, 60000, 60000};
}

void tst_link::reconnectDelays() {
    QFETCH(int, maxDelaySeconds);
    QFETCH(QList<qint64>, delaysMs);
    linkTransport transport(new QSslSocket);
    transport.setBackoff({maxDelaySeconds, 0});
    for (int failures = 0; failures < delaysMs.size(); ++failures)
        QCOMPARE(transport.reconnectDelayMs(failures), delaysMs.at(failures));
}

// A fleet spreads out: each delay is drawn below the back-off curve, down to half of it.
void tst_link::jitterShortensDelays() {
    Settings.restServerQt_port = loopback::freePort();
    Settings.reconnectJitterPercent = 50;
    m_link->setTiming(shortTiming());  // 500 ms, doubling up to the 3 s cap
    QList<double> delays;
    connect(m_link, &RestServerSslSocketClient::signal_linkStateChanged, this,
            [&delays](LinkState state, const QString &detail) {
                if (state == LinkState::Unconnected && detail.startsWith("Reconnecting in "))
                    delays << detail.section(' ', 2, 2).toDouble();
            });
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(delays.size() >= 5, 20000);
    const QList<double> curve{0.5, 1, 2, 3, 3};
    bool anyShortened = false;
    for (int i = 0; i < curve.size(); ++i) {
        QVERIFY2(delays.at(i) >= curve.at(i) / 2 && delays.at(i) <= curve.at(i),
                 qPrintable(QString::number(delays.at(i))));
        anyShortened = anyShortened || delays.at(i) < curve.at(i);
    }
    QVERIFY(anyShortened);
}

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
