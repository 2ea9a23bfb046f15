#include "core/encoding.h"

#include <QTextCodec>
#include <array>

namespace {
QTextCodec *codec1252() {
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1252");
    return codec;
}
}  // namespace

QString windows1252::decode(const QByteArray &bytes) { return codec1252()->toUnicode(bytes); }

QByteArray windows1252::encode(const QString &text) { return codec1252()->fromUnicode(text); }

QByteArray windows1252::toLocal8Bit(const QByteArray &bytes) {
    static const bool localIsUtf8 = QTextCodec::codecForLocale()->mibEnum() == 106;
    if (!localIsUtf8) return decode(bytes).toLocal8Bit();
    // Each byte's UTF-8 form, taken from the codec itself once, so that both ways agree.
    struct Utf8 {
        char bytes[4];
        int size;
    };
    static const std::array<Utf8, 256> table = [] {
        std::array<Utf8, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const QByteArray utf8 = decode(QByteArray(1, char(b))).toUtf8();
            t[size_t(b)].size = utf8.size();
            std::copy(utf8.cbegin(), utf8.cend(), t[size_t(b)].bytes);
        }
        return t;
    }();
    // At most three bytes a character, written in place and cut to size once.
    QByteArray out(bytes.size() * 3, Qt::Uninitialized);
    char *to = out.data();
    for (const char c : bytes) {
        const Utf8 &u = table[uchar(c)];
        for (int i = 0; i < u.size; ++i) *to++ = u.bytes[i];
    }
    out.truncate(int(to - out.constData()));
    return out;
}

QString utf8UpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QByteArray base64::strict(const QByteArray &text) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

QByteArray base64::lenient(const QByteArray &text) { return QByteArray::fromBase64(text); }

QString base64::lenientText(const QString &text) {
    return utf8UpToNul(lenient(text.toLocal8Bit()));
}

QString base64::encodeText(const QString &text) {
    return QString::fromLatin1(text.toLocal8Bit().toBase64());
}
