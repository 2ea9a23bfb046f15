#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include "loopback.h"
#include "scriptedsession.h"
#include "tempdataroot.h"
#include "testfiles.h"

// The real client against the real development server: registration, replies, keep-alive,
// the configuration round trip and the framing of what the server sends.
class tst_protocol : public QObject {
    Q_OBJECT
  private slots:
    void registrationRecord();
    void secretsStayOutOfLogAndConsole();
    void refusedRegistrationStaysConnected();
    void sleepPausesThenReconnects();
    void everyCommandGetsOneEnvelope();
    void replyDetails_data();
    void replyDetails();
    void configurationRoundTripReconnectsWithNewValues();
    void badSettingsAreRolledBack_data();
    void badSettingsAreRolledBack();
    void framingSurvivesHostileSegmentation_data();
    void framingSurvivesHostileSegmentation();
    void keepAliveAnswered();
    void keepAliveUnansweredDisconnects();
    void largeMessageWhileKeepAlivesFire();
};

void tst_protocol::registrationRecord() {
    TempDataRoot root;
    testfiles::writeBytes(root.settingsDir() + QStringLiteral("qltRestClientRightsQt.conf"),
                          "zeta\t/z\nalpha\t/a\n");
    ScriptedSession s(root);
    s.addSettings(
        QStringLiteral("[Credentials]\nloginName=anna\nloginPass=pw\nchannelID=ch7\n"
                       "[Global]\nID__BoCompanyID=42\n"));
    QVERIFY2(s.run({ScriptedSession::command(QStringLiteral("getClientInfo"))}),
             qPrintable(s.serverStderr()));
    const QList<QJsonObject> regs = s.replies(QStringLiteral("registerPOS"));
    QCOMPARE(regs.size(), 1);
    const QJsonArray data = regs.first().value(QStringLiteral("data")).toArray();
    QCOMPARE(data.size(), 1);
    QJsonObject record = data.first().toObject();
    const QString mac = record.take(QStringLiteral("MAC")).toString();
    QVERIFY(!mac.contains(QLatin1Char(':')));
    QVERIFY(!mac.isEmpty());
    const QJsonObject expected =
        QJsonDocument::fromJson(
            R"({"NID":1,"domain":"debian-pos1","ID__BoCompanyID":42,"client_Version":"1.0.1",
            "loginName":"anna","loginPass":"pw","channelID":"ch7",
            "myPasswordList":[{"pwd":"?[*_*]_NONE_"},{"pwd":"alpha[*_*]/a"},{"pwd":"zeta[*_*]/z"}]})")
            .object();
    QCOMPARE(record, expected);
    QCOMPARE(regs.first().keys(), (QStringList{"data", "typeCall"}));
}

// Every form a secret can take on its way through the client: as text, and Base64-encoded
// inside a longer text at any of the three byte offsets.
static QStringList secretForms(const QByteArray &secret) {
    QStringList forms{QString::fromUtf8(secret)};
    for (int offset = 0; offset < 3; ++offset) {
        const QByteArray encoded = QByteArray(QByteArray(offset, 'x') + secret).toBase64();
        // Only the characters that depend on the secret's bytes alone.
        const int first = (offset * 8 + 5) / 6;
        const int last = (offset + secret.size()) * 8 / 6;
        forms << QString::fromLatin1(encoded.mid(first, last - first));
    }
    return forms;
}

