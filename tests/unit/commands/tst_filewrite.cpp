#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "commands/utilsmodel.h"
#include "core/bytesource.h"
#include "core/log.h"
#include "fifowatchdog.h"
#include "storage/atomicfile.h"
#include "storage/filewriter.h"
#include "storage/verifiedwrite.h"
#include "tempdataroot.h"
#include "testfiles.h"
#include "testpaths.h"

// A crash at a known point: this program's rename(), unlink() and openat() stand in for the C
// library's,
// for the client's code too, and a child process armed with a crash point stops itself just
// before the n-th call that names a text ("from -> to" for a rename), for the test to kill it
// there.
namespace crashpoint {
const char *function = nullptr;
const char *text = nullptr;
int remaining = 0;

void reached(const char *called, const QByteArray &paths) {
    if (function && std::strcmp(called, function) == 0 && paths.contains(text) && remaining-- == 0)
        ::raise(SIGSTOP);
}
}  // namespace crashpoint

extern "C" int rename(const char *from, const char *to) noexcept {
    crashpoint::reached("rename", QByteArray(from) + " -> " + to);
    return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" int unlink(const char *path) noexcept {
    crashpoint::reached("unlink", path);
    return ::unlinkat(AT_FDCWD, path, 0);
}

extern "C" int openat(int directory, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    crashpoint::reached("openat", path);
    return int(::syscall(SYS_openat, directory, path, flags, mode));
}

namespace {
using testfiles::makeZip;
using testfiles::readBytes;
using testfiles::writeBytes;

ino_t inodeOf(const QString &path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Everything below a directory but the log: type, content, link target and mode of each entry.
QMap<QString, QByteArray> snapshot(const QString &dir) {
    QMap<QString, QByteArray> tree;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray what = QByteArray::number(uint(info.permissions()), 16) + ' ';
        if (info.isSymLink())
            what += "link " + QFile::encodeName(info.symLinkTarget());
        else if (info.isDir())
            what += "dir";
        else
            what += "file " + readBytes(info.filePath());
        const QString relative = info.filePath().mid(dir.size());
        if (!relative.startsWith("Log/")) tree.insert(relative, what);
    }
    return tree;
}

QJsonObject save(const QVariantMap &data) { return utils.saveFileContent(data); }

// Gives its slices, then calls `atEnd` (to look at the disk while the write is under way) and
// ends, or fails with `failure` when that is set.
class givenSlices : public byteSource {
  public:
    explicit givenSlices(QByteArrayList slices, QString failure = QString(),
                         std::function<void()> atEnd = {})
        : m_slices(std::move(slices)), m_failure(std::move(failure)), m_atEnd(std::move(atEnd)) {}

    bool next(QByteArray *slice, QString *error) override {
        if (!m_slices.isEmpty()) {
            *slice = m_slices.takeFirst();
            return true;
        }
        if (m_atEnd) std::exchange(m_atEnd, nullptr)();
        slice->clear();
        *error = m_failure;
        return m_failure.isEmpty();
    }

  private:
    QByteArrayList m_slices;
    QString m_failure;
    std::function<void()> m_atEnd;
};

QStringList entriesOf(const QString &dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

// Runs `data` in a child process that is killed with SIGKILL at the crash point. False when the
// child never got there.
bool saveAndCrash(const QVariantMap &data, const char *function, const char *text, int occurrence) {
    const pid_t child = ::fork();
    if (child == 0) {
        crashpoint::function = function;
        crashpoint::text = text;
        crashpoint::remaining = occurrence;
        save(data);
        ::_exit(0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, WUNTRACED) != child) return false;
    const bool stopped = WIFSTOPPED(status);
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return stopped;
}

QVariantMap zipCommand(const QString &destination, const QByteArray &archive) {
    return {{"filePath", destination},
            {"isZipData", true},
            {"fileDataB64", QString::fromLatin1(archive.toBase64())}};
}
}  // namespace

class tst_filewrite : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void writes_data();
    void writes();
    void oldVersionIsKeptAndReplaced();
    void readBackMismatchKeepsTarget_data();
    void readBackMismatchKeepsTarget();
    void badInput_data();
    void badInput();
    void applicationFolderGuard_data();
    void applicationFolderGuard();
    void streamedWriteIsTheByteWrite_data();
    void streamedWriteIsTheByteWrite();
    void readBackSeesChangedBytes();
    void failingSourceLeavesNothing_data();
    void failingSourceLeavesNothing();
    void fullDiskKeepsTarget_data();
    void fullDiskKeepsTarget();
    void unwritableTempKeepsTarget();
    void rights();
    void modeIsKept_data();
    void modeIsKept();
    void specialFilesAreNotReplaced_data();
    void specialFilesAreNotReplaced();
    void zipInPlace();
    void zipRelativeToWorkingDirectory();
    void emptyZipCreatesTheDestination();
    void hostileArchives_data();
    void hostileArchives();
    void conflictsWithTheDestination_data();
    void conflictsWithTheDestination();
    void linksAcrossArchives_data();
    void linksAcrossArchives();
    void failedZipRemovesWhatItCreated();
    void failedMoveIsRolledBack();
    void crashRecovery_data();
    void crashRecovery();
    void stagedEntryLostWithPowerKeepsTheOriginal();

  private:
    TempDataRoot *m_root = nullptr;
    QString m_mount;
};

void tst_filewrite::init() {
    m_root = new TempDataRoot;
    utils.setDirectories(QString());
    utils.createDirectories(QString());
    Session.appDir.clear();
    fileWriter(Session, appLog()).recoverInterrupted();  // as at start: makes the journal
}

void tst_filewrite::cleanup() {
    if (!m_mount.isEmpty()) QProcess::execute("umount", {m_mount});
    m_mount.clear();
    delete m_root;
    m_root = nullptr;
}

void tst_filewrite::writes_data() {
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("basePathType");
    QTest::addColumn<bool>("isBinary");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("written");
    QByteArray all(256, 0);
    for (int i = 0; i < 256; ++i) all[i] = char(i);
    QTest::newRow("text") << "t.txt"
                          << "temp" << false << QByteArray("a\r\nb é\n") << "{temp}t.txt";
    // Long enough that a two-byte character straddles the slices in which text is checked.
    QTest::newRow("long text") << "l.txt"
                               << "temp" << false
                               << QByteArray(65535, 'a') + "é\n" + QByteArray(70000, 'b')
                               << "{temp}l.txt";
    QTest::newRow("binary") << "b.bin"
                            << "symbolData" << true << all << "{sym}b.bin";
    QTest::newRow("new directories") << "x/y/z.bin"
                                     << "log" << true << all << "{log}x/y/z.bin";
    QTest::newRow("backslashes") << "x\\y.txt"
                                 << "temp" << false << QByteArray("v") << "{temp}x/y.txt";
    QTest::newRow("Temp is no base") << "{root}free.txt"
                                     << "Temp" << false << QByteArray("v") << "{root}free.txt";
}

