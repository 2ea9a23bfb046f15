#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLocalServer>
#include <QtTest>
#include <memory>

#include "commands/filecommands.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/parameters.h"
#include "fifowatchdog.h"
#include "storage/pathresolver.h"
#include "tempdataroot.h"
#include "testfiles.h"

namespace {
using testfiles::readBytes;
using testfiles::writeBytes;
}  // namespace

class tst_files : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void resolution_data();
    void resolution();
    void insideDirectory_data();
    void insideDirectory();
    void listing_data();
    void listing();
    void listingFailures_data();
    void listingFailures();
    void createDirectory_data();
    void createDirectory();
    void fileContent_data();
    void fileContent();
    void fileContentFailures_data();
    void fileContentFailures();
    void onlyRegularFilesAreRead_data();
    void onlyRegularFilesAreRead();

  private:
    // The commands on a session record of their own, without the client's global records.
    fileCommands commands() const { return fileCommands(m_session, m_rightsFile, m_log); }
    // "{temp}" and the like stand for the data directories, so that the tables read as paths.
    QString expand(QString text) const;

    TempDataRoot *m_root = nullptr;
    sessionStruct m_session;
    QString m_rightsFile;
    const logger m_log;
};

void tst_files::init() {
    m_root = new TempDataRoot;
    m_session = sessionStruct();
    m_session.dataTempLocation = m_root->path() + "temp/";
    m_session.dataSymbolDataLocation = m_root->path() + "symbolData/";
    m_session.dataLogLocation = m_root->path() + "Log/";
    m_rightsFile = m_root->settingsDir() + "qltRestClientRightsQt.conf";
    for (const QString &dir :
         {m_session.dataTempLocation, m_session.dataSymbolDataLocation, m_session.dataLogLocation})
        QVERIFY(QDir().mkpath(dir));
}

void tst_files::cleanup() {
    delete m_root;
    m_root = nullptr;
}

QString tst_files::expand(QString text) const {
    return text.replace("{temp}", m_session.dataTempLocation)
        .replace("{sym}", m_session.dataSymbolDataLocation)
        .replace("{log}", m_session.dataLogLocation);
}

void tst_files::resolution_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariant>("basePathType");
    QTest::addColumn<QString>("expected");
    const int list = pathResolver::Listing, create = pathResolver::CreateDirectory,
              read = pathResolver::Reading, write = pathResolver::Writing;
    QTest::newRow("list symbolData") << list << "a/b" << QVariant("symbolData") << "{sym}a/b";
    QTest::newRow("list temp") << list << "a" << QVariant("temp") << "{temp}a";
    QTest::newRow("list log") << list << "a" << QVariant("log") << "{log}a";
    QTest::newRow("list Temp is no base") << list << "a" << QVariant("Temp") << "a";
    QTest::newRow("list without base") << list << "/x/y" << QVariant() << "/x/y";
    QTest::newRow("list base as number") << list << "a" << QVariant(7) << "a";
    QTest::newRow("backslashes") << list << "a\\b\\c" << QVariant("temp") << "{temp}a/b/c";
    QTest::newRow("leading divider doubles") << list << "/a" << QVariant("temp") << "{temp}/a";
    QTest::newRow("dots stay") << list << "../a/./b" << QVariant("log") << "{log}../a/./b";
    QTest::newRow("create symbolData") << create << "d" << QVariant("symbolData") << "{sym}d";
    QTest::newRow("create log is temp") << create << "d" << QVariant("log") << "{temp}d";
    QTest::newRow("create default temp") << create << "d" << QVariant() << "{temp}d";
    QTest::newRow("read symbolData") << read << "f" << QVariant("symbolData") << "{sym}f";
    QTest::newRow("read log") << read << "f" << QVariant("log") << "{log}f";
    QTest::newRow("read temp") << read << "f" << QVariant("temp") << "{temp}f";
    QTest::newRow("read SymbolData is temp") << read << "f" << QVariant("SymbolData") << "{temp}f";
    QTest::newRow("read default temp") << read << "f" << QVariant() << "{temp}f";
    QTest::newRow("write temp") << write << "f" << QVariant("temp") << "{temp}f";
    QTest::newRow("write log") << write << "f" << QVariant("log") << "{log}f";
    QTest::newRow("write Temp is no base") << write << "f" << QVariant("Temp") << "f";
}

void tst_files::resolution() {
    QFETCH(int, command);
    QFETCH(QString, path);
    QFETCH(QVariant, basePathType);
    QFETCH(QString, expected);
    QVariantMap data;
    if (basePathType.isValid()) data.insert("basePathType", basePathType);
    QCOMPARE(pathResolver(m_session).resolve(pathResolver::Command(command), path,
                                             param::string(data, "basePathType")),
             expand(expected));
}

