#include <QtTest>

#include "commands/utilsmodel.h"
#include "link/jsonreader.h"

namespace {
// Typed rendering, so that a row also pins the variant type: i (qlonglong), d (double),
// "..." (QString), true, false, null, [...], {key:...}.
QString render(const QVariant &v) {
    switch (v.userType()) {
        case QMetaType::QVariantMap: {
            QStringList parts;
            const QVariantMap map = v.toMap();
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                parts << it.key() + QLatin1Char(':') + render(it.value());
            return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
        }
        case QMetaType::QVariantList: {
            QStringList parts;
            for (const QVariant &item : v.toList()) parts << render(item);
            return QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']');
        }
        case QMetaType::QString:
            return QLatin1Char('"') + v.toString() + QLatin1Char('"');
        case QMetaType::LongLong:
            return QStringLiteral("i") + QString::number(v.toLongLong());
        case QMetaType::Double:
            return QStringLiteral("d") + QString::number(v.toDouble(), 'g', 17);
        case QMetaType::Bool:
            return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        case QMetaType::Nullptr:
            return QStringLiteral("null");
        default:
            return QStringLiteral("?") + QLatin1String(v.typeName());
    }
}
}  // namespace

class tst_jsonreader : public QObject {
    Q_OBJECT
  private slots:
    void reads_data();
    void reads();
    void repeatedKeyKeepsTheLastValue();
    void refuses_data();
    void refuses();
    void longPlainStringsStayBytes_data();
    void longPlainStringsStayBytes();
};

void tst_jsonreader::reads_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");
    QTest::newRow("command") << QByteArray(R"({"commandType":"getNodes","data":[{"nodeId":7}]})")
                             << R"({commandType:"getNodes",data:[{nodeId:i7}]})";
    QTest::newRow("white space") << QByteArray(" \t\r\n{ \"a\" : [ 1 , true ] }\n")
                                 << "{a:[i1,true]}";
    QTest::newRow("literals") << QByteArray("[true,false,null,{},[]]") << "[true,false,null,{},[]]";
    QTest::newRow("whole numbers are integers")
        << QByteArray("[0,-0,1.0,1e2,1.5e1,-0.0,100e-2,9223372036854775807,-9223372036854775808]")
        << "[i0,i0,i1,i100,i15,i0,i1,i9223372036854775807,i-9223372036854775808]";
    QTest::newRow("other numbers are doubles")
        << QByteArray("[1.5,2.5e-3,9223372036854775808,-1e19,4.9e-324]")
        << "[d1.5,d0.0025000000000000001,d9.2233720368547758e+18,d-1e+19,d4.9406564584124654e-324]";
    QTest::newRow("lenient fractions") << QByteArray("[.5,-.5,1.,1.e1]") << "[d0.5,d-0.5,i1,i10]";
    QTest::newRow("windows-1252") << QByteArray("{\"e\":\"\x80 caf\xe9 \x81\"}")
                                  << QString::fromUtf8("{e:\"€ café \xc2\x81\"}");
    QTest::newRow("escapes") << QByteArray(R"(["\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC"])")
                             << QString::fromUtf8("[\"\"\\/\b\f\n\r\tAé€\"]");
    QTest::newRow("unknown escape is its character") << QByteArray(R"(["\'\x"])") << "[\"'x\"]";
    QTest::newRow("surrogates") << QByteArray(R"(["\ud83d\ude00","\udc00\ud800x"])")
                                << QString::fromUtf8("[\"\xf0\x9f\x98\x80\",\"") + QChar(0xdc00) +
                                       QChar(0xd800) + QStringLiteral("x\"]");
    QTest::newRow("control bytes and NUL in a string")
        << QByteArray("[\"a\tb\x01\0c\"]", 10) << QString::fromLatin1("[\"a\tb\x01\0c\"]", 10);
}

void tst_jsonreader::reads() {
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    const jsonReader::Result result = jsonReader::read(json, 64);
    QCOMPARE(result.error, QString());
    QCOMPARE(render(result.value), expected);
    QCOMPARE(result.repeatedKey, QString());
}

