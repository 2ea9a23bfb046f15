#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include "clientdataroot.h"
#include "commands/utilsmodel.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/settings.h"
#include "link/commanddispatcher.h"
#include "link/configurationguard.h"
#include "testfiles.h"
#include "testjson.h"

namespace {
using testjson::params;

QJsonObject resultOf(const commandReply &reply) {
    return reply.envelope.value(QStringLiteral("data")).toArray().first().toObject();
}

// `keys` lines "kN=v" (settings) or "kN<tab>v" (rights), or one key with filler up to `bytes`.
QByteArray fileWithKeys(char separator, int keys) {
    QByteArray content;
    for (int i = 0; i < keys; ++i) content += 'k' + QByteArray::number(i) + separator + "v\n";
    return content;
}

QByteArray fileWithBytes(char separator, int bytes) {
    return "pad" + QByteArray(1, separator) + QByteArray(bytes - 5, 'x') + '\n';
}
}  // namespace

// The dispatcher without any socket: plain parameter maps in, reply envelopes out.
class tst_dispatcher : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void readMessage_data();
    void readMessage();
    void envelope_data();
    void envelope();
    void replyTimeout_data();
    void replyTimeout();
    void keepAliveFrameGetsNoReply();
    void setConfiguration_data();
    void setConfiguration();
    void getConfiguration();
    void setRightsAnnouncesTheChange();
    void storedFilesAreBounded_data();
    void storedFilesAreBounded();
    void settingsOnTrial_data();
    void settingsOnTrial();
    void keptSettingsAreBounded();

  private:
    ClientDataRoot *m_root = nullptr;
};

void tst_dispatcher::init() { m_root = new ClientDataRoot; }

void tst_dispatcher::cleanup() {
    delete m_root;
    m_root = nullptr;
}

void tst_dispatcher::readMessage_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("logCode");
    QTest::newRow("command") << QByteArray(R"({"commandType":"getNodes","data":[{},{"a":1}]})")
                             << int(serverMessage::Command) << "getNodes" << 2 << 0;
    QTest::newRow("answer first")
        << QByteArray(R"({"responseType":"registerPOS","commandType":"x","data":[{}]})")
        << int(serverMessage::Response) << "registerPOS" << 1 << 0;
    QTest::newRow("entries that are not objects are left out")
        << QByteArray(R"({"commandType":"getNodes","data":[1,"x",{},[]]})")
        << int(serverMessage::Command) << "getNodes" << 1 << 0;
    QTest::newRow("not an object")
        << QByteArray("[1]") << int(serverMessage::Invalid) << "" << 0 << 901;
    QTest::newRow("empty") << QByteArray("{}") << int(serverMessage::Invalid) << "" << 0 << 902;
    QTest::newRow("command type not a string") << QByteArray(R"({"commandType":5,"data":[{}]})")
                                               << int(serverMessage::Invalid) << "" << 0 << 903;
    QTest::newRow("data not a list") << QByteArray(R"({"commandType":"getNodes","data":{}})")
                                     << int(serverMessage::Invalid) << "" << 0 << 904;
}

void tst_dispatcher::readMessage() {
    QFETCH(QByteArray, message);
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(int, entries);
    QFETCH(int, logCode);
    const serverMessage read =
        commandDispatcher::readMessage(QJsonDocument::fromJson(message).toVariant());
    QCOMPARE(int(read.kind), kind);
    QCOMPARE(read.name, name);
    QCOMPARE(read.entries.size(), entries);
    QCOMPARE(read.logCode, logCode);
}

