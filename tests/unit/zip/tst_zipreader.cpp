#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "testpaths.h"
#include "zipreader.h"

using zip::ZipReader;

namespace {

const QString AbsoluteVictim = QStringLiteral("/tmp/qlt-zipreader-absolute.txt");

QString archivePath(const QString &name) { return testpaths::dataDir() + "/zip/" + name; }

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

bool exists(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Everything a tree holds, by relative path: the full mode (type and permission bits) and
// the content, file bytes or link target. Links are listed, never followed.
QMap<QString, QByteArray> snapshot(const QString &root) {
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        if (::lstat(native.constData(), &st) != 0) continue;
        QByteArray description = QByteArray::number(uint(st.st_mode), 8) + ' ';
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t length = ::readlink(native.constData(), target, sizeof target);
            description += QByteArray(target, int(qMax<ssize_t>(length, 0)));
        } else if (S_ISREG(st.st_mode)) {
            description += readAll(path);
        }
        tree.insert(QDir(root).relativeFilePath(path), description);
    }
    return tree;
}

bool run(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool python(const QString &script, const QStringList &arguments) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("python3"));
    return !program.isEmpty() && run(program, QStringList{"-c", script} + arguments);
}

}  // namespace

class tst_ZipReader : public QObject {
    Q_OBJECT

  private slots:
    void extractsLikeUnzip_data();
    void extractsLikeUnzip();
    void refusesHostileArchive_data();
    void refusesHostileArchive();
    void neverFollowsExistingLink_data();
    void neverFollowsExistingLink();
    void entryInfo_data();
    void entryInfo();
    void damagedIndex_data();
    void damagedIndex();
    void fileData_data();
    void fileData();
    void openStatus_data();
    void openStatus();
    void permissionsFollowTheUmask_data();
    void permissionsFollowTheUmask();
    void emptyArchive_data();
    void emptyArchive();
    void readsFromCallerDevice();
    void extractsTenThousandEntries();
    void streamsLargeEntry();
};

void tst_ZipReader::extractsLikeUnzip_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<int>("entries");

    QTest::newRow("Info-ZIP stored (-0)") << "infozip-stored.zip" << 11;
    QTest::newRow("Info-ZIP deflated with directories") << "infozip-deflated.zip" << 11;
    QTest::newRow("Info-ZIP symbolic links (-y)") << "infozip-symlinks.zip" << 7;
    QTest::newRow("Info-ZIP archive comment (-z)") << "infozip-comment.zip" << 2;
    QTest::newRow("zipfile data descriptors and ./ names") << "python-descriptor.zip" << 5;
}