void tst_jsonreader::repeatedKeyKeepsTheLastValue() {
    const jsonReader::Result result =
        jsonReader::read(R"({"b":[{"c":1,"c":2}],"a":[1],"a":{"c":[3]}})", 64);
    QCOMPARE(result.error, QString());
    QCOMPARE(render(result.value), "{a:{c:[i3]},b:[{c:i2}]}");
    QCOMPARE(result.repeatedKey, "c");  // the first repetition is the one reported
}

void tst_jsonreader::refuses_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("offset");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("trailing comma") << QByteArray(R"({"a":1,})") << 7;
    QTest::newRow("missing colon") << QByteArray(R"({"a" 1})") << 5;
    QTest::newRow("key not a string") << QByteArray("{a:1}") << 1;
    QTest::newRow("missing comma") << QByteArray("[1 2]") << 3;
    QTest::newRow("leading zero") << QByteArray("[01]") << 2;
    QTest::newRow("bare minus") << QByteArray("[-]") << 2;
    QTest::newRow("exponent without digits") << QByteArray("[1e+]") << 4;
    QTest::newRow("number out of range") << QByteArray("[1e400]") << 6;
    QTest::newRow("number that underflows") << QByteArray("[2e-324]") << 7;
    QTest::newRow("broken literal") << QByteArray("[tru]") << 4;
    QTest::newRow("short unicode escape") << QByteArray(R"(["\u12"])") << 6;
    QTest::newRow("broken low surrogate") << QByteArray(R"(["\ud800\udc0"])") << 13;
    QTest::newRow("escaped non-ASCII byte") << QByteArray("[\"\\\xe9\"]") << 3;
    QTest::newRow("unterminated string") << QByteArray("[\"abc\\\"]") << 8;
    QTest::newRow("unterminated object") << QByteArray(R"({"a":1)") << 6;
    QTest::newRow("garbage after the value") << QByteArray("{}x") << 2;
    QTest::newRow("too deep") << QByteArray("[[[[1]]]]") << 3;
}

void tst_jsonreader::refuses() {
    QFETCH(QByteArray, json);
    QFETCH(int, offset);
    const jsonReader::Result result = jsonReader::read(json, 3);
    QVERIFY2(!result.error.isEmpty(), qPrintable(render(result.value)));
    QCOMPARE(result.offset, offset);
    QVERIFY(!result.value.isValid());
}

// The Base64 of an upload stays in its bytes; handlers still see a string.
void tst_jsonreader::longPlainStringsStayBytes_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("type");
    const int from = jsonReader::compactStringBytes;
    QTest::newRow("long plain") << QByteArray(from, 'Q') << int(QMetaType::QByteArray);
    QTest::newRow("long with NUL") << QByteArray(from, '\0') << int(QMetaType::QByteArray);
    QTest::newRow("one byte shorter") << QByteArray(from - 1, 'Q') << int(QMetaType::QString);
    QTest::newRow("long with an escape") << QByteArray(from, 'Q') + "\\n"
                                         << int(QMetaType::QString);
    QTest::newRow("long with a high byte")
        << QByteArray(from, 'Q') + "\xe9" << int(QMetaType::QString);
}

void tst_jsonreader::longPlainStringsStayBytes() {
    QFETCH(QByteArray, text);
    QFETCH(int, type);
    const QByteArray json = "{\"" + QByteArray(5000, 'k') + "\":1,\"v\":\"" + text + "\"}";
    const jsonReader::Result result = jsonReader::read(json, 64);
    QCOMPARE(result.error, QString());
    const QVariantMap map = result.value.toMap();
    QCOMPARE(map.value("v").userType(), type);
    QVERIFY(map.contains(QString(5000, QLatin1Char('k'))));  // keys are always text
    const QString expected =
        QString::fromLatin1(text.constData(), text.size()).replace("\\n", "\n");
    QVERIFY(param::isString(map, "v"));
    QCOMPARE(param::string(map, "v"), expected);
    QCOMPARE(param::stringBytes(map, "v"), expected.toUtf8());
}

QTEST_GUILESS_MAIN(tst_jsonreader)
#include "tst_jsonreader.moc"