void tst_filewrite::writes() {
    QFETCH(QString, filePath);
    QFETCH(QString, basePathType);
    QFETCH(bool, isBinary);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, written);
    const auto expand = [this](QString s) {
        return s.replace("{temp}", Session.dataTempLocation)
            .replace("{sym}", Session.dataSymbolDataLocation)
            .replace("{log}", Session.dataLogLocation)
            .replace("{root}", m_root->path());
    };
    const QJsonObject reply = save({{"filePath", expand(filePath)},
                                    {"basePathType", basePathType},
                                    {"isBinary", isBinary},
                                    {"nodeId", 12},
                                    {"fileDataB64", QString::fromLatin1(bytes.toBase64())}});
    QCOMPARE(
        reply,
        (QJsonObject{{"errorCode", 0}, {"errorDescription", ""}, {"info", ""}, {"fileData", ""}}));
    QCOMPARE(readBytes(expand(written)), bytes);
    QVERIFY(!QFileInfo::exists(expand(written) + ".tmp"));
    QVERIFY(!QFileInfo::exists(expand(written) + ".old"));
}

void tst_filewrite::oldVersionIsKeptAndReplaced() {
    const QString target = Session.dataTempLocation + "v.txt";
    for (const char *version : {"one", "two", "three"}) {
        const QJsonObject reply =
            save({{"filePath", "v.txt"},
                  {"basePathType", "temp"},
                  {"fileDataB64", QString::fromLatin1(QByteArray(version).toBase64())}});
        QCOMPARE(reply.value("errorCode").toInt(-1), 0);
        QCOMPARE(reply.value("info").toString(), QString());
    }
    QCOMPARE(readBytes(target), QByteArray("three"));
    QCOMPARE(readBytes(target + ".old"), QByteArray("two"));
    QVERIFY(inodeOf(target) != inodeOf(target + ".old"));
    QVERIFY(!QFileInfo::exists(target + ".tmp"));
}

// Text mode reads the data as UTF-8: what that reading changes fails the comparison.
void tst_filewrite::readBackMismatchKeepsTarget_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not UTF-8") << QByteArray("\xff\xfe");
    QTest::newRow("sequence cut at the end") << QByteArray("caf\xc3");
    QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbftext");
    QTest::newRow("NUL byte") << QByteArray("te\0xt", 5);
}

void tst_filewrite::readBackMismatchKeepsTarget() {
    QFETCH(QByteArray, bytes);
    const QString target = Session.dataTempLocation + "t.txt";
    writeBytes(target, "previous");
    const QJsonObject reply = save({{"filePath", "t.txt"},
                                    {"basePathType", "temp"},
                                    {"fileDataB64", QString::fromLatin1(bytes.toBase64())}});
    QCOMPARE(reply.value("errorCode").toInt(-1), 999);
    QCOMPARE(reply.value("errorDescription").toString(), "Written data doesn't compare!");
    QCOMPARE(readBytes(target), QByteArray("previous"));
    QVERIFY(QFileInfo::exists(target + ".tmp"));
    QVERIFY(!QFileInfo::exists(target + ".old"));
}

void tst_filewrite::badInput_data() {
    QTest::addColumn<QVariantMap>("data");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    const QString missing = "Missing filePath parameter",
                  decode = "Decode error of data from server!";
    QTest::newRow("no filePath") << QVariantMap{{"fileDataB64", "eA=="}} << 954 << missing;
    QTest::newRow("filePath as number")
        << QVariantMap{{"filePath", 4}, {"fileDataB64", "eA=="}} << 954 << missing;
    QTest::newRow("empty filePath") << QVariantMap{{"filePath", ""}, {"fileDataB64", "eA=="}} << 955
                                    << "FilePath can't be empy!";
    QTest::newRow("no data") << QVariantMap{{"filePath", "d/f"}} << 959 << decode;
    QTest::newRow("empty data") << QVariantMap{{"filePath", "d/f"}, {"fileDataB64", ""}} << 959
                                << decode;
    QTest::newRow("data as number")
        << QVariantMap{{"filePath", "d/f"}, {"fileDataB64", 5}} << 959 << decode;
    QTest::newRow("line break") << QVariantMap{{"filePath", "d/f"}, {"fileDataB64", "eHh4\neHh4"}}
                                << 959 << decode;
    QTest::newRow("outside the alphabet")
        << QVariantMap{{"filePath", "d/f"}, {"fileDataB64", "eH!4"}} << 959 << decode;
    QTest::newRow("bad zip data") << QVariantMap{{"filePath", "d"},
                                                 {"isZipData", true},
                                                 {"fileDataB64", "e e"}}
                                  << 959 << decode;
}

