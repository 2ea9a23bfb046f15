#include "core/encoding.h"

#include <QTextCodec>

namespace {
QTextCodec *codec1252() {
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1252");
    return codec;
}
}  // namespace

QString windows1252::decode(const QByteArray &bytes) { return codec1252()->toUnicode(bytes); }

QByteArray windows1252::encode(const QString &text) { return codec1252()->fromUnicode(text); }

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
