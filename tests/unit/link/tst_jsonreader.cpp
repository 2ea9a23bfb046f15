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
    void budget_data();
    void budget();
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

namespace {
// "[v,v,...]" with `count` elements.
QByteArray arrayOf(const QByteArray &value, qint64 count) {
    QByteArray json;
    json.reserve(int(count * (value.size() + 1) + 2));
    json += '[';
    for (qint64 i = 0; i < count; ++i) {
        if (i) json += ',';
        json += value;
    }
    return json + ']';
}

// {"0":0,"1":0,...} with `count` members.
QByteArray objectOf(qint64 count) {
    QByteArray json = "{";
    for (qint64 i = 0; i < count; ++i) {
        if (i) json += ',';
        json += '"' + QByteArray::number(i) + "\":0";
    }
    return json + '}';
}

// A saveFileContent command with `lines` lines of 64 Base64 characters, the last one a slash.
QByteArray uploadOf(int lines, const QByteArray &slash) {
    const QByteArray line =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+" + slash;
    return R"({"commandType":"saveFileContent","data":[{"fileDataB64":")" + line.repeated(lines) +
           R"("}]})";
}
}  // namespace

// What one message may expand to: every value and every key counts, nested or not, and so do the
// bytes its strings take; a whole file in one string is one value.
void tst_jsonreader::budget_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint64>("values");
    QTest::addColumn<qint64>("textBytes");
    QTest::addColumn<QString>("error");  // empty: read
    QTest::addColumn<int>("offset");
    const QString tooMany = QStringLiteral("too many values in one message");
    const QString tooMuch = QStringLiteral("too much text in one message");
    const qint64 values = jsonReader::messageBudget.values;
    const qint64 text = jsonReader::messageBudget.textBytes;
    QTest::newRow("message: all values within")
        << arrayOf("0", values - 1) << values << text << QString() << 0;
    QTest::newRow("message: one value more")
        << arrayOf("0", values) << values << text << tooMany << int(2 * values - 1);
    QTest::newRow("message: empty arrays")
        << arrayOf("[]", values) << values << text << tooMany << int(3 * values - 2);
    QTest::newRow("message: empty objects")
        << arrayOf("{}", values) << values << text << tooMany << int(3 * values - 2);
    const QByteArray keys = objectOf(values / 2);  // the last value is one too many
    QTest::newRow("message: keys") << keys << values << text << tooMany << int(keys.size() - 2);
    QTest::newRow("message: 16 MiB of Base64 in one string")
        << uploadOf(256 * 1024, "/") << values << text << QString() << 0;
    QTest::newRow("message: 16 MiB of Base64 with escaped slashes")
        << uploadOf(256 * 1024, "\\/") << values << text << QString() << 0;

    QTest::newRow("six values") << QByteArray("[1,2,3,4,5]") << 6LL << 100LL << QString() << 0;
    QTest::newRow("seven values") << QByteArray("[1,2,3,4,5,6]") << 6LL << 100LL << tooMany << 11;
    QTest::newRow("nested arrays within")
        << QByteArray("[[],[[]],[]]") << 6LL << 100LL << QString() << 0;
    QTest::newRow("nested arrays beyond")
        << QByteArray("[[[],[]],[[],[]]]") << 6LL << 100LL << tooMany << 13;
    QTest::newRow("nested objects within")
        << QByteArray(R"({"a":{"b":1}})") << 6LL << 100LL << QString() << 0;
    QTest::newRow("keys count") << QByteArray(R"({"a":1,"b":2,"c":3})") << 6LL << 100LL << tooMany
                                << 17;
    QTest::newRow("text within") << QByteArray(R"(["abcd","efgh"])") << 6LL << 16LL << QString()
                                 << 0;
    QTest::newRow("text beyond") << QByteArray(R"(["abcd","efghi"])") << 6LL << 16LL << tooMuch
                                 << 9;
    QTest::newRow("keys are text")
        << QByteArray(R"({"abcd":"efghi"})") << 6LL << 16LL << tooMuch << 9;
    const int compact = jsonReader::compactStringBytes;
    QTest::newRow("compact string takes its bytes") << "[\"" + QByteArray(2 * compact, 'Q') + "\"]"
                                                    << 6LL << qint64(2 * compact) << QString() << 0;
    QTest::newRow("other strings take two bytes a character")
        << "[\"" + QByteArray(compact, 'Q') + "\xe9\"]" << 6LL << qint64(2 * compact) << tooMuch
        << 2;
}

void tst_jsonreader::budget() {
    QFETCH(QByteArray, json);
    QFETCH(qint64, values);
    QFETCH(qint64, textBytes);
    QFETCH(QString, error);
    QFETCH(int, offset);
    const jsonReader::Result result =
        jsonReader::read(json, 64, jsonReader::compactStringBytes, {values, textBytes});
    QCOMPARE(result.error, error);
    QCOMPARE(result.offset, offset);
    QCOMPARE(result.value.isValid(), error.isEmpty());
}

QTEST_GUILESS_MAIN(tst_jsonreader)
#include "tst_jsonreader.moc"