void tst_ZipReader::extractsLikeUnzip() {
    QFETCH(QString, archive);
    QFETCH(int, entries);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString ours = dir.filePath("ours");
    const QString theirs = dir.filePath("theirs");

    ZipReader reader(archivePath(archive));
    QCOMPARE(reader.count(), entries);
    QVERIFY2(reader.extractAll(ours), qPrintable(reader.errorString()));
    QVERIFY(reader.errorString().isEmpty());
    QVERIFY(run("/usr/bin/unzip", {"-qq", archivePath(archive), "-d", theirs}));

    const QMap<QString, QByteArray> actual = snapshot(ours);
    const QMap<QString, QByteArray> expected = snapshot(theirs);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(actual.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(actual.value(it.key()) == it.value(), qPrintable(it.key()));
}

void tst_ZipReader::refusesHostileArchive_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("error");
    // Faults visible in the headers must leave the destination untouched (empty column); for
    // faults found while reading data, the named file must not appear, not even half-written.
    QTest::addColumn<QString>("mustNotExist");
    const auto row = [](const char *name, const char *archive, const char *error,
                        const char *mustNotExist = "") {
        QTest::newRow(name) << QString(archive) << QString(error) << QString(mustNotExist);
    };

    row("parent segments", "slip-parent.zip", "entry '../../escaped.txt': leaves the dest");
    row("absolute name", "slip-absolute.zip",
        "entry '/tmp/qlt-zipreader-absolute.txt': leaves the destination directory");
    row(".. inside the name", "slip-inner.zip", "entry 'a/b/../../../escaped.txt': leaves");
    row("NUL byte in the name", "nul-name.zip", "entry 'escaped.txt\\0.png': has a NUL byte");
    row("empty name", "empty-name.zip", "entry './': has an empty name");
    row("link leading out", "link-escape.zip",
        "entry 'l': link target '../../outside' leaves the destination directory");
    row("absolute link", "link-absolute.zip", "entry 'abs': link target '/tmp' leaves");
    row("write through own link", "link-write-through.zip",
        "entry 'l/x.txt': would be written through the link 'l'");
    row("link through own link", "link-chain.zip",
        "entry 'l1': link target passes through the link 'a/b/l2'");
    row("duplicate path", "duplicate.zip",
        "entry './good.txt': has the same path as entry 'good.txt'");
    row("file used as directory", "file-parent.zip", "entry 'a/b.txt': lies below the file 'a'");
    row("bomb claiming a huge size", "bomb-ratio.zip",
        "entry 'big.bin': declares 4000000000 bytes");
    row("bomb over the total cap", "bomb-total.zip",
        "archive too large: 6000000000 bytes uncompressed, the limit is 4294967296 bytes");
    row("overlapping entries", "overlap.zip", "overlaps entry");
    row("data past its end", "past-directory.zip",
        "entry 'long.bin': data runs into the central directory");
    row("bad local header", "bad-local-header.zip", "entry 'b.txt': bad local header");
    row("truncated central directory", "truncated-directory.zip",
        "archive index incomplete (2 of 3 entries)");
    row("encrypted", "encrypted.zip", "entry 'secret.txt': encrypted");
    row("unknown method", "method12.zip", "entry 'b.bz2': unsupported compression method 12");
    row("version 45", "version45.zip", "entry 'd.txt': needs version 45");
    row("ZIP64 sizes", "zip64.zip", "entry 'd.bin': needs ZIP64");
    row("unknown host", "unknown-host.zip", "entry 'vm.txt': unsupported host system 4");
    row("CRC mismatch, stored", "crc-stored.zip", "entry 'bad.txt': CRC mismatch", "bad.txt");
    row("CRC mismatch, deflated", "crc-deflated.zip", "entry 'bad.txt': CRC mismatch", "bad.txt");
    row("corrupt Deflate stream", "corrupt-deflate.zip", "entry 'bad.bin': corrupt Deflate stream",
        "bad.bin");
    row("Deflate stream cut short", "cut-deflate.zip", "entry 'bad.txt': corrupt Deflate stream",
        "bad.txt");
    row("inflates beyond its size", "oversize.zip",
        "entry 'bad.txt': inflates to more than its declared 1000 bytes", "bad.txt");
    row("inflates short of its size", "undersize.zip",
        "entry 'bad.txt': size mismatch: 10 bytes instead of 20", "bad.txt");
}

void tst_ZipReader::refusesHostileArchive() {
    QFETCH(QString, archive);
    QFETCH(QString, error);
    QFETCH(QString, mustNotExist);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Escapes land in the sentinel around the destination, where they can be seen.
    const QString sentinel = dir.filePath("sentinel");
    const QString dest = sentinel + "/inner/dest";
    QVERIFY(QDir().mkpath(dest));
    QFile::remove(AbsoluteVictim);

    ZipReader reader(archivePath(archive));
    QVERIFY(!reader.extractAll(dest));
    QVERIFY2(reader.errorString().contains(error), qPrintable(reader.errorString()));

    QStringList outside;
    QDirIterator it(sentinel, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path != dest && !path.startsWith(dest + '/')) outside << path;
    }
    QCOMPARE(outside, QStringList{sentinel + "/inner"});
    QVERIFY(!exists(AbsoluteVictim));

    const QStringList written = snapshot(dest).keys();
    if (mustNotExist.isEmpty()) {
        QCOMPARE(written, QStringList());
    } else {
        QVERIFY(!written.contains(mustNotExist));
        for (const QString &path : written) QVERIFY2(!path.contains(".zip-"), qPrintable(path));
    }
}