void tst_files::insideDirectory_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<bool>("inside");
    QTest::newRow("below") << "/opt/app/x"
                           << "/opt/app" << true;
    QTest::newRow("itself") << "/opt/app"
                            << "/opt/app/" << true;
    QTest::newRow("doubled dividers") << "/opt//app///x/"
                                      << "/opt/app" << true;
    QTest::newRow("same prefix, other directory") << "/opt/appdata/x"
                                                  << "/opt/app" << false;
    QTest::newRow("dot-dot out") << "/opt/app/../appdata"
                                 << "/opt/app" << false;
    QTest::newRow("dot-dot in") << "/opt/appdata/../app/x"
                                << "/opt/app" << true;
    QTest::newRow("parent") << "/opt"
                            << "/opt/app" << false;
    QTest::newRow("relative below cwd") << "x/y" << QDir::currentPath() << true;
}

void tst_files::insideDirectory() {
    QFETCH(QString, path);
    QFETCH(QString, directory);
    QFETCH(bool, inside);
    QCOMPARE(pathResolver::isInside(path, directory), inside);
}

void tst_files::listing_data() {
    QTest::addColumn<QVariant>("filter");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all, sorted without case") << QVariant("*") << ".,..,A.txt,b.txt,c.log,link,Sub";
    QTest::newRow("no filter") << QVariant() << ".,..,A.txt,b.txt,c.log,link,Sub";
    QTest::newRow("filter as number") << QVariant(5) << ".,..,A.txt,b.txt,c.log,link,Sub";
    QTest::newRow("pattern") << QVariant("*.txt") << "A.txt,b.txt";
    QTest::newRow("question mark") << QVariant("?.log") << "c.log";
    QTest::newRow("bracket class") << QVariant("[c]*") << "c.log";
    QTest::newRow("one pattern, not split") << QVariant("b.txt;c.log") << "";
    QTest::newRow("no match") << QVariant("*.none") << "";
}

void tst_files::listing() {
    QFETCH(QVariant, filter);
    QFETCH(QString, expected);
    const QString dir = m_session.dataTempLocation + "list/";
    for (const char *name : {"b.txt", "A.txt", "c.log", ".hidden"}) writeBytes(dir + name, "x");
    QVERIFY(QDir().mkpath(dir + "Sub"));
    QVERIFY(QFile::link(dir + "b.txt", dir + "link"));
    QVariantMap data{{"searchPath", "list"}, {"basePathType", "temp"}};
    if (filter.isValid()) data.insert("searchFilter", filter);
    const QJsonObject reply = commands().getDirectoryFiles(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), 0);
    QCOMPARE(reply.value("errorDescription").toString(), QString());
    QCOMPARE(reply.value("files").toString(), expected);
}

void tst_files::listingFailures_data() {
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("files");
    QTest::addColumn<QString>("description");
    QTest::newRow("empty directory")
        << QVariantMap{{"searchPath", "empty"}, {"basePathType", "temp"}} << 0 << ".,.."
        << "";
    QTest::newRow("backslashes") << QVariantMap{{"searchPath", "\\deep\\er"},
                                                {"basePathType", "temp"}}
                                 << 0 << ".,..,f"
                                 << "";
    QTest::newRow("missing searchPath") << QVariantMap{} << 901 << ""
                                        << "Missing searchPath parameter";
    QTest::newRow("searchPath as number") << QVariantMap{{"searchPath", 3}} << 901 << ""
                                          << "Missing searchPath parameter";
    QTest::newRow("empty searchPath lists the base")
        << QVariantMap{{"searchPath", ""}, {"basePathType", "temp"}} << 0 << ".,..,deep,empty,file"
        << "";
    QTest::newRow("empty searchPath without a base") << QVariantMap{{"searchPath", ""}} << 901 << ""
                                                     << " doesn't exist (or no rights)";
    QTest::newRow("a file") << QVariantMap{{"searchPath", "file"}, {"basePathType", "temp"}} << 901
                            << ""
                            << "{temp}file doesn't exist (or no rights)";
    QTest::newRow("missing directory")
        << QVariantMap{{"searchPath", "nope"}, {"basePathType", "log"}} << 901 << ""
        << "{log}nope doesn't exist (or no rights)";
    QTest::newRow("Temp is no base")
        << QVariantMap{{"searchPath", "empty"}, {"basePathType", "Temp"}} << 901 << ""
        << "empty doesn't exist (or no rights)";
}

