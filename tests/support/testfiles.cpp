#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace testfiles {
void writeBytes(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QByteArray readBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Archives are made by Python's zipfile; the tail of some rows damages the bytes afterwards.
QByteArray makeZip(const QString &body) {
    const QString prelude = QStringLiteral(
        "import sys, zipfile, struct\n"
        "out = sys.argv[1]\n"
        "def link(z, name, target):\n"
        "    i = zipfile.ZipInfo(name)\n"
        "    i.create_system = 3\n"
        "    i.external_attr = 0o120777 << 16\n"
        "    z.writestr(i, target)\n"
        "def damage(fn):\n"
        "    b = bytearray(open(out, 'rb').read())\n"
        "    b = fn(b)\n"
        "    open(out, 'wb').write(bytes(b))\n"
        "def central(b):\n"
        "    i = b.find(b'PK\\x01\\x02')\n"
        "    while i >= 0:\n"
        "        yield i\n"
        "        i = b.find(b'PK\\x01\\x02', i + 1)\n");
    QTemporaryDir dir;
    const QString out = dir.filePath("archive.zip");
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start("python3", {"-c", prelude + body, out});
    if (!python.waitForFinished(60000) || python.exitCode() != 0) return QByteArray();
    return readBytes(out);
}
}  // namespace testfiles
