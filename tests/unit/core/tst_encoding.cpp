#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "core/encoding.h"
#include "core/spooledtext.h"

// The client's own Base64 must read and write exactly what Qt's does: uploads were checked
// against it before, and servers have relied on what it accepted and refused.
class tst_encoding : public QObject {
    Q_OBJECT
  private slots:
    void strictAgreesWithQt_data();
    void strictAgreesWithQt();
    void encodeAgreesWithQt();
    void spooledDecodeAgreesWithWhole_data();
    void spooledDecodeAgreesWithWhole();
    void cutSpoolFails();
};

namespace {
// Qt's strict reading: what the client accepted before it had its own.
QByteArray qtStrict(const QByteArray &text, bool *ok) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    *ok = bool(decoded);
    return decoded.decoded;
}

QByteArray randomBytes(int size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes) c = char(generator.bounded(256));
    return bytes;
}
}  // namespace

void tst_encoding::strictAgreesWithQt_data() {
    QTest::addColumn<QByteArray>("text");
    for (const char *text : {"",
                             "Q",
                             "QQ",
                             "QQE",
                             "QUJD",
                             "QUJDRA",
                             "QQ==",
                             "QUI=",
                             "Q===",
                             "====",
                             "=",
                             "QQ=",
                             "QQ=Q",
                             "QUJD=",
                             "QUJDQQ==",
                             "QQ==QUJD",
                             "QQ==QQ==",
                             "QUJDQQ===",
                             "QUJD\n",
                             " QUJD",
                             "QU JD",
                             "QUJD\r\nQUJD",
                             "QUJ-",
                             "QUJ_",
                             "QUJ\xc3\xa9",
                             "QUJD\0"}) {
        QTest::newRow(text[0] ? text : "(empty)") << QByteArray(text);
    }
    QTest::newRow("with a NUL") << QByteArray("QU\0D", 4);
    // Random texts from the alphabet, padding and a few strangers, of every length near a group.
    QRandomGenerator generator(11);
    const QByteArray characters("ABCXYZabcxyz0189+/=\n!-");
    for (int i = 0; i < 400; ++i) {
        QByteArray text = randomBytes(int(generator.bounded(1, 40)), 0).toBase64();
        for (int flips = int(generator.bounded(3)); flips > 0; --flips)
            text[int(generator.bounded(text.size()))] =
                characters.at(int(generator.bounded(characters.size())));
        if (generator.bounded(4) == 0) text.chop(int(generator.bounded(1, 3)));
        QTest::newRow(qPrintable(QStringLiteral("random %1").arg(i))) << text;
    }
}

void tst_encoding::strictAgreesWithQt() {
    QFETCH(QByteArray, text);
    bool qtOk = false;
    const QByteArray expected = qtStrict(text, &qtOk);
    QByteArray out("kept");
    QCOMPARE(base64::strict(text.constData(), text.size(), &out), qtOk);
    QCOMPARE(out, QByteArray("kept") + (qtOk ? expected : QByteArray()));
    QCOMPARE(base64::strict(text), expected);
}

void tst_encoding::encodeAgreesWithQt() {
    for (int size = 0; size < 70; ++size) {
        const QByteArray bytes = randomBytes(size, quint32(size));
        QCOMPARE(base64::encode(bytes), bytes.toBase64());
    }
}

void tst_encoding::spooledDecodeAgreesWithWhole_data() {
    QTest::addColumn<QByteArray>("spooled");  // the JSON text between the quotes
    QTest::addColumn<QByteArray>("text");     // the same, escapes read
    // The decoder reads the spool in slices of this much text: changes at their seams matter.
    constexpr int slice = 256 * 1024;
    const QByteArray base = randomBytes(slice / 4 * 3 * 2, 5).toBase64();
    const auto row = [](const QByteArray &name, const QByteArray &spooled, const QByteArray &text) {
        QTest::newRow(name.constData()) << spooled << text;
    };
    row("whole slices", base, base);
    for (const int cut : {slice - 2, slice - 1, slice, slice + 1, slice + 2, 2 * slice - 1}) {
        const QByteArray head = base.left(cut);
        const QByteArray tail = base.mid(cut);
        const QByteArray at = QByteArray::number(cut - slice);
        row(("ends there, seam " + at), head, head);
        row(("padding there, seam " + at), head + "QQ==", head + "QQ==");
        row(("escaped slash there, seam " + at), head + "\\/" + tail, head + "/" + tail);
        row(("escaped letter there, seam " + at), head + "\\u0041" + tail, head + "A" + tail);
        row(("escape not ASCII there, seam " + at), head + "\\u00e9" + tail,
            head + "\xc3\xa9" + tail);
        row(("unknown escape there, seam " + at), head + "\\n" + tail, head + "\n" + tail);
        row(("padding inside there, seam " + at), head + "QQ==" + tail, head + "QQ==" + tail);
        row(("stranger there, seam " + at), head + "!" + tail, head + "!" + tail);
    }
    row("escape cut by the end", base + "\\u00", base + "\xff");
    row("lone backslash at the end", base + "\\", base + "\xff");
}

// Read slice by slice from its spool, an upload decodes to what the whole text decodes to, and
// fails where it fails.
void tst_encoding::spooledDecodeAgreesWithWhole() {
    QFETCH(QByteArray, spooled);
    QFETCH(QByteArray, text);
    QTemporaryDir directory;
    const spooledTextPtr spool = spooledText::create(directory.path());
    spool->append(spooled.constData(), spooled.size());
    spool->finish();
    QCOMPARE(spool->dropped(), spooledText::Dropped::No);
    bool expectedOk = false;
    const QByteArray expected = qtStrict(text, &expectedOk);
    spooledBase64 decoder(spool);
    QByteArray decoded;
    QString error;
    bool ok = true;
    for (QByteArray slice; ok;) {
        ok = decoder.next(&slice, &error);
        if (slice.isEmpty()) break;
        decoded += slice;
    }
    QCOMPARE(ok, expectedOk);
    if (ok) QVERIFY(decoded == expected);
}

// A spool cut short behind the client's back is no shorter upload: its decoding fails.
void tst_encoding::cutSpoolFails() {
    QTemporaryDir directory;
    const spooledTextPtr spool = spooledText::create(directory.path());
    const QByteArray text = randomBytes(300000, 9).toBase64();
    spool->append(text.constData(), text.size());
    spool->finish();
    const QString file = QDir(directory.path()).entryInfoList({"spool-*"}).value(0).filePath();
    QVERIFY(QFile::resize(file, 200000));
    spooledBase64 decoder(spool);
    QString error;
    bool ok = true;
    for (QByteArray slice; ok;) {
        ok = decoder.next(&slice, &error);
        if (slice.isEmpty()) break;
    }
    QVERIFY(!ok);
    QVERIFY2(error.contains("could not be read to its end (200000 of 400000 bytes)"),
             qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_encoding)
#include "tst_encoding.moc"