void tst_dispatcher::envelope_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<bool>("quiet");
    QTest::newRow("unknown command")
        << "noSuchCommand" << QByteArray("{}")
        << QByteArray(R"({"errorCode":404,"errorDescription":"Unknown command 'noSuchCommand'"})")
        << false;
    QTest::newRow("names are case-sensitive")
        << "getnodes" << QByteArray("{}")
        << QByteArray(R"({"errorCode":404,"errorDescription":"Unknown command 'getnodes'"})")
        << false;
    QTest::newRow("a handler's result")
        << "getVariousSetting" << QByteArray(R"({"settingName":"diffPLU_PluPK"})")
        << QByteArray(
               R"({"errorCode":0,"errorDescription":"","settingName":"diffPLU_PluPK","settingValue":"50001"})")
        << false;
    QTest::newRow("file content goes out quietly")
        << "getFileContent" << QByteArray("{}")
        << QByteArray(
               R"({"errorCode":901,"errorDescription":"Missing filePath parameter","fileData":""})")
        << true;
}

void tst_dispatcher::envelope() {
    QFETCH(QString, command);
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, result);
    QFETCH(bool, quiet);
    utils.loadSettings(false);
    commandDispatcher dispatcher;
    const commandReply reply = dispatcher.dispatch(command, params(parameters));
    QVERIFY(reply.send);
    QCOMPARE(reply.quiet, quiet);
    QCOMPARE(reply.envelope.keys(), (QStringList{"data", "typeCall"}));
    QCOMPARE(reply.envelope.value("typeCall").toString(), command);
    QCOMPARE(reply.envelope.value("data").toArray().size(), 1);
    QCOMPARE(resultOf(reply), QJsonDocument::fromJson(result).object());
}

void tst_dispatcher::replyTimeout_data() {
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<int>("timeoutS");
    QTest::newRow("absent") << QByteArray("{}") << 55;
    QTest::newRow("integer") << QByteArray(R"({"sendTimeOut":120})") << 120;
    QTest::newRow("zero") << QByteArray(R"({"sendTimeOut":0})") << 55;
    QTest::newRow("negative") << QByteArray(R"({"sendTimeOut":-5})") << 55;
    QTest::newRow("text") << QByteArray(R"({"sendTimeOut":"120"})") << 55;
    QTest::newRow("fraction") << QByteArray(R"({"sendTimeOut":2.4})") << 2;
    QTest::newRow("more than a day") << QByteArray(R"({"sendTimeOut":1e12})") << 86400;
}

void tst_dispatcher::replyTimeout() {
    QFETCH(QByteArray, parameters);
    QFETCH(int, timeoutS);
    commandDispatcher dispatcher;
    QCOMPARE(dispatcher.dispatch(QStringLiteral("getNodes"), params(parameters)).timeoutS,
             timeoutS);
}

void tst_dispatcher::keepAliveFrameGetsNoReply() {
    commandDispatcher dispatcher;
    QVERIFY(!dispatcher.dispatch(QStringLiteral("\x02_KA_\x03"), {}).send);
}

void tst_dispatcher::setConfiguration_data() {
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<bool>("changed");
    const QByteArray ini = QByteArray("[Credentials]\nloginName=bob\n").toBase64();
    QTest::newRow("raw data") << QByteArray(R"({"dataValue":")" + ini + R"("})") << 0 << true;
    QTest::newRow("other data type")
        << QByteArray(R"({"dataType":"json","dataValue":")" + ini + R"("})") << 902 << false;
    QTest::newRow("no data, whatever the type")
        << QByteArray(R"({"dataType":"json"})") << 901 << false;
    QTest::newRow("data not a string") << QByteArray(R"({"dataValue":5})") << 901 << false;
    QTest::newRow("decodes to nothing") << QByteArray(R"({"dataValue":"!!!!"})") << 959 << false;
}

