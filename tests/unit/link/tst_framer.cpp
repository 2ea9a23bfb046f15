#include <QtTest>

#include "link/messageframer.h"

using Frame = messageFramer::Frame;

namespace {
// Compact rendering of what the framer produced: J:<json> C:<control> D (discarded) O (overflow)
QStringList render(const QVector<Frame> &frames) {
    QStringList out;
    for (const Frame &f : frames) {
        switch (f.kind) {
            case Frame::Json:
                out << QStringLiteral("J:") + QString::fromLatin1(f.bytes);
                break;
            case Frame::Control:
                out << QStringLiteral("C:") + QString::fromLatin1(f.bytes);
                break;
            case Frame::Discarded:
                out << QStringLiteral("D");
                break;
            case Frame::Overflow:
                out << QStringLiteral("O");
                break;
        }
    }
    return out;
}
}  // namespace

class tst_framer : public QObject {
    Q_OBJECT
  private slots:
    void frames_data();
    void frames();
    void everySplitPositionGivesTheSameFrames_data();
    void everySplitPositionGivesTheSameFrames();
    void oversizeBreaksTheStream();
    void nestingIsBounded();
    void largeMessageInSmallChunks();
    void longStringsGoToSpools_data();
    void longStringsGoToSpools();
    void spoolingIsBounded_data();
    void spoolingIsBounded();
};

void tst_framer::frames_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one message") << QByteArray("{\"a\":1}") << QStringList{"J:{\"a\":1}"};
    QTest::newRow("line feed after message")
        << QByteArray("{\"a\":1}\n") << QStringList{"J:{\"a\":1}"};
    QTest::newRow("two glued") << QByteArray("{\"a\":1}{\"b\":2}")
                               << QStringList{"J:{\"a\":1}", "J:{\"b\":2}"};
    QTest::newRow("white space between")
        << QByteArray(" \r\n{}\t\n {}\n") << QStringList{"J:{}", "J:{}"};
    QTest::newRow("control before")
        << QByteArray("\x02_KAS_\x03{\"a\":1}") << QStringList{"C:_KAS_", "J:{\"a\":1}"};
    QTest::newRow("control between")
        << QByteArray("{}\x02_KAS_\x03{}") << QStringList{"J:{}", "C:_KAS_", "J:{}"};
    QTest::newRow("control after") << QByteArray("{}\x02_KA_\x03") << QStringList{"J:{}", "C:_KA_"};
    QTest::newRow("only control") << QByteArray("\x02_KAS_\x03") << QStringList{"C:_KAS_"};
    QTest::newRow("braces inside string")
        << QByteArray("{\"t\":\"}{}}\"}") << QStringList{"J:{\"t\":\"}{}}\"}"};
    QTest::newRow("escaped quote inside string")
        << QByteArray("{\"t\":\"a\\\"}\"}") << QStringList{"J:{\"t\":\"a\\\"}\"}"};
    QTest::newRow("escaped backslash ends string")
        << QByteArray("{\"t\":\"a\\\\\"}{}") << QStringList{"J:{\"t\":\"a\\\\\"}", "J:{}"};
    QTest::newRow("nested objects")
        << QByteArray("{\"a\":{\"b\":{}}}") << QStringList{"J:{\"a\":{\"b\":{}}}"};
    QTest::newRow("windows-1252 bytes")
        << QByteArray("{\"e\":\"\x80\x9f\"}")
        << QStringList{QString::fromLatin1("J:{\"e\":\"\x80\x9f\"}")};
    QTest::newRow("garbage before message")
        << QByteArray("xx}\n{\"a\":1}") << QStringList{"D", "J:{\"a\":1}"};
    QTest::newRow("lone bracket") << QByteArray("]") << QStringList{"D"};
    QTest::newRow("incomplete stays pending") << QByteArray("{\"a\":") << QStringList{};
    QTest::newRow("unterminated control is garbage")
        << QByteArray("\x02") + QByteArray(40, 'k') + QByteArray("{}") << QStringList{"D", "J:{}"};
}