void tst_filewrite::badInput() {
    QFETCH(QVariantMap, data);
    QFETCH(int, code);
    QFETCH(QString, description);
    data.insert("basePathType", "temp");
    const auto before = snapshot(m_root->path());
    const QJsonObject reply = save(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    QCOMPARE(reply.value("errorDescription").toString(), description);
    QCOMPARE(reply.value("fileData").toString("<none>"), QString());
    QCOMPARE(snapshot(m_root->path()), before);
}

// Every spelling of the application folder is the folder: links, /proc/self/root, "..", doubled
// dividers, a bind mount of it. The journal, whose records move and remove files at start, is
// the client's own just as much.
void tst_filewrite::applicationFolderGuard_data() {
    QTest::addColumn<QString>("filePath");  // {temp}, {root}: data directories, {app}: the folder
    QTest::addColumn<bool>("isZipData");
    QTest::addColumn<QString>("bindMount");  // below {temp}, the folder is mounted there first
    QTest::addColumn<int>("code");
    QTest::newRow("inside") << "{app}/x.txt" << false << "" << 930;
    QTest::newRow("the folder itself, as archive target") << "{app}" << true << "" << 930;
    QTest::newRow("dot-dot into it") << "{temp}appdata/../app/x.txt" << false << "" << 930;
    QTest::newRow("doubled dividers") << "{temp}/app//x.txt" << false << "" << 930;
    QTest::newRow("archive into a parent") << "{temp}." << true << "" << 930;
    QTest::newRow("through /proc/self/root") << "/proc/self/root{app}/x.txt" << false << "" << 930;
    QTest::newRow("the program through /proc/self/root")
        << "/proc/self/root{app}/qltRestClientQt" << false << "" << 930;
    QTest::newRow("archive through /proc/self/root") << "/proc/self/root{app}" << true << "" << 930;
    QTest::newRow("link planted in temp") << "{temp}applink/x.txt" << false << "" << 930;
    QTest::newRow("archive into a link planted in temp") << "{temp}applink" << true << "" << 930;
    QTest::newRow("link, then dot-dot") << "{temp}sublink/../x.txt" << false << "" << 930;
    QTest::newRow("new directory behind a link and dot-dot")
        << "{temp}sublink/../new/x.txt" << false << "" << 930;
    QTest::newRow("bind mount of it") << "{temp}dest/mnt/x.txt" << false << "dest/mnt" << 930;
    QTest::newRow("the journal") << "{root}journal/0.unpack" << false << "" << 930;
    QTest::newRow("archive into the journal") << "{root}journal" << true << "" << 930;
    QTest::newRow("same prefix, other folder") << "{temp}appdata/x.txt" << false << "" << 0;
    QTest::newRow("dot-dot out of it") << "{temp}app/../appdata/y.txt" << false << "" << 0;
    QTest::newRow("link out of it, then dot-dot") << "{app}/outlink/../y.txt" << false << "" << 0;
    QTest::newRow("archive beside it") << "{temp}appdata" << true << "" << 0;
}

void tst_filewrite::applicationFolderGuard() {
    QFETCH(QString, filePath);
    QFETCH(bool, isZipData);
    QFETCH(QString, bindMount);
    QFETCH(int, code);
    const QString temp = Session.dataTempLocation;
    Session.appDir = temp + "app";
    QVERIFY(QDir().mkpath(Session.appDir + "/sub"));
    QVERIFY(QDir().mkpath(temp + "appdata/deep"));
    writeBytes(Session.appDir + "/qltRestClientQt", "program");
    QVERIFY(QFile::link(Session.appDir, temp + "applink"));
    QVERIFY(QFile::link("app/sub", temp + "sublink"));
    QVERIFY(QFile::link(temp + "appdata/deep", Session.appDir + "/outlink"));
    if (!bindMount.isEmpty()) {
        QVERIFY(QDir().mkpath(temp + bindMount));
        if (::geteuid() != 0 ||
            QProcess::execute("mount", {"--bind", Session.appDir, temp + bindMount}) != 0)
            QSKIP("cannot bind-mount here");
        m_mount = temp + bindMount;
    }
    const auto before = snapshot(Session.appDir + "/");
    const QByteArray data = isZipData ? readBytes(testpaths::dataDir() + "/files/pkg.zip") : "x";
    const QJsonObject reply = save({{"filePath", QString(filePath)
                                                     .replace("{temp}", temp)
                                                     .replace("{root}", m_root->path())
                                                     .replace("{app}", Session.appDir)},
                                    {"isZipData", isZipData},
                                    {"fileDataB64", QString::fromLatin1(data.toBase64())}});
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    if (code == 930) {
        QCOMPARE(reply.value("errorDescription").toString(),
                 "Not allowed to write in application folder!");
        QCOMPARE(snapshot(Session.appDir + "/"), before);
    }
}

// A file written from slices is the file that the same bytes give whole, also where a
// character is cut between slices; the read-back fails alike where text mode changes the bytes.
void tst_filewrite::streamedWriteIsTheByteWrite_data() {
    QTest::addColumn<bool>("isBinary");
    QTest::addColumn<QByteArrayList>("slices");
    QTest::addColumn<int>("code");
    QByteArrayList all;
    for (int i = 0; i < 256; i += 7) {
        QByteArray slice;
        for (int j = i; j < qMin(i + 7, 256); ++j) slice += char(j);
        all << slice;
    }
    QTest::newRow("binary") << true << all << 0;
    QTest::newRow("binary, not UTF-8")
        << true << QByteArrayList{"caf\xe9", QByteArray("\x80\0", 2)} << 0;
    QTest::newRow("text") << false << QByteArrayList{"a\r\nb", " \xc3\xa9\n"} << 0;
    QTest::newRow("text, two-byte character cut")
        << false << QByteArrayList{"caf\xc3", "\xa9!"} << 0;
    QTest::newRow("text, four-byte character in four slices")
        << false << QByteArrayList{"x\xf0", "\x9f", "\x98", "\x80y"} << 0;
    QTest::newRow("text, character cut in one long slice")
        << false << QByteArrayList{QByteArray(65535, 'a') + "\xc3\xa9" + QByteArray(70000, 'b')}
        << 0;
    QTest::newRow("text, byte-order mark cut")
        << false << QByteArrayList{"\xef\xbb", "\xbfx"} << 999;
    QTest::newRow("text, Windows-1252") << false << QByteArrayList{"caf\xe9", " \x93q\x94"} << 999;
    QTest::newRow("text, NUL in a later slice")
        << false << QByteArrayList{"te", QByteArray("x\0t", 3)} << 999;
    QTest::newRow("text, sequence cut at the end") << false << QByteArrayList{"caf", "\xc3"} << 999;
}

void tst_filewrite::streamedWriteIsTheByteWrite() {
    QFETCH(bool, isBinary);
    QFETCH(QByteArrayList, slices);
    QFETCH(int, code);
    const fileWriter writer(Session, appLog());
    const QString target = Session.dataTempLocation + "t.txt";
    heldBytes allAtOnce(slices.join());
    const saveResultStruct whole =
        verifiedWrite::writeAndVerify(writer, target + ".whole", allAtOnce, isBinary, target);
    QCOMPARE(whole.errorCode, code);
    givenSlices source(slices);
    const saveResultStruct streamed =
        verifiedWrite::writeAndVerify(writer, target + ".tmp", source, isBinary, target);
    QCOMPARE(streamed.errorCode, code);
    QCOMPARE(streamed.errorDescription, whole.errorDescription);
    // Bytes that are not UTF-8 may turn into replacement characters differently when cut.
    if (code == 0) {
        QCOMPARE(readBytes(target + ".tmp"), slices.join());
        QCOMPARE(readBytes(target + ".whole"), slices.join());
    }
}

// What reaches the disk is compared by content, not by size alone: a byte that changed on the
// way fails the read-back.
void tst_filewrite::readBackSeesChangedBytes() {
    const QString dir = Session.dataTempLocation;
    givenSlices source({"abc", "def"}, QString(), [&dir] {
        const QStringList parts = entriesOf(dir).filter(".part");
        QCOMPARE(parts.size(), 1);
        QFile part(dir + parts.first());
        QVERIFY(part.open(QIODevice::ReadWrite));
        part.write("X");
    });
    const saveResultStruct result = verifiedWrite::writeAndVerify(
        fileWriter(Session, appLog()), dir + "t.bin.tmp", source, true, dir + "t.bin");
    QCOMPARE(result.errorCode, 999);
    QCOMPARE(readBytes(dir + "t.bin.tmp"), QByteArray("Xbcdef"));
}

// A source that fails (Base64 that does not decode) is told from a failed write, and leaves
// no trace: no temporary, no record of one, the target and its ".old" as they were.
void tst_filewrite::failingSourceLeavesNothing_data() {
    QTest::addColumn<bool>("isBinary");
    QTest::addColumn<QByteArrayList>("slices");  // before the failure
    QTest::newRow("binary, at once") << true << QByteArrayList{};
    QTest::newRow("binary, mid-way") << true << QByteArrayList{QByteArray(100000, 'n'), "n"};
    QTest::newRow("text, mid-way, a character cut") << false << QByteArrayList{"new caf\xc3"};
}

void tst_filewrite::failingSourceLeavesNothing() {
    QFETCH(bool, isBinary);
    QFETCH(QByteArrayList, slices);
    const QString dir = Session.dataTempLocation + "d/";
    const QString target = dir + "t.txt";
    const QString journal = m_root->path() + "journal";
    writeBytes(target, "previous");
    writeBytes(target + ".old", "older");
    QStringList partsDuring, recordsDuring;  // proof that the test looks where they lie
    const auto look = [&] {
        partsDuring = entriesOf(dir).filter(".part");
        recordsDuring = entriesOf(journal);
    };
    givenSlices source(slices, "bad Base64 at 12", look);
    const saveResultStruct result = verifiedWrite::writeAndVerify(
        fileWriter(Session, appLog()), target + ".tmp", source, isBinary, target);
    QCOMPARE(result.errorCode, 959);
    QCOMPARE(result.errorDescription, "Decode error of data from server!");
    QCOMPARE(result.extraInfo, "bad Base64 at 12");
    QCOMPARE(partsDuring.size(), 1);
    QCOMPARE(recordsDuring.size(), 1);
    QCOMPARE(entriesOf(dir), (QStringList{"t.txt", "t.txt.old"}));
    QCOMPARE(entriesOf(journal), QStringList());
    QCOMPARE(readBytes(target), QByteArray("previous"));
    QCOMPARE(readBytes(target + ".old"), QByteArray("older"));

    givenSlices again(slices, "bad Base64 at 12");
    QString error;
    QCOMPARE(atomicFile::write(target, again, &error), atomicFile::Result::SourceFailed);
    QCOMPARE(error, "bad Base64 at 12");
    QCOMPARE(entriesOf(dir), (QStringList{"t.txt", "t.txt.old"}));
    QCOMPARE(readBytes(target), QByteArray("previous"));
}

void tst_filewrite::fullDiskKeepsTarget_data() {
    QTest::addColumn<bool>("streamed");  // from slices, else saveFileContent with the bytes whole
    QTest::newRow("whole") << false;
    QTest::newRow("streamed") << true;
}

// A real full disk: a small tmpfs. Mounting needs root; elsewhere the test is skipped.
void tst_filewrite::fullDiskKeepsTarget() {
    QFETCH(bool, streamed);
    const QString dir = Session.dataTempLocation + "small";
    QVERIFY(QDir().mkpath(dir));
    if (::geteuid() != 0 ||
        QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dir}) != 0)
        QSKIP("cannot mount a small tmpfs here");
    m_mount = dir;
    // The command refuses any write that would leave this disk less than its reserve; the
    // streamed row still meets the full disk itself, as a write racing another program would.
    const QByteArray previous(300 * 1024, 'p');
    writeBytes(dir + "/f.bin", previous);
    const QByteArray next(900 * 1024, 'n');
    saveResultStruct reply;
    if (streamed) {
        givenSlices slices(
            {next.left(300 * 1024), next.mid(300 * 1024, 300 * 1024), next.mid(600 * 1024)});
        reply = verifiedWrite::writeAndVerify(fileWriter(Session, appLog()), dir + "/f.bin.tmp",
                                              slices, true, dir + "/f.bin");
    } else {
        const QJsonObject saved = save({{"filePath", "small/f.bin"},
                                        {"basePathType", "temp"},
                                        {"isBinary", true},
                                        {"fileDataB64", QString::fromLatin1(next.toBase64())}});
        reply = {
            saved.value("errorCode").toInt(-1), saved.value("errorDescription").toString(), {}};
    }
    QCOMPARE(reply.errorCode, 900);
    QCOMPARE(reply.errorDescription, "Can't write to file!");
    QCOMPARE(readBytes(dir + "/f.bin"), previous);
    QCOMPARE(entriesOf(dir), QStringList{"f.bin"});
}

