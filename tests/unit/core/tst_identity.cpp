#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/utilsmodel.h"

class tst_identity : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void deviceIdIsCreatedOnceAndKept();
    void existingDeviceIdIsReadUnchanged();
    void alternativeMacSkipsTheInterfaces();
    void macAndIpOfThisHost();
    void fixedAnswers();

  private:
    QString idFile() const {
        return Session.dataSettingsLocation + QStringLiteral("tessaron_device_id.dat");
    }
    ClientDataRoot *m_root = nullptr;
};

void tst_identity::init() { m_root = new ClientDataRoot; }

void tst_identity::cleanup() { delete m_root; }

void tst_identity::deviceIdIsCreatedOnceAndKept() {
    QVERIFY(utils.getGeneratedDeviceID());
    const QString id = appSession.unique_deviceID;
    QVERIFY(
        QRegularExpression(
            QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
            .match(id)
            .hasMatch());
    QFile file(idFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), id);
    QCOMPARE(file.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
    appSession.unique_deviceID.clear();
    QVERIFY(utils.getGeneratedDeviceID());
    QCOMPARE(appSession.unique_deviceID, id);
    QVERIFY(m_root->todaysLogLines().filter(id).size() >= 2);  // generated and saved
}

void tst_identity::existingDeviceIdIsReadUnchanged() {
    QFile file(idFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("my-id\n");
    file.close();
    QVERIFY(utils.getGeneratedDeviceID());
    QCOMPARE(appSession.unique_deviceID, QStringLiteral("my-id\n"));
}

void tst_identity::alternativeMacSkipsTheInterfaces() {
    Settings.getAlternative_MAC = true;
    utils.getMAC_addresses();
    QCOMPARE(appSession.macAddress_license, QStringLiteral("TEST0ALT0MAC"));
    QCOMPARE(appSession.macAddress_read, QStringLiteral("0F0102030405"));
}

void tst_identity::macAndIpOfThisHost() {
    utils.getMAC_addresses();
    QVERIFY(!appSession.macAddress_license.isEmpty());
    utils.getCurrentIP();
    QVERIFY(!appSession.currentIP.isEmpty());
    QVERIFY(!appSession.currentIP.startsWith(QLatin1String("127.")));
    QVERIFY(!appSession.currentIP.startsWith(QLatin1String("169.")));
}

void tst_identity::fixedAnswers() {
    QVERIFY(utils.getOsDetails());
    QCOMPARE(appSession.versionCode, 3330);
    QCOMPARE(appSession.os_type, QStringLiteral("Linux"));
    QCOMPARE(appSession.os_deviceType, QStringLiteral("TEST_LINUX"));
    QCOMPARE(utils.getIMEI(), QStringLiteral("IMEI12345678TEST"));
    QCOMPARE(utils.getDeviceId(), QStringLiteral("_IN_DEBUG_"));
    QCOMPARE(utils.getAndroidId(), QStringLiteral("_IN_DEBUG_"));
    QCOMPARE(utils.getMAC_address(), QStringLiteral("0F0102030405"));
    QCOMPARE(utils.getDpi(), 1.0);
}

QTEST_GUILESS_MAIN(tst_identity)
#include "tst_identity.moc"