void tst_dispatcher::setConfiguration() {
    QFETCH(QByteArray, parameters);
    QFETCH(int, errorCode);
    QFETCH(bool, changed);
    utils.loadSettings(false);
    const QByteArray before = testfiles::readBytes(dataRoot::settingsFile(Session));
    commandDispatcher dispatcher;
    QSignalSpy announced(&dispatcher, &commandDispatcher::signal_settingsChanged);
    const QJsonObject result =
        resultOf(dispatcher.dispatch(QStringLiteral("setConfiguration"), params(parameters)));
    QCOMPARE(result.value("errorCode").toInt(), errorCode);
    const QByteArray after = testfiles::readBytes(dataRoot::settingsFile(Session));
    QCOMPARE(after != before, changed);
    QCOMPARE(announced.size(), changed ? 1 : 0);
    if (!changed) return;
    QCOMPARE(announced.first(), (QVariantList{true, false}));
    QCOMPARE(after, QByteArray("[Credentials]\nloginName=bob\n"));
    QCOMPARE(result.value("settingsFileData").toString().toLatin1(), after.toBase64());
    // Reloading is the link's business, once the reply has left.
    QCOMPARE(Settings.loginName, QStringLiteral("demo"));
}

void tst_dispatcher::getConfiguration() {
    utils.loadSettings(false);
    commandDispatcher dispatcher;
    const QJsonObject result =
        resultOf(dispatcher.dispatch(QStringLiteral("getConfiguration"), {}));
    QCOMPARE(result.value("errorCode").toInt(), 0);
    QCOMPARE(result.value("settingsFileData").toString().toLatin1(),
             testfiles::readBytes(dataRoot::settingsFile(Session)).toBase64());
}

void tst_dispatcher::setRightsAnnouncesTheChange() {
    commandDispatcher dispatcher;
    QSignalSpy announced(&dispatcher, &commandDispatcher::signal_settingsChanged);
    dispatcher.dispatch(QStringLiteral("setRights"), params(R"({"fileDataB64":"!"})"));
    QCOMPARE(announced.size(), 0);
    dispatcher.dispatch(QStringLiteral("setRights"),
                        params(R"({"fileDataB64":")" + QByteArray("a\tb\n").toBase64() + R"("})"));
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.first(), (QVariantList{false, true}));
}

void tst_dispatcher::storedFilesAreBounded_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorDescription");
    const int maxBytes = settingsBounds::maxBytes;
    const int maxKeys = settingsBounds::maxKeys;
    const struct {
        const char *command;
        char separator;
        int refusedCode;
        const char *file;
    } commands[] = {{"setConfiguration", '=', 903, "settings"}, {"setRights", '\t', 958, "rights"}};
    for (const auto &c : commands) {
        const QString bytesRefused =
            QStringLiteral("The %1 file may hold at most 1048576 bytes!").arg(c.file);
        const QString keysRefused =
            QStringLiteral("The %1 file may hold at most 10000 keys!").arg(c.file);
        QTest::addRow("%s: %d bytes", c.command, maxBytes)
            << c.command << fileWithBytes(c.separator, maxBytes) << 0 << QString();
        QTest::addRow("%s: %d bytes", c.command, maxBytes + 1)
            << c.command << fileWithBytes(c.separator, maxBytes + 1) << c.refusedCode
            << bytesRefused;
        QTest::addRow("%s: %d keys", c.command, maxKeys)
            << c.command << fileWithKeys(c.separator, maxKeys) << 0 << QString();
        QTest::addRow("%s: %d keys", c.command, maxKeys + 1)
            << c.command << fileWithKeys(c.separator, maxKeys + 1) << c.refusedCode << keysRefused;
    }
    // The INI reader ends a line at "\r" too.
    QTest::addRow("setConfiguration: %d keys ending in \\r", maxKeys + 1)
        << "setConfiguration" << fileWithKeys('=', maxKeys + 1).replace('\n', '\r') << 903
        << "The settings file may hold at most 10000 keys!";
}