void tst_protocol::secretsStayOutOfLogAndConsole() {
    const QByteArray password = "Pa55-word-at-start";
    const QByteArray newPassword = "N3w-pa55-word-later";
    const QByteArray rightsSecret = "R1ghts-secret-value";
    TempDataRoot root;
    testfiles::writeBytes(root.settingsDir() + QStringLiteral("qltRestClientRightsQt.conf"),
                          "till\t" + rightsSecret + "\n");
    const quint16 port = loopback::freePort();
    ScriptedSession s(root);
    s.setPort(port);
    s.addSettings(
        QStringLiteral("[Credentials]\nloginPass=%1\n").arg(QString::fromLatin1(password)));
    const QByteArray newSettings =
        "[RestServiceQt]\nrestServerQt_host=127.0.0.1\nrestServerQt_port=" +
        QByteArray::number(port) +
        "\n[POS]\npos_host=127.0.0.1\n[Credentials]\nloginPass=" + newPassword + "\n";
    const QByteArray newRights = "till\t" + rightsSecret + "\nback\t" + rightsSecret + "\n";
    QVERIFY2(s.run({ScriptedSession::command(QStringLiteral("getConfiguration")),
                    ScriptedSession::command(
                        QStringLiteral("setRights"),
                        {QJsonObject{{"fileDataB64", QString::fromLatin1(newRights.toBase64())}}}),
                    {QJsonObject{{"devserver", QJsonObject{{"sleepMs", 5000}}}}},
                    ScriptedSession::command(
                        QStringLiteral("setConfiguration"),
                        {QJsonObject{{"dataValue", QString::fromLatin1(newSettings.toBase64())}}}),
                    {QJsonObject{{"devserver", QJsonObject{{"sleepMs", 5000}}}}},
                    ScriptedSession::command(QStringLiteral("getConfiguration"))}),
             qPrintable(s.serverStderr()));
    // The secrets did travel: three registrations, the last with the new password.
    const QList<QJsonObject> regs = s.replies(QStringLiteral("registerPOS"));
    QCOMPARE(regs.size(), 3);
    QCOMPARE(regs.last().value("data").toArray().first().toObject().value("loginPass").toString(),
             QString::fromLatin1(newPassword));
    const QString log = s.clientLog();
    const QString console = root.clientConsole();
    for (const QByteArray &secret : {password, newPassword, rightsSecret}) {
        for (const QString &form : secretForms(secret)) {
            QVERIFY2(!log.contains(form), qPrintable(secret + " as " + form + " in the log"));
            QVERIFY2(!console.contains(form),
                     qPrintable(secret + " as " + form + " on the console"));
        }
    }
    QVERIFY(log.contains(QStringLiteral("\"loginPass\":\"****\"")));
    // The console shows the same line through Qt's debug stream, which escapes the quotes.
    QVERIFY(console.contains(QStringLiteral("\\\"loginPass\\\":\\\"****\\\"")));
}

void tst_protocol::refusedRegistrationStaysConnected() {
    TempDataRoot root;
    ScriptedSession s(root);
    s.addServerArguments({QStringLiteral("--register"), QStringLiteral("refuse:7:nope")});
    QVERIFY(!s.run({ScriptedSession::command(QStringLiteral("getClientInfo"))}, 6));
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("connected")), 1);
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("disconnected")), 0);
    QCOMPARE(s.replies(QStringLiteral("getClientInfo")).size(), 0);
    QVERIFY(s.clientLog().contains(QStringLiteral("registerPOS failed with errorCode 7 -> nope")));
}

void tst_protocol::sleepPausesThenReconnects() {
    TempDataRoot root;
    ScriptedSession s(root);
    s.addServerArguments({QStringLiteral("--register"), QStringLiteral("sleep:2,accept")});
    QElapsedTimer clock;
    clock.start();
    QVERIFY(s.run({ScriptedSession::command(QStringLiteral("getClientInfo"))}));
    QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(s.replies(QStringLiteral("registerPOS")).size(), 2);
    QVERIFY(
        s.clientLog().contains(QStringLiteral("registerPOS got the command to sleep 2 seconds")));
}