void tst_files::listingFailures() {
    QFETCH(QVariantMap, data);
    QFETCH(int, code);
    QFETCH(QString, files);
    QFETCH(QString, description);
    QVERIFY(QDir().mkpath(m_session.dataTempLocation + "empty"));
    writeBytes(m_session.dataTempLocation + "deep/er/f", "x");
    writeBytes(m_session.dataTempLocation + "file", "x");
    const QJsonObject reply = commands().getDirectoryFiles(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    QCOMPARE(reply.value("errorDescription").toString(), expand(description));
    QCOMPARE(reply.value("files").toString(), files);
}

void tst_files::createDirectory_data() {
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("directory");
    QTest::newRow("nested, default temp") << QVariantMap{{"path", "a/b/c"}} << 0 << ""
                                          << "{temp}a/b/c";
    QTest::newRow("symbolData") << QVariantMap{{"path", "s\\t"}, {"basePathType", "symbolData"}}
                                << 0 << ""
                                << "{sym}s/t";
    QTest::newRow("existing with files") << QVariantMap{{"path", "full"}} << 0 << ""
                                         << "{temp}full";
    QTest::newRow("missing path") << QVariantMap{{"basePathType", "temp"}} << 901
                                  << "Missing path parameter"
                                  << "";
    QTest::newRow("path as bool") << QVariantMap{{"path", true}} << 901 << "Missing path parameter"
                                  << "";
    QTest::newRow("empty path is the base") << QVariantMap{{"path", ""}} << 0 << ""
                                            << "{temp}";
    QTest::newRow("below a file") << QVariantMap{{"path", "full/kept.txt/sub"}} << 902
                                  << "Failed to create directory {temp}full/kept.txt/sub"
                                  << "";
}

void tst_files::createDirectory() {
    QFETCH(QVariantMap, data);
    QFETCH(int, code);
    QFETCH(QString, description);
    QFETCH(QString, directory);
    writeBytes(m_session.dataTempLocation + "full/kept.txt", "keep me");
    const QJsonObject reply = commands().createAndEmptyDirectory(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    QCOMPARE(reply.value("errorDescription").toString(), expand(description));
    if (!directory.isEmpty()) QVERIFY(QFileInfo(expand(directory)).isDir());
    QCOMPARE(readBytes(m_session.dataTempLocation + "full/kept.txt"), QByteArray("keep me"));
}

void tst_files::fileContent_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariantMap>("flags");
    QTest::addColumn<QString>("expected");
    const QVariantMap plain{{"toBase64", false}};
    const QVariantMap tags{{"toBase64", false}, {"replaceSpecialChars", true}};
    QTest::newRow("Base64 by default") << QByteArray("hello") << QVariantMap{} << "aGVsbG8=";
    QTest::newRow("plain text") << QByteArray("hello\n") << plain << "hello\n";
    QTest::newRow("CR LF becomes LF") << QByteArray("a\r\nb\r\n") << plain << "a\nb\n";
    QTest::newRow("STX ETX tags") << QByteArray(
                                         "\x02"
                                         "A\x03")
                                  << tags << "<STX>A<ETX>";
    QTest::newRow("STX ETX untouched") << QByteArray(
                                              "\x02"
                                              "A\x03")
                                       << plain
                                       << "\x02"
                                          "A\x03";
    QTest::newRow("tags do not touch Base64")
        << QByteArray(
               "\x02"
               "A\x03")
        << QVariantMap{{"replaceSpecialChars", true}} << "AkED";
    QTest::newRow("Windows-1252 plain") << QByteArray("caf\xe9") << plain << "café";
    QTest::newRow("Windows-1252 in Base64") << QByteArray("\xe9") << QVariantMap{} << "w6k=";
    QTest::newRow("up to NUL") << QByteArray("ab\0cd", 5) << plain << "ab";
    QTest::newRow("empty file") << QByteArray() << QVariantMap{} << "";
    QTest::newRow("toBase64 as string ignored")
        << QByteArray("hello") << QVariantMap{{"toBase64", "false"}} << "aGVsbG8=";
}

void tst_files::fileContent() {
    QFETCH(QByteArray, bytes);
    QFETCH(QVariantMap, flags);
    QFETCH(QString, expected);
    writeBytes(m_session.dataLogLocation + "f.txt", bytes);
    QVariantMap data = flags;
    data.insert("filePath", "f.txt");
    data.insert("basePathType", "log");
    const QJsonObject reply = commands().getFileContent(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), 0);
    QCOMPARE(reply.value("errorDescription").toString(), QString());
    QCOMPARE(reply.value("fileData").toString(), expected);
}