void tst_ZipReader::neverFollowsExistingLink_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<bool>("linkToDirectory");
    QTest::addColumn<QString>("error");

    QTest::newRow("directory link leading out")
        << "through-existing-link.zip"
        << "evil" << true << "entry 'evil/x.txt': 'evil' is not a directory inside the destination";
    QTest::newRow("file link leading out") << "infozip-stored.zip"
                                           << "hello.txt" << false << "";
}

void tst_ZipReader::neverFollowsExistingLink() {
    QFETCH(QString, archive);
    QFETCH(QString, linkName);
    QFETCH(bool, linkToDirectory);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString dest = dir.filePath("dest");
    const QString victim = dir.filePath("victim");
    QVERIFY(QDir().mkpath(dest));
    if (linkToDirectory)
        QVERIFY(QDir().mkpath(victim));
    else
        QVERIFY(writeAll(victim, "original\n"));
    QVERIFY(QFile::link(victim, dest + '/' + linkName));

    ZipReader reader(archivePath(archive));
    QCOMPARE(reader.extractAll(dest), error.isEmpty());
    QCOMPARE(reader.errorString(), error);
    if (linkToDirectory) {
        QVERIFY(QDir(victim).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    } else {
        QCOMPARE(readAll(victim), QByteArray("original\n"));
        QVERIFY(!QFileInfo(dest + '/' + linkName).isSymLink());
        QCOMPARE(readAll(dest + '/' + linkName), QByteArray("Hello, world\n"));
    }
}

void tst_ZipReader::entryInfo_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<char>("type");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("permissions");

    const int rw_r__r__ = QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner |
                          QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
    const int rwxr_xr_x =
        rw_r__r__ | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
    QTest::newRow("file") << "infozip-deflated.zip"
                          << "docs/readme.md" << 'f' << qint64(2150)
                          << int(QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner |
                                 QFile::WriteUser | QFile::ReadGroup);
    QTest::newRow("read-only file")
        << "infozip-stored.zip"
        << "readonly.txt" << 'f' << qint64(14)
        << int(QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther);
    QTest::newRow("set-user-id file keeps only rwx")
        << "infozip-stored.zip"
        << "suid.bin" << 'f' << qint64(12) << rwxr_xr_x;
    QTest::newRow("directory loses its slash")
        << "infozip-deflated.zip"
        << "docs/deep" << 'd' << qint64(0)
        << int(QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner | QFile::WriteUser |
               QFile::ExeOwner | QFile::ExeUser);
    QTest::newRow("./ directory") << "python-descriptor.zip"
                                  << "pkg" << 'd' << qint64(0) << rwxr_xr_x;
    QTest::newRow("./ file") << "python-descriptor.zip"
                             << "a.txt" << 'f' << qint64(300) << rw_r__r__;
    QTest::newRow("symbolic link") << "infozip-symlinks.zip"
                                   << "docs/link-up" << 'l' << qint64(12)
                                   << int(rwxr_xr_x | QFile::WriteGroup | QFile::WriteOther);
    QTest::newRow("MS-DOS directory known by its slash")
        << "dos-host.zip"
        << "META-INF" << 'd' << qint64(0) << int(rwxr_xr_x | QFile::WriteGroup | QFile::WriteOther);
    QTest::newRow("MS-DOS read-only file")
        << "dos-host.zip"
        << "META-INF/MANIFEST.MF" << 'f' << qint64(22)
        << int(QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther);
    QTest::newRow("UTF-8 name") << "python-utf8.zip" << QString::fromUtf8("grüße.txt") << 'f'
                                << qint64(8) << rw_r__r__;
}