void tst_filewrite::unwritableTempKeepsTarget() {
    const QString target = Session.dataTempLocation + "f.txt";
    writeBytes(target, "previous");
    QVERIFY(QDir().mkpath(target + ".tmp"));  // nothing can be renamed over a directory
    const QJsonObject reply =
        save({{"filePath", "f.txt"}, {"basePathType", "temp"}, {"fileDataB64", "bmV3"}});
    QCOMPARE(reply.value("errorCode").toInt(-1), 900);
    QCOMPARE(readBytes(target), QByteArray("previous"));
}

void tst_filewrite::rights() {
    const QString target = utils.rightsFilePath();
    writeBytes(target, "old\t/o\n");
    const QJsonObject reply =
        utils.setRights({{"filePath", "elsewhere.txt"}, {"fileDataB64", "bmV3CS9uCg=="}});
    QCOMPARE(
        reply,
        (QJsonObject{{"errorCode", 0}, {"errorDescription", ""}, {"info", ""}, {"fileData", ""}}));
    QCOMPARE(readBytes(target), QByteArray("new\t/n\n"));
    QCOMPARE(readBytes(target + ".old"), QByteArray("old\t/o\n"));
    QVERIFY(!QFileInfo::exists(Session.dataTempLocation + "elsewhere.txt"));
    QCOMPARE(utils.setRights({{"fileDataB64", "bmV3\nCg=="}}).value("errorCode").toInt(-1), 959);
    QCOMPARE(utils.setRights({}).value("errorCode").toInt(-1), 959);
    QCOMPARE(readBytes(target), QByteArray("new\t/n\n"));
}