void tst_framer::frames() {
    QFETCH(QByteArray, input);
    QFETCH(QStringList, expected);
    messageFramer framer;
    QCOMPARE(render(framer.append(input)), expected);
}

void tst_framer::everySplitPositionGivesTheSameFrames_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("messages and frames") << QByteArray(
        "\x02_KAS_\x03{\"commandType\":\"x\",\"data\":[{\"s\":\"}\\\"{\"}]}\n"
        "\x02_KAS_\x03{\"b\":[1,2,{\"c\":\"\x80\"}]}  {}");
}

void tst_framer::everySplitPositionGivesTheSameFrames() {
    QFETCH(QByteArray, input);
    messageFramer whole;
    const QStringList expected = render(whole.append(input));
    QCOMPARE(expected.size(), 5);
    for (int cut1 = 0; cut1 <= input.size(); ++cut1) {
        for (int cut2 = cut1; cut2 <= input.size(); cut2 += 7) {
            messageFramer framer;
            QVector<Frame> got = framer.append(input.left(cut1));
            got += framer.append(input.mid(cut1, cut2 - cut1));
            got += framer.append(input.mid(cut2));
            QCOMPARE(render(got), expected);
        }
    }
    // One byte at a time.
    messageFramer bytewise;
    QVector<Frame> got;
    for (char c : input) got += bytewise.append(QByteArray(1, c));
    QCOMPARE(render(got), expected);
}

void tst_framer::oversizeBreaksTheStream() {
    messageFramer framer(16);
    QCOMPARE(render(framer.append("{\"a\":\"0123")), QStringList{});
    QCOMPARE(render(framer.append("456789abcdef\"}")), QStringList{"O"});
    QCOMPARE(render(framer.append("{}")), QStringList{});  // nothing after a broken stream
    framer.reset();
    QCOMPARE(render(framer.append("{}")), QStringList{"J:{}"});
}

void tst_framer::nestingIsBounded() {
    messageFramer framer(1 << 20, 8);
    QCOMPARE(render(framer.append("{\"a\":[[[[[[[[[[1]]]]]]]]]]}{}")), (QStringList{"D", "J:{}"}));
    QCOMPARE(render(framer.append("{\"a\":[[[[[[1]]]]]]}")),
             QStringList{"J:{\"a\":[[[[[[1]]]]]]}"});
}

void tst_framer::largeMessageInSmallChunks() {
    const QByteArray payload(8 * 1024 * 1024, 'A');
    const QByteArray message = "{\"fileDataB64\":\"" + payload + "\"}";
    messageFramer framer;
    QVector<Frame> got;
    for (int i = 0; i < message.size(); i += 4093) got += framer.append(message.mid(i, 4093));
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.first().kind, Frame::Json);
    QCOMPARE(got.first().bytes.size(), message.size());
}

void tst_framer::longStringsGoToSpools_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("spools");
    const QByteArray longText(100, 'x');
    QTest::newRow("one long value") << "{\"fileDataB64\":\"" + longText + "\",\"a\":1}" << 1;
    QTest::newRow("escapes inside")
        << "{\"v\":\"" + longText + "\\\"\\\\\\/" + longText + "\"}" << 1;
    QTest::newRow("escaped quote at the threshold")
        << "{\"v\":\"" + QByteArray(40, 'y') + "\\\"" + longText + "\"}" << 1;
    QTest::newRow("two long values and a short one")
        << "{\"a\":\"" + longText + "\",\"b\":\"s\",\"c\":[\"" + longText + "\"]}" << 2;
    QTest::newRow("long key") << "{\"" + longText + "\":1}" << 1;
    QTest::newRow("short strings stay") << QByteArray("{\"a\":\"short\",\"b\":\"}{\"}") << 0;
}

