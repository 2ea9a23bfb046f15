#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>

#include "restserversslsocketclient.h"
#include "tempdataroot.h"
#include "testpaths.h"
#include "tlstestserver.h"
#include "utils.h"

using LinkState = RestServerSslSocketClient::LinkState;

class tst_link : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void connectsAndRegisters();
    void refusesUntrustedServers_data();
    void refusesUntrustedServers();
    void reconnectsAfterEveryLoss();
    void closedPortIsRetried();
    void configuredServerWins();

private:
    int logCount(const QString &needle) const;
    TempDataRoot *m_root = nullptr;
    RestServerSslSocketClient *m_link = nullptr;
};

void tst_link::initTestCase() { installMessageHandler(); }

void tst_link::init() {
    m_root = new TempDataRoot;
    Settings = settingsStruct();
    utils.setDirectories(QString());
    utils.createDirectories(QString());
    Settings.loginName = QStringLiteral("anna");
    m_link = new RestServerSslSocketClient;
}

void tst_link::cleanup() {
    delete m_link;
    delete m_root;
}

int tst_link::logCount(const QString &needle) const {
    return m_root->todaysLogLines().filter(needle).size();
}

void tst_link::connectsAndRegisters() {
    TlsTestServer server(testpaths::pkiDir() + QStringLiteral("/server.pem"),
                         testpaths::pkiDir() + QStringLiteral("/server.key"));
    Settings.restServerQt_port = server.start();
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(server.received(0).endsWith('\n'), 10000);
    const QJsonObject message = QJsonDocument::fromJson(server.received(0)).object();
    QCOMPARE(message.value(QStringLiteral("typeCall")).toString(), QStringLiteral("registerPOS"));
    QVERIFY(m_link->isConnected());
    QVERIFY(logCount(QStringLiteral("Connected to host localhost:%1").arg(Settings.restServerQt_port)) == 1);
    QTRY_VERIFY(logCount(QStringLiteral("is encrypted")) == 1);
    QCOMPARE(logCount(QStringLiteral("SSL error:")), 0);
}

void tst_link::refusesUntrustedServers_data() {
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expectedError");
    QTest::newRow("certificate of another CA")
        << "/untrusted/server.pem" << "/untrusted/server.key" << "issuer certificate";
    QTest::newRow("certificate for another host") << "/wronghost.pem" << "/wronghost.key"
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
    QVERIFY(logCount(QStringLiteral("SSL error:")) >= 1);
    QVERIFY2(m_root->todaysLogLines().filter(QStringLiteral("SSL error:")).first().contains(expectedError),
             qPrintable(m_root->todaysLogLines().filter(QStringLiteral("SSL error:")).first()));
    QCOMPARE(server.encryptedCount(), 0);
    for (int i = 0; i < server.connectionCount(); ++i) QVERIFY(server.received(i).isEmpty());
    QVERIFY(!m_link->isRegistered());
}

void tst_link::reconnectsAfterEveryLoss() {
    TlsTestServer server(testpaths::pkiDir() + QStringLiteral("/server.pem"),
                         testpaths::pkiDir() + QStringLiteral("/server.key"));
    Settings.restServerQt_port = server.start();
    QList<qint64> connectedAt;
    QElapsedTimer clock;
    clock.start();
    connect(&server, &TlsTestServer::newEncryptedConnection, this,
            [&] { connectedAt << clock.elapsed(); });
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    for (int round = 1; round <= 3; ++round) {
        QTRY_COMPARE_WITH_TIMEOUT(connectedAt.size(), round, 10000);
        QTRY_VERIFY(m_link->isConnected());
        server.closeAll();
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
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    Settings.restServerQt_host = QStringLiteral("127.0.0.1");
    Settings.restServerQt_port = probe.serverPort();
    probe.close();  // nothing listens there any more
    m_link->connectToHost(Settings.restServerQt_host, Settings.restServerQt_port);
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("Reconnect to host")) >= 2, 10000);
    QVERIFY(logCount(QStringLiteral("ConnectionRefusedError")) >= 2);
    QVERIFY(logCount(QStringLiteral("Failed to connect to host 127.0.0.1")) >= 2);
}

void tst_link::configuredServerWins() {
    TlsTestServer server(testpaths::pkiDir() + QStringLiteral("/server.pem"),
                         testpaths::pkiDir() + QStringLiteral("/server.key"));
    Settings.restServerQt_port = server.start();
    QString host = QStringLiteral("other");
    m_link->connectToHost(host, 1);
    QCOMPARE(host, Settings.restServerQt_host);
    QTRY_VERIFY_WITH_TIMEOUT(server.connectionCount() == 1, 10000);
}

QTEST_GUILESS_MAIN(tst_link)
#include "tst_link.moc"