void tst_filewrite::modeIsKept_data() {
    QTest::addColumn<bool>("rights");  // setRights, else saveFileContent of temp/f.txt
    QTest::addColumn<int>("before");   // mode of the existing target; 0: none
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("written");  // else the read-back fails and the .tmp stays
    QTest::addColumn<int>("after");     // of the target, or of the .tmp
    const QByteArray text("k\tv\n");
    QTest::newRow("rights file stays owner-only") << true << 0600 << text << true << 0600;
    QTest::newRow("new rights file is owner-only") << true << 0 << text << true << 0600;
    QTest::newRow("file keeps a narrow mode") << false << 0640 << text << true << 0640;
    QTest::newRow("script stays executable") << false << 0755 << text << true << 0755;
    QTest::newRow("new file as the umask says") << false << 0 << text << true << 0644;
    QTest::newRow("failed write leaves no wider copy")
        << false << 0600 << QByteArray("\xff\xfe") << false << 0600;
}

// Under umask 022, the temporary file would be 0644: the replaced file keeps its own mode.
void tst_filewrite::modeIsKept() {
    QFETCH(bool, rights);
    QFETCH(int, before);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, written);
    QFETCH(int, after);
    const QString target = rights ? utils.rightsFilePath() : Session.dataTempLocation + "f.txt";
    QFile::remove(target);
    if (before != 0) {
        writeBytes(target, "old\n");
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(before)) == 0);
    }
    const QVariantMap data{{"filePath", "f.txt"},
                           {"basePathType", "temp"},
                           {"fileDataB64", QString::fromLatin1(bytes.toBase64())}};
    const mode_t previous = ::umask(022);
    const QJsonObject reply = rights ? utils.setRights(data) : save(data);
    ::umask(previous);
    QCOMPARE(reply.value("errorCode").toInt(-1), written ? 0 : 999);
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(written ? target : target + ".tmp").constData(), &st) == 0);
    QCOMPARE(int(st.st_mode & 07777), after);
}

void tst_filewrite::specialFilesAreNotReplaced_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("special");  // relative to the data root
    QTest::addColumn<QString>("kind");     // "fifo" or "device"
    QTest::addColumn<int>("code");
    QTest::newRow("saveFileContent over a FIFO") << "save"
                                                 << "temp/f.txt"
                                                 << "fifo" << 900;
    QTest::newRow("saveFileContent with a FIFO as .tmp") << "save"
                                                         << "temp/f.txt.tmp"
                                                         << "fifo" << 900;
    QTest::newRow("saveFileContent over a device") << "save"
                                                   << "temp/f.txt"
                                                   << "device" << 900;
    QTest::newRow("setRights over a FIFO") << "rights"
                                           << "settings/qltRestClientRightsQt.conf"
                                           << "fifo" << 900;
    QTest::newRow("pushLicense over a FIFO") << "license"
                                             << "temp/licenses/f.txt"
                                             << "fifo" << 900;
    QTest::newRow("ZIP over a FIFO") << "zip"
                                     << "temp/dest/f.txt"
                                     << "fifo" << 950;
}

// A FIFO, socket or device is never opened for writing, nor replaced by a file.
void tst_filewrite::specialFilesAreNotReplaced() {
    QFETCH(QString, command);
    QFETCH(QString, special);
    QFETCH(QString, kind);
    QFETCH(int, code);
    const QString path = m_root->path() + special;
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile::remove(path);
    std::unique_ptr<FifoWatchdog> fifo;
    if (kind == "fifo") {
        fifo = std::make_unique<FifoWatchdog>(path);
        QVERIFY(fifo->created());
    } else if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
        QSKIP("cannot make a device node here");
    }
    const QString b64 = QString::fromLatin1(QByteArray("new\n").toBase64());
    QJsonObject reply;
    if (command == "save")
        reply = save({{"filePath", "f.txt"}, {"basePathType", "temp"}, {"fileDataB64", b64}});
    else if (command == "rights")
        reply = utils.setRights({{"fileDataB64", b64}});
    else if (command == "license")
        reply = utils.pushLicense({{"path", "f.txt"}, {"licenseData", b64}});
    else {
        QVariantMap data = zipCommand("dest", makeZip("with zipfile.ZipFile(out, 'w') as z:\n"
                                                      "    z.writestr('other.txt', 'x')\n"
                                                      "    z.writestr('f.txt', 'x')\n"));
        data.insert("basePathType", "temp");
        reply = save(data);
    }
    QCOMPARE(reply.value("errorCode").toInt(-1), code);
    if (command != "license")
        QVERIFY2(reply.value("info").toString().contains("not a regular file"),
                 qPrintable(reply.value("info").toString()));
    struct stat st;
    QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
    QVERIFY(kind == "fifo" ? S_ISFIFO(st.st_mode) : S_ISCHR(st.st_mode));
    QVERIFY(!QFileInfo::exists(m_root->path() + "temp/dest/other.txt"));
    if (fifo) QVERIFY(!fifo->fired());
}

void tst_filewrite::zipInPlace() {
    const QString dest = Session.dataSymbolDataLocation + "pkg/";
    writeBytes(dest + "keep.txt", "kept");
    writeBytes(dest + "sub/replace.txt", "old");
    const QByteArray archive = makeZip(
        "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    z.writestr('sub/replace.txt', 'new ' * 1000)\n"
        "    z.writestr('sub/deeper/new.txt', 'fresh')\n"
        "    z.writestr('empty/', '')\n"
        "    link(z, 'sub/alias', 'replace.txt')\n");
    QVERIFY(!archive.isEmpty());
    QVariantMap data = zipCommand("pkg", archive);
    data.insert("basePathType", "symbolData");
    QCOMPARE(
        save(data),
        (QJsonObject{{"errorCode", 0}, {"errorDescription", ""}, {"info", ""}, {"fileData", ""}}));
    QCOMPARE(readBytes(dest + "keep.txt"), QByteArray("kept"));
    QCOMPARE(readBytes(dest + "sub/replace.txt"), QByteArray("new ").repeated(1000));
    QCOMPARE(readBytes(dest + "sub/deeper/new.txt"), QByteArray("fresh"));
    QVERIFY(QFileInfo(dest + "empty").isDir());
    QCOMPARE(QFile::symLinkTarget(dest + "sub/alias"), dest + "sub/replace.txt");
    QVERIFY(!QFileInfo::exists(dest + "tmp_zip"));
}