// The settings and the rights are read at every start, so a file beyond the bounds is refused
// and nothing on disk changes; a file just within them is stored.
void tst_dispatcher::storedFilesAreBounded() {
    QFETCH(QString, command);
    QFETCH(QByteArray, content);
    QFETCH(int, errorCode);
    QFETCH(QString, errorDescription);
    const bool settings = command == QLatin1String("setConfiguration");
    const QString path = settings ? dataRoot::settingsFile(Session) : utils.rightsFilePath();
    utils.loadSettings(false);
    if (!settings) testfiles::writeBytes(path, "previous\tright\n");
    const QByteArray before = testfiles::readBytes(path);
    commandDispatcher dispatcher;
    QSignalSpy announced(&dispatcher, &commandDispatcher::signal_settingsChanged);
    const QString data = QString::fromLatin1(content.toBase64());
    const QJsonObject result = resultOf(dispatcher.dispatch(
        command, {{settings ? QStringLiteral("dataValue") : QStringLiteral("fileDataB64"), data}}));
    QCOMPARE(result.value("errorCode").toInt(-1), errorCode);
    QCOMPARE(result.value("errorDescription").toString(), errorDescription);
    QCOMPARE(announced.size(), errorCode == 0 ? 1 : 0);
    QCOMPARE(testfiles::readBytes(path), errorCode == 0 ? content : before);
    if (errorCode == 0) return;
    QVERIFY(!QFileInfo::exists(configurationGuard::keptPath(path)));
    QVERIFY(!QFileInfo::exists(path + QStringLiteral(".tmp")));
    QVERIFY(m_root->todaysLogLines().join(QLatin1Char('\n')).contains(errorDescription));
}

void tst_dispatcher::settingsOnTrial_data() {
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QByteArray>("settingsAfter");
    QTest::newRow("registered in time") << "registered" << QByteArray("new\n");
    QTest::newRow("refused") << "refused" << QByteArray("worked\n");
    QTest::newRow("time is up") << "late" << QByteArray("worked\n");
}

// The file that worked is kept while new settings are on trial, and comes back if they fail;
// a second change before the first registered keeps the file that worked, not the first change.
void tst_dispatcher::settingsOnTrial() {
    QFETCH(QString, outcome);
    QFETCH(QByteArray, settingsAfter);
    const QString file = m_root->path() + QStringLiteral("settings.ini");
    const logger log(m_root->path());
    testfiles::writeBytes(file, "worked\n");
    QString error;
    QVERIFY(configurationGuard::keepPrevious(file, &error));
    testfiles::writeBytes(file, "first change\n");
    QVERIFY(configurationGuard::keepPrevious(file, &error));
    testfiles::writeBytes(file, "new\n");
    QCOMPARE(testfiles::readBytes(configurationGuard::keptPath(file)), QByteArray("worked\n"));
    configurationGuard guard(file, log);
    QSignalSpy restored(&guard, &configurationGuard::signal_restored);
    QVERIFY(guard.onTrial());
    guard.startTrial(1);
    if (outcome == QLatin1String("registered")) guard.registered();
    if (outcome == QLatin1String("refused")) guard.refused(QStringLiteral("no"));
    QTest::qWait(1500);  // past the trial
    QCOMPARE(restored.size(), settingsAfter == "worked\n" ? 1 : 0);
    QCOMPARE(testfiles::readBytes(file), settingsAfter);
    QVERIFY(!guard.onTrial());
}

// What is kept of a settings file beyond the bounds is what a load uses of it, so that putting
// it back cannot bring the whole file back.
void tst_dispatcher::keptSettingsAreBounded() {
    const QString file = m_root->path() + QStringLiteral("settings.ini");
    const QByteArray start = "[Credentials]\nloginName=kept\n";
    testfiles::writeBytes(file, start + fileWithKeys('=', settingsBounds::maxKeys));
    QString error;
    QVERIFY(configurationGuard::keepPrevious(file, &error));
    const QByteArray kept = testfiles::readBytes(configurationGuard::keptPath(file));
    QVERIFY(kept.startsWith(start));
    QVERIFY(settingsBounds::refusal(settingsBounds::File::Settings, kept).isEmpty());
}

QTEST_GUILESS_MAIN(tst_dispatcher)
#include "tst_dispatcher.moc"