void tst_ZipReader::entryInfo() {
    QFETCH(QString, archive);
    QFETCH(QString, filePath);
    QFETCH(char, type);
    QFETCH(qint64, size);
    QFETCH(int, permissions);

    ZipReader reader(archivePath(archive));
    const QVector<ZipReader::FileInfo> list = reader.fileInfoList();
    QCOMPARE(reader.count(), list.size());
    int found = -1;
    for (int i = 0; i < list.size(); ++i) {
        const ZipReader::FileInfo info = reader.entryInfoAt(i);
        QCOMPARE(info.filePath, list.at(i).filePath);
        QVERIFY(info.isValid());
        if (info.filePath == filePath) found = i;
    }
    QVERIFY2(found >= 0, qPrintable(filePath));
    const ZipReader::FileInfo info = list.at(found);
    QCOMPARE(info.isFile, type == 'f');
    QCOMPARE(info.isDir, type == 'd');
    QCOMPARE(info.isSymLink, type == 'l');
    QCOMPARE(info.size, size);
    QCOMPARE(int(info.permissions), permissions);
    QCOMPARE(info.lastModified, QDateTime(QDate(2024, 5, 1), QTime(12, 0)));
    if (type != 'd') {
        const QByteArray data = reader.fileData(filePath);
        QCOMPARE(data.size(), size);
        QCOMPARE(info.crc, uint(crc32(0, reinterpret_cast<const Bytef *>(data.constData()),
                                      uInt(data.size()))));
    }

    QVERIFY(!reader.entryInfoAt(-1).isValid());
    QVERIFY(!reader.entryInfoAt(list.size()).isValid());
}

void tst_ZipReader::damagedIndex_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QByteArray>("prepend");
    QTest::addColumn<QByteArray>("append");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("entries");

    QTest::newRow("prepended data") << "infozip-deflated.zip" << QByteArray("#!/bin/sh\n")
                                    << QByteArray() << "Zip: not a zip file!" << 0;
    QTest::newRow("trailing data of 65535 bytes")
        << "infozip-deflated.zip" << QByteArray() << QByteArray(65535, 'x')
        << "Zip: failed to parse zip file." << 11;
    QTest::newRow("trailing data over 65535 bytes")
        << "infozip-deflated.zip" << QByteArray() << QByteArray(65536, 'x')
        << "Zip: EndOfDirectory not found" << 0;
    QTest::newRow("comment longer than its field")
        << "infozip-comment.zip" << QByteArray() << QByteArray(" and more")
        << "Zip: failed to parse zip file." << 2;
    QTest::newRow("directory cut short")
        << "truncated-directory.zip" << QByteArray() << QByteArray()
        << "Zip: Failed to read complete header, index may "
           "be incomplete"
        << 2;
    QTest::newRow("empty file") << "" << QByteArray() << QByteArray() << "Zip: not a zip file!"
                                << 0;
    QTest::newRow("local signature only") << "" << QByteArray("PK\x03\x04garbage") << QByteArray()
                                          << "Zip: EndOfDirectory not found" << 0;
}

void tst_ZipReader::damagedIndex() {
    QFETCH(QString, archive);
    QFETCH(QByteArray, prepend);
    QFETCH(QByteArray, append);
    QFETCH(QString, warning);
    QFETCH(int, entries);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("damaged.zip");
    QVERIFY(writeAll(
        path,
        prepend + (archive.isEmpty() ? QByteArray() : readAll(archivePath(archive))) + append));

    ZipReader reader(path);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(reader.count(), entries);
    QCOMPARE(reader.fileInfoList().size(), entries);
    QCOMPARE(reader.status(), ZipReader::NoError);
}

void tst_ZipReader::fileData_data() {
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("error");

    QTest::newRow("stored") << "infozip-stored.zip"
                            << "hello.txt" << QByteArray("Hello, world\n") << "";
    QTest::newRow("deflated") << "infozip-deflated.zip"
                              << "docs/deep/note.txt" << QByteArray("deep note\n") << "";
    QTest::newRow("data descriptor")
        << "python-descriptor.zip"
        << "pkg/module.py" << QByteArray("print('hello from the module')\n").repeated(30) << "";
    QTest::newRow("stored name with ./")
        << "python-descriptor.zip"
        << "./a.txt" << QByteArray("dot-slash name\n").repeated(20) << "";
    QTest::newRow("cleaned name") << "python-descriptor.zip"
                                  << "a.txt" << QByteArray("dot-slash name\n").repeated(20) << "";
    QTest::newRow("link target") << "infozip-symlinks.zip"
                                 << "docs/link-up" << QByteArray("../hello.txt") << "";
    QTest::newRow("no such entry") << "infozip-stored.zip"
                                   << "nothing.txt" << QByteArray() << "";
    QTest::newRow("CRC mismatch") << "crc-stored.zip"
                                  << "bad.txt" << QByteArray() << "entry 'bad.txt': CRC mismatch";
    QTest::newRow("encrypted") << "encrypted.zip"
                               << "secret.txt" << QByteArray() << "entry 'secret.txt': encrypted";
}