void tst_filewrite::zipRelativeToWorkingDirectory() {
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_root->path()));
    const QJsonObject reply =
        save(zipCommand("rel/dest", readBytes(testpaths::dataDir() + "/files/pkg.zip")));
    QDir::setCurrent(previous);
    QCOMPARE(reply.value("errorCode").toInt(-1), 0);
    QCOMPARE(readBytes(m_root->path() + "rel/dest/pkg/readme.txt"), QByteArray("unpacked\n"));
    QVERIFY(!QFileInfo::exists(m_root->path() + "rel/dest/tmp_zip"));
}

void tst_filewrite::emptyZipCreatesTheDestination() {
    const QByteArray empty = makeZip("zipfile.ZipFile(out, 'w').close()\n");
    QCOMPARE(empty.size(), 22);
    QVariantMap data = zipCommand("new/empty", empty);
    data.insert("basePathType", "temp");
    QCOMPARE(
        save(data),
        (QJsonObject{{"errorCode", 0}, {"errorDescription", ""}, {"info", ""}, {"fileData", ""}}));
    const QString dest = Session.dataTempLocation + "new/empty";
    QVERIFY(QFileInfo(dest).isDir());
    QCOMPARE(QDir(dest).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
             QStringList());
}

void tst_filewrite::hostileArchives_data() {
    QTest::addColumn<QString>("python");
    QTest::addColumn<QString>("reason");
    const QString good = "    z.writestr('a/good.txt', 'fine')\n";
    const QString open = "with zipfile.ZipFile(out, 'w') as z:\n" + good;
    const QString deflated = "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n" + good;
    QTest::newRow("zip-slip") << open + "    z.writestr('a/../../evil.txt', 'x')\n"
                              << "leaves the destination directory";
    QTest::newRow("absolute name") << open + "    z.writestr('/evil.txt', 'x')\n"
                                   << "leaves the destination directory";
    QTest::newRow("absolute link") << open + "    link(z, 'a/l', '/etc')\n"
                                   << "leaves the destination";
    QTest::newRow("relative link out") << open + "    link(z, 'a/l', '../../outside')\n"
                                       << "leaves the destination";
    QTest::newRow("write through a link")
        << open + "    link(z, 'l', 'a')\n    z.writestr('l/x', 'x')\n"
        << "through the link";
    QTest::newRow("CRC mismatch")
        << open +
               "    z.writestr('b.txt', 'hello world')\n"
               "damage(lambda b: b.replace(b'hello world', b'hello World', 1))\n"
        << "CRC mismatch";
    QTest::newRow("corrupt Deflate stream")
        << deflated +
               "    z.writestr('b.txt', bytes(range(256)) * 64)\n"
               "def corrupt(b):\n"
               "    j = b.rfind(b'PK\\x03\\x04')\n"
               "    start = j + 30 + sum(struct.unpack('<HH', b[j + 26: j + 30]))\n"
               "    b[start + 20: start + 60] = b'\\xff' * 40\n"
               "    return b\n"
               "damage(corrupt)\n"
        << "entry 'b.txt'";
    QTest::newRow("truncated") << open +
                                      "    z.writestr('b.txt', 'x' * 5000)\n"
                                      "damage(lambda b: b[: len(b) // 2])\n"
                               << "";
    QTest::newRow("unsupported method")
        << open +
               "def lzma(b):\n"
               "    j = b.find(b'PK\\x03\\x04'); b[j + 8: j + 10] = struct.pack('<H', 14)\n"
               "    i = next(central(b)); b[i + 10: i + 12] = struct.pack('<H', 14)\n"
               "    return b\n"
               "damage(lzma)\n"
        << "unsupported compression method 14";
    QTest::newRow("65536 entries") << "with zipfile.ZipFile(out, 'w') as z:\n"
                                      "    for i in range(65536): z.writestr('e%d' % i, '')\n"
                                   << "";
    // Two honest Deflate entries of zeros, 2100 MiB each: over the 4 GiB cap together. Zeros
    // after a full flush compress to the same bytes every MiB, so the stream is built by copying.
    QTest::newRow("bomb over the cap")
        << "import zlib\n"
           "c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
           "mib = c.compress(b'\\0' * (1 << 20)) + c.flush(zlib.Z_FULL_FLUSH)\n"
           "data = mib * 2100 + c.flush(zlib.Z_FINISH)\n"
           "size = 2100 << 20\n"
           "local, central_dir = b'', b''\n"
           "for name in (b'one', b'two'):\n"
           "    central_dir += struct.pack('<IHHHHIIIIHHHHHII', 0x02014b50, 0x314, 20, 0, 8, 0, "
           "0,\n"
           "        len(data), size, len(name), 0, 0, 0, 0, 0o100644 << 16, len(local)) + name\n"
           "    local += struct.pack('<IHHHIIIIHH', 0x04034b50, 20, 0, 8, 0, 0, len(data), size,\n"
           "        len(name), 0) + name + data\n"
           "end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 2, 2, len(central_dir), len(local), "
           "0)\n"
           "open(out, 'wb').write(local + central_dir + end)\n"
        << "archive too large";
    QTest::newRow("inflates past its size")
        << deflated +
               "    z.writestr('b.txt', b'\\0' * 100000)\n"
               "def shrink(b):\n"
               "    i = list(central(b))[-1]; b[i + 24: i + 28] = struct.pack('<I', 10)\n"
               "    j = b.rfind(b'PK\\x03\\x04'); b[j + 22: j + 26] = struct.pack('<I', 10)\n"
               "    return b\n"
               "damage(shrink)\n"
        << "entry 'b.txt'";
    QTest::newRow("not an archive") << "open(out, 'wb').write(b'just some bytes' * 10)\n"
                                    << "not a zip archive";
}

void tst_filewrite::hostileArchives() {
    QFETCH(QString, python);
    QFETCH(QString, reason);
    const QByteArray archive = makeZip(python);
    QVERIFY(!archive.isEmpty());
    const QString dest = Session.dataTempLocation + "dest/";
    writeBytes(dest + "a/good.txt", "before");
    writeBytes(dest + "b.txt", "before");
    QVERIFY(QDir().mkpath(m_root->path() + "outside"));
    const auto before = snapshot(m_root->path());
    QVariantMap data = zipCommand("dest", archive);
    data.insert("basePathType", "temp");
    const QJsonObject reply = save(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), 950);
    QCOMPARE(reply.value("errorDescription").toString(), "Extraction failed");
    QVERIFY2(!reply.value("info").toString().isEmpty() &&
                 reply.value("info").toString().contains(reason),
             qPrintable(reply.value("info").toString()));
    QCOMPARE(snapshot(m_root->path()), before);
}