void tst_protocol::everyCommandGetsOneEnvelope() {
    const QStringList names = {"testConnection",
                               "deamonDirect",
                               "doAccClose",
                               "getDirectoryFiles",
                               "getClientInfo",
                               "getFileContent",
                               "createAndEmptyDirectory",
                               "getVariousSetting",
                               "saveFileContent",
                               "setRights",
                               "getConfiguration",
                               "getNodes",
                               "rebootDevice",
                               "restartClient",
                               "pingDevices",
                               "pushLicense",
                               "getPosInfo",
                               "getProcessInfo",
                               "getProcesses",
                               "killProcessByName",
                               "killPidById",
                               "noSuchCommand"};
    TempDataRoot root;
    ScriptedSession s(root);
    s.addSettings(QStringLiteral("[POS]\npos_port=1\n"));  // nothing listens on loopback port 1
    QList<QJsonObject> script;
    for (const QString &n : names) script << ScriptedSession::command(n);
    // Changes nothing: only the raw data type is accepted.
    script << ScriptedSession::command(QStringLiteral("setConfiguration"),
                                       {QJsonObject{{"dataType", "json"}, {"dataValue", "e30="}}});
    QVERIFY2(s.run(script, 120), qPrintable(s.serverStderr()));
    for (const QString &n : names + QStringList{"setConfiguration"}) {
        const QList<QJsonObject> r = s.replies(n);
        QCOMPARE(r.size(), 1);
        const QJsonArray data = r.first().value(QStringLiteral("data")).toArray();
        QCOMPARE(data.size(), 1);
        QVERIFY2(data.first().toObject().contains(QStringLiteral("errorCode")), qPrintable(n));
    }
    QCOMPARE(
        s.result(QStringLiteral("noSuchCommand")),
        (QJsonObject{{"errorCode", 404}, {"errorDescription", "Unknown command 'noSuchCommand'"}}));
    QCOMPARE(
        s.result(QStringLiteral("setConfiguration")).value(QStringLiteral("errorCode")).toInt(),
        902);
}

void tst_protocol::replyDetails_data() {
    QTest::addColumn<QJsonObject>("command");
    QTest::addColumn<int>("replies");
    QTest::addColumn<QString>("logNeedle");
    QTest::newRow("three parameter objects, three replies")
        << ScriptedSession::command("getClientInfo", {QJsonObject(), QJsonObject(), QJsonObject()})
        << 3 << QString();
    QTest::newRow("sendTimeOut number is used")
        << ScriptedSession::command("getClientInfo", {QJsonObject{{"sendTimeOut", 120}}}) << 1
        << "Sending the following json message (timeout 120 seconds";
    QTest::newRow("sendTimeOut string is ignored")
        << ScriptedSession::command("getClientInfo", {QJsonObject{{"sendTimeOut", "120"}}}) << 1
        << "Sending the following json message (timeout 55 seconds";
    QTest::newRow("empty data list, no reply")
        << ScriptedSession::command("getClientInfo", {}) << 0 << QString();
    const auto raw = [](const QByteArray &message) {
        return QJsonObject{
            {"devserver", QJsonObject{{"raw", QString::fromLatin1(message.toBase64())}}}};
    };
    QTest::newRow("repeated key, reply and log line")
        << raw(R"({"commandType":"getClientInfo","data":[{"x":1,"x":2}]})"
               "\n")
        << 1 << "Key 'x' appears twice in one object of a message from the server";
    QTest::newRow("malformed message, no reply")
        << raw(R"({"commandType":"getClientInfo","data":[{"x":}]})"
               "\n")
        << 0 << "Malformed message from the server discarded (illegal number at offset 44)";
}

void tst_protocol::replyDetails() {
    QFETCH(QJsonObject, command);
    QFETCH(int, replies);
    QFETCH(QString, logNeedle);
    TempDataRoot root;
    ScriptedSession s(root);
    // A final command that always answers, so that the script has an end.
    QVERIFY(s.run({command, ScriptedSession::command(QStringLiteral("getNodes"))}));
    QCOMPARE(s.replies(QStringLiteral("getClientInfo")).size(), replies);
    if (!logNeedle.isEmpty()) QVERIFY(s.clientLog().contains(logNeedle));
}