void tst_ZipReader::fileData() {
    QFETCH(QString, archive);
    QFETCH(QString, name);
    QFETCH(QByteArray, data);
    QFETCH(QString, error);

    ZipReader reader(archivePath(archive));
    QCOMPARE(reader.fileData(name), data);
    QCOMPARE(reader.errorString(), error);
}

void tst_ZipReader::openStatus_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<int>("entries");

    QTest::newRow("readable archive")
        << true << int(QIODevice::ReadOnly) << int(ZipReader::NoError) << true << 11;
    QTest::newRow("missing archive")
        << false << int(QIODevice::ReadOnly) << int(ZipReader::FileOpenError) << false << 0;
    QTest::newRow("opened write-only")
        << true << int(QIODevice::WriteOnly) << int(ZipReader::FileReadError) << false << 0;
}

void tst_ZipReader::openStatus() {
    QFETCH(bool, present);
    QFETCH(int, mode);
    QFETCH(int, status);
    QFETCH(bool, readable);
    QFETCH(int, entries);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("archive.zip");
    if (present) QVERIFY(QFile::copy(archivePath("infozip-stored.zip"), path));

    ZipReader reader(path, QIODevice::OpenMode(mode));
    QCOMPARE(reader.exists(), present);
    QCOMPARE(reader.isReadable(), readable);
    QCOMPARE(reader.count(), entries);
    QCOMPARE(int(reader.status()), status);
    QCOMPARE(reader.extractAll(dir.filePath("dest")), entries > 0);
}

void tst_ZipReader::permissionsFollowTheUmask_data() {
    QTest::addColumn<int>("umask");
    QTest::addColumn<QStringList>("modes");  // "path mode" in octal, by path
    QTest::newRow("umask 022") << 0022
                               << QStringList{"dos-dir 755",    "dos-dir/file 644", "dos-ro 444",
                                              "sticky-dir 755", "unix-640 640",     "unix-777 755",
                                              "unix-suid 755"};
    QTest::newRow("umask 077") << 0077
                               << QStringList{"dos-dir 700",    "dos-dir/file 600", "dos-ro 400",
                                              "sticky-dir 700", "unix-640 600",     "unix-777 700",
                                              "unix-suid 700"};
    QTest::newRow("umask 0") << 0
                             << QStringList{"dos-dir 777",    "dos-dir/file 666", "dos-ro 444",
                                            "sticky-dir 777", "unix-640 640",     "unix-777 777",
                                            "unix-suid 777"};
}

// Entries from DOS-style hosts ask for 0666 and 0777; the umask decides, as for unzip, and no
// archive sets a set-user-id, set-group-id or sticky bit.
void tst_ZipReader::permissionsFollowTheUmask() {
    QFETCH(int, umask);
    QFETCH(QStringList, modes);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("modes.zip");
    QVERIFY(
        python("import sys, zipfile\n"
               "def entry(z, name, host, attr):\n"
               "    i = zipfile.ZipInfo(name)\n"
               "    i.create_system = host\n"
               "    i.external_attr = attr\n"
               "    z.writestr(i, '' if name.endswith('/') else 'x')\n"
               "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
               "    entry(z, 'dos-dir/', 0, 0x10)\n"
               "    entry(z, 'dos-dir/file', 0, 0)\n"
               "    entry(z, 'dos-ro', 0, 0x01)\n"
               "    entry(z, 'sticky-dir/', 3, 0o41777 << 16)\n"
               "    entry(z, 'unix-640', 3, 0o100640 << 16)\n"
               "    entry(z, 'unix-777', 3, 0o100777 << 16)\n"
               "    entry(z, 'unix-suid', 3, 0o106777 << 16)\n",
               {path}));
    const QString dest = dir.filePath("dest");
    const mode_t previous = ::umask(mode_t(umask));
    ZipReader reader(path);
    const bool extracted = reader.extractAll(dest);
    ::umask(previous);
    QVERIFY2(extracted, qPrintable(reader.errorString()));
    QStringList actual;
    const QMap<QString, QByteArray> tree = snapshot(dest);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        actual << it.key() + QLatin1Char(' ') +
                      QString::number(it.value().split(' ').first().toUInt(nullptr, 8) & 07777, 8);
    QCOMPARE(actual, modes);
}