void tst_filewrite::conflictsWithTheDestination_data() {
    QTest::addColumn<QString>("python");
    QTest::addColumn<QString>("reason");
    const QString open = "with zipfile.ZipFile(out, 'w') as z:\n    z.writestr('fine.txt', 'x')\n";
    QTest::newRow("through a link in the destination")
        << open + "    z.writestr('outlink/x', 'x')\n"
        << "outlink is not";
    QTest::newRow("directory over a file") << open + "    z.writestr('file.txt/x', 'x')\n"
                                           << "file.txt is not";
    QTest::newRow("file over a directory") << open + "    z.writestr('dir', 'x')\n"
                                           << "would replace the directory";
    QTest::newRow("the work directory") << open + "    z.writestr('tmp_zip/x', 'x')\n"
                                        << "collides with the work directory";
}

void tst_filewrite::conflictsWithTheDestination() {
    QFETCH(QString, python);
    QFETCH(QString, reason);
    const QString dest = Session.dataTempLocation + "dest/";
    QVERIFY(QDir().mkpath(m_root->path() + "outside"));
    QVERIFY(QDir().mkpath(dest + "dir"));
    writeBytes(dest + "file.txt", "mine");
    QVERIFY(QFile::link(m_root->path() + "outside", dest + "outlink"));
    const auto before = snapshot(m_root->path());
    QVariantMap data = zipCommand("dest", makeZip(python));
    data.insert("basePathType", "temp");
    const QJsonObject reply = save(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), 950);
    QVERIFY2(reply.value("info").toString().contains(reason),
             qPrintable(reply.value("info").toString()));
    QCOMPARE(snapshot(m_root->path()), before);
}

// A link is judged by where it leads once unpacked, through the links an earlier archive (or
// anyone) left in the destination, not by the names in its own archive alone.
void tst_filewrite::linksAcrossArchives_data() {
    QTest::addColumn<QString>("firstDestination");  // below temp; the second goes into "dest"
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("reason");  // empty: the second archive is unpacked
    const QString open = "with zipfile.ZipFile(out, 'w') as z:\n";
    QTest::newRow("up through a link of the first, and out")
        << "dest" << open + "    z.writestr('d/', '')\n    link(z, 'd/up', '..')\n"
        << open + "    link(z, 'esc', 'd/up/d/up/../../..')\n"
        << "leaves the destination";
    QTest::newRow("through a link out of the destination")
        << "." << open + "    z.writestr('dest/', '')\n    link(z, 'dest/out', '..')\n"
        << open + "    link(z, 'esc', 'out/x')\n"
        << "leaves the destination";
    QTest::newRow("up after a link, which a later archive could turn")
        << "dest" << open + "    z.writestr('sub/', '')\n    link(z, 'x', 'sub')\n"
        << open + "    link(z, 'esc', 'x/../y')\n"
        << "'..' after a name";
    QTest::newRow("through a link of the first, staying inside")
        << "dest"
        << open + "    z.writestr('shared/lib/a.so', 'a')\n    link(z, 'current', 'shared')\n"
        << open + "    link(z, 'lib', 'current/lib')\n    link(z, 'bin/l', '../current/lib/a.so')\n"
        << "";
}

void tst_filewrite::linksAcrossArchives() {
    QFETCH(QString, firstDestination);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, reason);
    const QString dest = Session.dataTempLocation + "dest/";
    QVERIFY(QDir().mkpath(dest));
    QVariantMap data = zipCommand(firstDestination, makeZip(first));
    data.insert("basePathType", "temp");
    QCOMPARE(save(data).value("errorCode").toInt(-1), 0);
    const auto before = snapshot(m_root->path());
    data = zipCommand("dest", makeZip(second));
    data.insert("basePathType", "temp");
    const QJsonObject reply = save(data);
    if (reason.isEmpty()) {
        QCOMPARE(reply.value("errorCode").toInt(-1), 0);
        return;
    }
    QCOMPARE(reply.value("errorCode").toInt(-1), 950);
    QVERIFY2(reply.value("info").toString().contains(reason),
             qPrintable(reply.value("info").toString()));
    QCOMPARE(snapshot(m_root->path()), before);
}

void tst_filewrite::failedZipRemovesWhatItCreated() {
    QVariantMap notAZip = zipCommand("new/dest", "no zip");
    notAZip.insert("basePathType", "temp");
    QCOMPARE(save(notAZip).value("errorCode").toInt(-1), 950);
    QVERIFY(!QFileInfo::exists(Session.dataTempLocation + "new"));
    writeBytes(Session.dataTempLocation + "file", "x");
    QVariantMap belowAFile =
        zipCommand("file/dest", readBytes(testpaths::dataDir() + "/files/pkg.zip"));
    belowAFile.insert("basePathType", "temp");
    const QJsonObject refused = save(belowAFile);
    QCOMPARE(refused.value("errorCode").toInt(-1), 941);
    QCOMPARE(refused.value("errorDescription").toString(),
             "Failed to create a temporary directory " + Session.dataTempLocation +
                 "file/dest for extraction!");
}

// Entries cannot be renamed onto another file system: the move into a mounted subdirectory
// fails after earlier entries were moved in, and those moves must be undone.
void tst_filewrite::failedMoveIsRolledBack() {
    const QString dest = Session.dataTempLocation + "dest/";
    writeBytes(dest + "a.txt", "before");
    QVERIFY(QDir().mkpath(dest + "sub"));
    if (::geteuid() != 0 ||
        QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dest + "sub"}) != 0)
        QSKIP("cannot mount a small tmpfs here");
    m_mount = dest + "sub";
    writeBytes(dest + "sub/kept.txt", "before");
    const auto before = snapshot(m_root->path());
    QVariantMap data = zipCommand("dest", makeZip("with zipfile.ZipFile(out, 'w') as z:\n"
                                                  "    z.writestr('a.txt', 'after')\n"
                                                  "    z.writestr('new.txt', 'after')\n"
                                                  "    z.writestr('sub/b.txt', 'after')\n"));
    data.insert("basePathType", "temp");
    const QJsonObject reply = save(data);
    QCOMPARE(reply.value("errorCode").toInt(-1), 950);
    QVERIFY2(reply.value("info").toString().contains("sub/b.txt"),
             qPrintable(reply.value("info").toString()));
    QCOMPARE(snapshot(m_root->path()), before);
}