void tst_protocol::configurationRoundTripReconnectsWithNewValues() {
    TempDataRoot root;
    const quint16 port = loopback::freePort();
    ScriptedSession s(root);
    s.setPort(port);
    QVERIFY(s.run({ScriptedSession::command(QStringLiteral("getConfiguration"))}));
    const QString before =
        QString::fromUtf8(QByteArray::fromBase64(s.result(QStringLiteral("getConfiguration"))
                                                     .value(QStringLiteral("settingsFileData"))
                                                     .toString()
                                                     .toLatin1()));
    QVERIFY(before.contains(QStringLiteral("loginName=demo")));

    QString edited = before;
    edited.replace(QStringLiteral("loginName=demo"), QStringLiteral("loginName=bob"));
    const QString b64 = QString::fromLatin1(edited.toUtf8().toBase64());
    ScriptedSession s2(root);
    s2.setPort(port);
    QVERIFY(s2.run({ScriptedSession::command(QStringLiteral("setConfiguration"),
                                             {QJsonObject{{"dataValue", b64}}}),
                    {QJsonObject{{"devserver", QJsonObject{{"sleepMs", 6000}}}}},
                    ScriptedSession::command(QStringLiteral("getNodes"))}));
    const QJsonObject saved = s2.result(QStringLiteral("setConfiguration"));
    QCOMPARE(saved.value(QStringLiteral("errorCode")).toInt(), 0);
    QCOMPARE(saved.value(QStringLiteral("settingsFileData")).toString(), b64);
    const QList<QJsonObject> regs = s2.replies(QStringLiteral("registerPOS"));
    QCOMPARE(regs.size(), 2);
    const auto login = [](const QJsonObject &reg) {
        return reg.value(QStringLiteral("data"))
            .toArray()
            .first()
            .toObject()
            .value(QStringLiteral("loginName"))
            .toString();
    };
    QCOMPARE(login(regs.at(0)), QStringLiteral("demo"));
    QCOMPARE(login(regs.at(1)), QStringLiteral("bob"));
    QFile ini(root.settingsDir() + QStringLiteral("qltRestClientQt.ini"));
    QCOMPARE(ini.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
}

void tst_protocol::badSettingsAreRolledBack_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("closedPort");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("registerModes");
    QTest::addColumn<int>("registrations");
    QTest::addColumn<QString>("why");
    const QString late = QStringLiteral("the new settings did not register within 8 s");
    QTest::newRow("wrong host (nothing listens there)") << "::1" << false << "demo"
                                                        << "accept" << 2 << late;
    QTest::newRow("wrong port") << "127.0.0.1" << true << "demo"
                                << "accept" << 2 << late;
    QTest::newRow("refused credentials") << "127.0.0.1" << false << "mallory"
                                         << "accept,refuse:7:unknown login,accept" << 3
                                         << "registerPOS failed with errorCode 7 -> unknown login";
}

// Settings sent by the server that cut the device off are replaced by the ones that worked.
void tst_protocol::badSettingsAreRolledBack() {
    QFETCH(QString, host);
    QFETCH(bool, closedPort);
    QFETCH(QString, login);
    QFETCH(QString, registerModes);
    QFETCH(int, registrations);
    QFETCH(QString, why);
    TempDataRoot root;
    const quint16 port = loopback::freePort();
    const QByteArray newSettings =
        QStringLiteral(
            "[RestServiceQt]\nrestServerQt_host=%1\nrestServerQt_port=%2\n"
            "settingsRollbackSeconds=8\n[POS]\npos_host=127.0.0.1\n"
            "[Credentials]\nloginName=%3\n")
            .arg(host)
            .arg(closedPort ? loopback::freePort() : port)
            .arg(login)
            .toUtf8();
    ScriptedSession s(root);
    s.setPort(port);
    s.addServerArguments({QStringLiteral("--register"), registerModes});
    const QJsonObject getConfiguration =
        ScriptedSession::command(QStringLiteral("getConfiguration"));
    QVERIFY2(s.run({getConfiguration,
                    ScriptedSession::command(
                        QStringLiteral("setConfiguration"),
                        {QJsonObject{{"dataValue", QString::fromLatin1(newSettings.toBase64())}}}),
                    {QJsonObject{{"devserver", QJsonObject{{"sleepMs", 20000}}}}},
                    getConfiguration},
                   60),
             qPrintable(s.serverStderr()));
    QCOMPARE(s.result(QStringLiteral("setConfiguration")).value("errorCode").toInt(), 0);
    QCOMPARE(s.replies(QStringLiteral("registerPOS")).size(), registrations);
    QCOMPARE(s.result(QStringLiteral("getConfiguration"), 1).value("settingsFileData"),
             s.result(QStringLiteral("getConfiguration"), 0).value("settingsFileData"));
    QVERIFY2(s.clientLog().contains(QStringLiteral("Previous settings restored: ") + why),
             qPrintable(s.clientLog().right(3000)));
    QVERIFY(!QFile::exists(root.settingsDir() + QStringLiteral("qltRestClientQt.ini.previous")));
}