void tst_files::fileContentFailures_data() {
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::newRow("missing filePath") << QVariantMap{} << 901 << "Missing filePath parameter";
    QTest::newRow("filePath as number")
        << QVariantMap{{"filePath", 1}} << 901 << "Missing filePath parameter";
    QTest::newRow("empty filePath")
        << QVariantMap{{"filePath", ""}} << 901 << "Missing filePath parameter";
    QTest::newRow("missing file") << QVariantMap{{"filePath", "nope"}} << 404
                                  << "File {temp}nope doesn't exist!";
    QTest::newRow("SymbolData reads temp")
        << QVariantMap{{"filePath", "s.txt"}, {"basePathType", "SymbolData"}} << 404
        << "File {temp}s.txt doesn't exist!";
    // Text is held whole and bounded lower; Base64 leaves as it is read, bounded by what one
    // JSON string on the server may hold.
    QTest::newRow("text over its bound") << QVariantMap{{"filePath", "huge"}, {"toBase64", false}}
                                         << 903 << "File {temp}huge is larger than 67108864 bytes!";
    QTest::newRow("text at its bound")
        << QVariantMap{{"filePath", "bound"}, {"toBase64", false}} << 0 << "";
    QTest::newRow("Base64 over its bound") << QVariantMap{{"filePath", "vast"}} << 903
                                           << "File {temp}vast is larger than 1073741824 bytes!";
    // The setting for transfers lowers both ("maxFileTransferMiB" stands for the setting).
    QTest::newRow("Base64 over the setting")
        << QVariantMap{{"filePath", "huge"}, {"maxFileTransferMiB", 64}} << 903
        << "File {temp}huge is larger than 67108864 bytes!";
    QTest::newRow("text over the setting")
        << QVariantMap{{"filePath", "bound"}, {"toBase64", false}, {"maxFileTransferMiB", 16}}
        << 903 << "File {temp}bound is larger than 16777216 bytes!";
}

void tst_files::fileContentFailures() {
    QFETCH(QVariantMap, data);
    QFETCH(int, code);
    QFETCH(QString, description);
    writeBytes(m_session.dataSymbolDataLocation + "s.txt", "x");
    QVERIFY(QDir().mkpath(m_session.dataTempLocation + "dir"));
    // Sparse files: the bound is checked without filling the disk.
    const qint64 bound = 64 * 1024 * 1024;
    for (const QPair<QString, qint64> &sparse :
         {qMakePair(QString("huge"), bound + 1), qMakePair(QString("bound"), bound),
          qMakePair(QString("vast"), (qint64(1) << 30) + 1)}) {
        QFile file(m_session.dataTempLocation + sparse.first);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(sparse.second));
    }
    Settings.maxFileTransferMiB = data.value("maxFileTransferMiB", 1024).toInt();
    const QJsonObject reply = commands().getFileContent(data);
    Settings.maxFileTransferMiB = 1024;
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    QCOMPARE(reply.value("errorDescription").toString(), expand(description));
    QCOMPARE(reply.value("fileData").toString(), QString());
}

void tst_files::onlyRegularFilesAreRead_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("socket") << "socket";
    QTest::newRow("link to a device") << "device";
    QTest::newRow("directory") << "directory";
}

// A FIFO would block the only thread for good, a device would be read without end.
void tst_files::onlyRegularFilesAreRead() {
    QFETCH(QString, kind);
    const QString path = m_session.dataTempLocation + "special";
    std::unique_ptr<FifoWatchdog> fifo;
    QLocalServer socket;
    if (kind == "fifo") {
        fifo = std::make_unique<FifoWatchdog>(path);
        QVERIFY(fifo->created());
    } else if (kind == "socket") {
        QVERIFY(socket.listen(path));
    } else if (kind == "device") {
        QVERIFY(QFile::link("/dev/zero", path));
    } else {
        QVERIFY(QDir().mkpath(path));
    }
    const QJsonObject reply =
        commands().getFileContent({{"filePath", "special"}, {"toBase64", false}});
    QCOMPARE(reply.value("errorCode").toInt(-1), 404);
    QCOMPARE(reply.value("errorDescription").toString(),
             "File " + path + " is not a regular file!");
    QCOMPARE(reply.value("fileData").toString("<none>"), QString());
    if (fifo) QVERIFY(!fifo->fired());
}

QTEST_GUILESS_MAIN(tst_files)
#include "tst_files.moc"