void tst_filewrite::crashRecovery_data() {
    QTest::addColumn<QString>("destination");  // below temp: the archive's, else the file's
    QTest::addColumn<bool>("isZipData");
    QTest::addColumn<QString>("function");  // where the client is killed
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<bool>("expectNew");  // else everything as before
    QTest::newRow("ZIP: archive half stored") << "dest" << true << "rename"
                                              << ".zip." << 0 << false;
    QTest::newRow("ZIP: into a new folder, extracting") << "fresh/dest" << true << "openat"
                                                        << "f17.txt" << 0 << false;
    QTest::newRow("ZIP: extracting") << "dest" << true << "openat"
                                     << "f17.txt" << 0 << false;
    QTest::newRow("ZIP: commit stopped half-way") << "dest" << true << "rename"
                                                  << "staged/f17.txt -> " << 0 << false;
    QTest::newRow("ZIP: all entries moved, commit not marked") << "dest" << true << "rename"
                                                               << ".unpack." << 2 << false;
    QTest::newRow("ZIP: extracted, archive removed") << "dest" << true << "unlink"
                                                     << ".zip" << 0 << false;
    QTest::newRow("ZIP: commit marked, work files not removed") << "dest" << true << "unlink"
                                                                << ".replaced/" << 0 << true;
    QTest::newRow("file: temporary half stored") << "dest/file.txt" << false << "rename"
                                                 << "file.txt.tmp." << 0 << false;
    QTest::newRow("file: verified, not moved into place") << "dest/file.txt" << false << "rename"
                                                          << "file.txt.tmp -> " << 0 << false;
}

// Killed anywhere in a write or an unpack, the client at its next start leaves the target
// wholly old (or, once the unpack was marked complete, wholly new) and removes the temporary
// files it made, and nothing else.
void tst_filewrite::crashRecovery() {
    QFETCH(QString, destination);
    QFETCH(bool, isZipData);
    QFETCH(QString, function);
    QFETCH(QString, text);
    QFETCH(int, occurrence);
    QFETCH(bool, expectNew);
    const QString temp = Session.dataTempLocation;
    const QStringList decoys{"decoy.tmp", ".decoy.txt.0123abcd.part", "dest/tmp_zip/own.zip",
                             "dest/keep.tmp"};
    QString python =
        "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    z.writestr('sub/deep/n.txt', 'new')\n";
    for (int i = 0; i < 40; ++i)
        python +=
            QString("    z.writestr('f%1.txt', 'new')\n    z.writestr('n%1/x', 'new')\n").arg(i);
    for (const QString &base : {QStringLiteral("dest/"), QStringLiteral("reference/")}) {
        for (const QString &decoy : decoys)
            writeBytes(temp + QString(decoy).replace("dest/", base), "user's");
        writeBytes(temp + base + "file.txt", "old");
        writeBytes(temp + base + "sub/g.txt", "old");
        for (int i = 0; i < 40; ++i) writeBytes(temp + base + QString("f%1.txt").arg(i), "old");
    }
    QVariantMap data = zipCommand("reference", makeZip(python));
    data.insert("basePathType", "temp");
    QCOMPARE(save(data).value("errorCode").toInt(-1), 0);
    data.insert("filePath", destination);
    if (!isZipData) data = {{"filePath", destination}, {"fileDataB64", "bmV3"}};
    data.insert("basePathType", "temp");
    const QString target = temp + destination;
    const auto before = snapshot(target);

    QVERIFY(saveAndCrash(data, qPrintable(function), qPrintable(text), occurrence));
    fileWriter(Session, appLog()).recoverInterrupted();

    if (!isZipData)
        QCOMPARE(readBytes(target), QByteArray("old"));
    else if (destination.startsWith("fresh/"))
        QVERIFY(!QFileInfo::exists(temp + "fresh"));
    else
        QCOMPARE(snapshot(target), expectNew ? snapshot(temp + "reference") : before);
    for (const QString &decoy : decoys) QCOMPARE(readBytes(temp + decoy), QByteArray("user's"));
    QCOMPARE(QDir(m_root->path() + "journal")
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList());
    QDirIterator all(temp, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                     QDirIterator::Subdirectories);
    while (all.hasNext()) {
        const QString path = all.next().mid(temp.size());
        if (path.endsWith("/tmp_zip") ||
            decoys.contains(QString(path).replace("reference/", "dest/")))
            continue;
        QVERIFY2(!path.endsWith(".part") && !path.endsWith(".tmp") && !path.contains("tmp_zip/"),
                 qPrintable(path));
    }
}

// A power loss can lose staged entries that were never synced while the record of the commit and
// some moves survive: the start after it must not take a destination file for a moved entry.
void tst_filewrite::stagedEntryLostWithPowerKeepsTheOriginal() {
    QVERIFY(QDir().mkpath(Session.dataTempLocation + "dest"));
    const QString destination = QDir(Session.dataTempLocation + "dest").canonicalPath();
    writeBytes(destination + "/f0.txt", "old0");
    writeBytes(destination + "/f1.txt", "old1");
    const QString id = "0123abcd-0000-4000-8000-000000000001";
    const QString work = destination + "/tmp_zip/" + id;
    QVERIFY(QDir().mkpath(work + ".staged") && QDir().mkpath(work + ".replaced"));
    writeBytes(work + ".staged/f0.txt", "new0");  // f1.txt's never reached the disk
    writeBytes(m_root->path() + "journal/" + id + ".unpack",
               QString("{\"destination\":\"%1\",\"state\":\"committing\",\"createdDirs\":[],"
                       "\"moves\":[{\"path\":\"f0.txt\",\"replaces\":true},"
                       "{\"path\":\"f1.txt\",\"replaces\":true}]}")
                   .arg(destination)
                   .toUtf8());
    fileWriter(Session, appLog()).recoverInterrupted();
    QCOMPARE(readBytes(destination + "/f0.txt"), QByteArray("old0"));
    QCOMPARE(readBytes(destination + "/f1.txt"), QByteArray("old1"));
    QVERIFY(!QFileInfo::exists(destination + "/tmp_zip"));
}

QTEST_GUILESS_MAIN(tst_filewrite)
#include "tst_filewrite.moc"