void tst_protocol::framingSurvivesHostileSegmentation_data() {
    QTest::addColumn<QStringList>("serverArgs");
    QTest::newRow("1-byte segments") << QStringList{"--segments", "1:1"};
    QTest::newRow("random segments") << QStringList{"--segments", "1:7"};
    QTest::newRow("glued messages") << QStringList{"--glue"};
    QTest::newRow("garbage between") << QStringList{"--garbage"};
}

void tst_protocol::framingSurvivesHostileSegmentation() {
    QFETCH(QStringList, serverArgs);
    TempDataRoot root;
    ScriptedSession s(root);
    s.addServerArguments(serverArgs);
    QList<QJsonObject> script;
    for (int i = 0; i < 5; ++i)
        script << ScriptedSession::command(
            QStringLiteral("getVariousSetting"),
            {QJsonObject{{"settingName", QStringLiteral("k{\"}%1").arg(i)}}});
    QVERIFY2(s.run(script), qPrintable(s.serverStderr()));
    const QList<QJsonObject> replies = s.replies(QStringLiteral("getVariousSetting"));
    QCOMPARE(replies.size(), 5);
    // Each command whole, in order, on the one connection.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(s.result(QStringLiteral("getVariousSetting"), i).value("settingName").toString(),
                 QStringLiteral("k{\"}%1").arg(i));
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("connected")), 1);
}

void tst_protocol::keepAliveAnswered() {
    TempDataRoot root;
    ScriptedSession s(root);
    // The first keep-alive goes out on the first 20 s tick.
    QVERIFY(s.run({{QJsonObject{{"devserver", QJsonObject{{"sleepMs", 23000}}}}},
                   ScriptedSession::command(QStringLiteral("getNodes"))}));
    QCOMPARE(s.count(QStringLiteral("frame"), QStringLiteral("_KA_")), 1);
    QCOMPARE(s.count(QStringLiteral("frame"), QStringLiteral("_OK_")), 1);
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("connected")), 1);
}

void tst_protocol::keepAliveUnansweredDisconnects() {
    TempDataRoot root;
    ScriptedSession s(root);
    s.addServerArguments({QStringLiteral("--keepalive"), QStringLiteral("silent")});
    // Unanswered at 20 s, given up at 30 s, back at 33 s.
    QVERIFY(s.run({{QJsonObject{{"devserver", QJsonObject{{"sleepMs", 36000}}}}},
                   ScriptedSession::command(QStringLiteral("getNodes"))}));
    QVERIFY(s.clientLog().contains(QStringLiteral("Timeout occurred (timeout=10 seconds)")));
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("connected")), 2);
    QCOMPARE(s.replies(QStringLiteral("registerPOS")).size(), 2);
}

void tst_protocol::largeMessageWhileKeepAlivesFire() {
#ifdef __SANITIZE_ADDRESS__
    QSKIP("a sanitized client takes longer than the keep-alive deadline to take in 50 MiB");
#endif
    TempDataRoot root;
    ScriptedSession s(root);
    s.addServerArguments({QStringLiteral("--segments"), QStringLiteral("1:65536")});
    const QString pad(50 * 1024 * 1024, QLatin1Char('x'));
    QVERIFY(s.run(
        {{QJsonObject{{"devserver", QJsonObject{{"sleepMs", 19000}}}}},
         ScriptedSession::command(QStringLiteral("getVariousSetting"),
                                  {QJsonObject{{"settingName", "diffPLU_PluPK"}, {"pad", pad}}}),
         ScriptedSession::command(QStringLiteral("getNodes"))},
        120));
    QCOMPARE(s.replies(QStringLiteral("getVariousSetting")).size(), 1);
    QCOMPARE(s.count(QStringLiteral("event"), QStringLiteral("connected")), 1);
    QVERIFY(s.count(QStringLiteral("frame"), QStringLiteral("_KA_")) >= 1);
}

QTEST_GUILESS_MAIN(tst_protocol)
#include "tst_protocol.moc"