// However the message is cut into chunks, a string that grows beyond the threshold leaves the
// message for a spool, and the message with the spools put back is the message sent, while
// the framer never held more than its bound.
void tst_framer::longStringsGoToSpools() {
    QFETCH(QByteArray, message);
    QFETCH(int, spools);
    QTemporaryDir dir;
    for (int chunk = 1; chunk <= message.size(); ++chunk) {
        messageFramer framer(96);
        framer.setSpooling(dir.path(), 32, 1 << 20, 0);
        QVector<Frame> got;
        for (int i = 0; i < message.size(); i += chunk) got += framer.append(message.mid(i, chunk));
        QCOMPARE(render(got).size(), 1);
        QCOMPARE(got.first().kind, Frame::Json);
        QCOMPARE(got.first().spools.size(), spools);
        QByteArray rebuilt = got.first().bytes;
        for (int n = got.first().spools.size() - 1; n >= 0; --n)
            rebuilt.replace(messageFramer::spoolMark + QByteArray::number(n),
                            got.first().spools.at(n)->readAll());
        QCOMPARE(rebuilt, message);
    }
    // The spools go with the last reference to them.
    QCOMPARE(QDir(dir.path()).entryList({"spool-*"}, QDir::Files).size(), 0);
}

void tst_framer::spoolingIsBounded_data() {
    QTest::addColumn<qint64>("maxSpooled");
    QTest::addColumn<qint64>("reserve");
    QTest::addColumn<bool>("spoolable");  // else the spool folder cannot be made
    QTest::addColumn<int>("dropped");
    QTest::newRow("within the bounds")
        << qint64(1000) << qint64(0) << true << int(spooledText::Dropped::No);
    QTest::newRow("more than the spools may hold")
        << qint64(150) << qint64(0) << true << int(spooledText::Dropped::TooLarge);
    QTest::newRow("the disk would fill up")
        << qint64(1000) << (qint64(1) << 62) << true << int(spooledText::Dropped::NoRoom);
    QTest::newRow("no spool can be made")
        << qint64(1000) << qint64(0) << false << int(spooledText::Dropped::NoRoom);
}

// A long string that would pass the bound, leave the disk too full or find no room at all is
// dropped, and the message still comes out whole around it, with the next one after it: its
// command answers why. The long strings after it in the message are dropped alike, without a
// file of their own, and nothing of a dropped string stays on disk.
void tst_framer::spoolingIsBounded() {
    QFETCH(qint64, maxSpooled);
    QFETCH(qint64, reserve);
    QFETCH(bool, spoolable);
    QFETCH(int, dropped);
    QTemporaryDir dir;
    const QString spoolDir = dir.path() + (spoolable ? "/spools" : "/file/spools");
    QVERIFY(spoolable || QFile(dir.path() + "/file").open(QIODevice::WriteOnly));
    messageFramer framer(64);
    framer.setSpooling(spoolDir, 32, maxSpooled, reserve);
    const QByteArray message =
        "{\"v\":\"" + QByteArray(200, 'z') + "\",\"w\":\"" + QByteArray(200, 'y') + "\"}{\"x\":2}";
    QVector<Frame> got;
    for (int i = 0; i < message.size(); i += 50) got += framer.append(message.mid(i, 50));
    QCOMPARE(render(got),
             QStringList({"J:{\"v\":\"\\u0000spool:0\",\"w\":\"\\u0000spool:1\"}", "J:{\"x\":2}"}));
    QCOMPARE(got.first().spools.size(), 2);
    const bool kept = dropped == int(spooledText::Dropped::No);
    for (int n = 0; n < 2; ++n) {
        const spooledText *spool = got.first().spools.at(n).get();
        QCOMPARE(int(spool->dropped()), dropped);
        QCOMPARE(spool->size(), qint64(200));
        QCOMPARE(kept ? spool->readAll() : QByteArray(),
                 kept ? QByteArray(200, n == 0 ? 'z' : 'y') : QByteArray());
    }
    QCOMPARE(QDir(spoolDir).entryList({"spool-*"}, QDir::Files).size(), kept        ? 2
                                                                        : spoolable ? 1
                                                                                    : 0);
    if (!kept && spoolable)
        QCOMPARE(QFileInfo(QDir(spoolDir).entryInfoList({"spool-*"}).value(0)).size(), 0);
    got.clear();
    QCOMPARE(QDir(spoolDir).entryList({"spool-*"}, QDir::Files).size(), 0);
}

QTEST_GUILESS_MAIN(tst_framer)
#include "tst_framer.moc"