void tst_ZipReader::emptyArchive_data() {
    QTest::addColumn<QString>("python");  // writes the archive to sys.argv[1]
    QTest::newRow("Python's zipfile") << "import sys, zipfile\n"
                                         "zipfile.ZipFile(sys.argv[1], 'w').close()\n";
    QTest::newRow("with a comment") << "import sys, zipfile\n"
                                       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                       "    z.comment = b'nothing inside'\n";
}

// A valid archive without entries is its end record alone: it unpacks to an empty directory.
void tst_ZipReader::emptyArchive() {
    QFETCH(QString, python);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("empty.zip");
    QVERIFY(::python(python, {path}));
    QVERIFY(readAll(path).startsWith("PK\x05\x06"));

    ZipReader reader(path);
    QCOMPARE(reader.count(), 0);
    const QString dest = dir.filePath("dest");
    QVERIFY2(reader.extractAll(dest), qPrintable(reader.errorString()));
    QVERIFY(QFileInfo(dest).isDir());
    QCOMPARE(snapshot(dest), (QMap<QString, QByteArray>()));
}

void tst_ZipReader::readsFromCallerDevice() {
    QBuffer buffer;
    buffer.setData(readAll(archivePath("infozip-deflated.zip")));
    {
        ZipReader reader(&buffer);
        QCOMPARE(reader.device(), &buffer);
        QVERIFY(reader.exists());
        QCOMPARE(reader.count(), 11);
        QCOMPARE(reader.fileData("hello.txt"), QByteArray("Hello, world\n"));
    }
    QVERIFY(!buffer.isOpen());
    QCOMPARE(buffer.size(), QFileInfo(archivePath("infozip-deflated.zip")).size());
}

void tst_ZipReader::extractsTenThousandEntries() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("many.zip");
    QVERIFY(
        python("import sys, zipfile\n"
               "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as zf:\n"
               "    for i in range(10000):\n"
               "        zf.writestr(f'd{i // 100:02}/f{i:05}.txt', f'entry {i}\\n')\n",
               {archive}));

    ZipReader reader(archive);
    QCOMPARE(reader.count(), 10000);
    QVERIFY2(reader.extractAll(dir.filePath("dest")), qPrintable(reader.errorString()));
    const QMap<QString, QByteArray> tree = snapshot(dir.filePath("dest"));
    QCOMPARE(tree.size(), 10000 + 100);
    for (int i : {0, 4711, 9999}) {
        const QString name = QString::asprintf("d%02d/f%05d.txt", i / 100, i);
        QCOMPARE(readAll(dir.filePath("dest/" + name)),
                 QByteArray("entry ") + QByteArray::number(i) + '\n');
    }
}

void tst_ZipReader::streamsLargeEntry() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("large.zip");
    const qint64 size = qint64(100) << 20;
    QVERIFY(
        python("import sys, zipfile\n"
               "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, compresslevel=1) "
               "as zf:\n"
               "    with zf.open('large.bin', 'w') as f:\n"
               "        for _ in range(int(sys.argv[2]) // 65536):\n"
               "            f.write(bytes(range(256)) * 256)\n",
               {archive, QString::number(size)}));

    ZipReader reader(archive);
    QVERIFY2(reader.extractAll(dir.filePath("dest")), qPrintable(reader.errorString()));
    QFile file(dir.filePath("dest/large.bin"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), size);
    QByteArray pattern;
    for (int i = 0; i < 256; ++i) pattern += char(i);
    pattern = pattern.repeated(256);
    while (!file.atEnd()) QCOMPARE(file.read(pattern.size()), pattern);
}

QTEST_GUILESS_MAIN(tst_ZipReader)
#include "tst_zipreader.moc"
