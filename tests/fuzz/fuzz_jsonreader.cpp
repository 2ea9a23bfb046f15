// The message reader beside Qt's JSON documents, which define what a server message means: for
// every object or array, both accept it or both refuse it, and what they read is the same, type
// for type, unless a key repeats. Qt reads the bytes the way the link used to hand them over,
// decoded from Windows-1252 and encoded as UTF-8. Strings become compact from 8 bytes on here,
// so that short inputs take that path too.
//
// Input: the message bytes.
#include <QJsonDocument>
#include <QTextCodec>
#include <QVariantList>
#include <QVariantMap>
#include <cstdint>
#include <cstring>

#include "fuzzsupport.h"
#include "link/jsonreader.h"

namespace {

constexpr int maxDepth = 64;
constexpr int compactFromBytes = 8;

bool sameValue(const QVariant &ours, const QVariant &qts) {
    if (ours.userType() == QMetaType::QByteArray) {  // a compact string
        const QByteArray bytes = ours.toByteArray();
        return qts.userType() == QMetaType::QString &&
               QString::fromLatin1(bytes.constData(), bytes.size()) == qts.toString();
    }
    if (ours.userType() != qts.userType()) return false;
    switch (ours.userType()) {
        case QMetaType::QVariantMap: {
            const QVariantMap a = ours.toMap();
            const QVariantMap b = qts.toMap();
            if (a.keys() != b.keys()) return false;
            for (auto it = a.cbegin(); it != a.cend(); ++it)
                if (!sameValue(it.value(), b.value(it.key()))) return false;
            return true;
        }
        case QMetaType::QVariantList: {
            const QVariantList a = ours.toList();
            const QVariantList b = qts.toList();
            if (a.size() != b.size()) return false;
            for (int i = 0; i < a.size(); ++i)
                if (!sameValue(a.at(i), b.at(i))) return false;
            return true;
        }
        case QMetaType::Double: {
            const double a = ours.toDouble();
            const double b = qts.toDouble();
            return std::memcmp(&a, &b, sizeof a) == 0;
        }
        case QMetaType::Nullptr:
            return true;
        default:
            return ours == qts;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::setUp();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const jsonReader::Result ours = jsonReader::read(bytes, maxDepth, compactFromBytes);
    // Qt takes only objects and arrays and has a depth limit of its own.
    const QByteArray start = bytes.trimmed().left(1);
    if ((start != "{" && start != "[") || ours.error == QLatin1String("too deeply nested"))
        return 0;
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1252");
    QJsonParseError error;
    const QVariant qts =
        QJsonDocument::fromJson(codec->toUnicode(bytes).toUtf8(), &error).toVariant();
    const bool qtAccepts = error.error == QJsonParseError::NoError;
    if (ours.error.isEmpty() != qtAccepts)
        fuzzsupport::fail(qtAccepts ? "the reader refuses what Qt accepts"
                                    : "the reader accepts what Qt refuses");
    // Which of two equal keys Qt keeps depends on how its sort happens to order them.
    if (qtAccepts && ours.repeatedKey.isNull() && !sameValue(ours.value, qts))
        fuzzsupport::fail("the reader reads other values");
    return 0;
}
