#include "transfer.h"

#include <openssl/evp.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTextCodec>
#include <cstring>

namespace transfer {

namespace {
// Stands for the large value while the rest of a message is laid out by QJsonDocument, so that
// head and tail are exactly what the real document holds around it.
const QString placeholder = QStringLiteral("@value@");

Around around(const QByteArray &message) {
    const QByteArray quoted = '"' + placeholder.toLatin1() + '"';
    const int at = message.indexOf(quoted);
    return {message.left(at + 1), message.mid(at + quoted.size() - 1)};
}
}  // namespace

QByteArray command(const QString &name, const QJsonObject &parameters) {
    return QJsonDocument(QJsonObject{{QStringLiteral("commandType"), name},
                                     {QStringLiteral("data"), QJsonArray{parameters}}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

QByteArray reply(const QString &typeCall, const QJsonObject &result) {
    return QJsonDocument(QJsonObject{{QStringLiteral("typeCall"), typeCall},
                                     {QStringLiteral("data"), QJsonArray{result}}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

Around saveCommand(const QString &filePath) {
    return around(command(QStringLiteral("saveFileContent"),
                          {{QStringLiteral("filePath"), filePath},
                           {QStringLiteral("basePathType"), QStringLiteral("temp")},
                           {QStringLiteral("isBinary"), true},
                           {QStringLiteral("fileDataB64"), placeholder}}));
}

Around readReply() {
    return around(
        reply(QStringLiteral("getFileContent"), {{QStringLiteral("errorCode"), 0},
                                                 {QStringLiteral("errorDescription"), QString()},
                                                 {QStringLiteral("fileData"), placeholder}}));
}

QByteArray keyOf(const char *name) { return QByteArray("\"") + name + "\":\""; }

Split split(const QByteArray &message, const char *key) {
    Split s;
    const QByteArray opening = keyOf(key);
    const int start = message.indexOf(opening);
    const int end = start < 0 ? -1 : message.indexOf('"', start + opening.size());
    if (end < 0) {
        s.rest = QJsonDocument::fromJson(message).object();
        return s;
    }
    const int valueStart = start + opening.size();
    s.found = true;
    s.value = QByteArray::fromRawData(message.constData() + valueStart, end - valueStart);
    s.rest = QJsonDocument::fromJson(message.left(valueStart) + message.mid(end)).object();
    return s;
}

textEncoder::textEncoder() : m_table(table()) {}

const std::array<textEncoder::Char, 256> &textEncoder::table() {
    static const std::array<Char, 256> chars = [] {
        std::array<Char, 256> t{};
        QTextCodec *const windows1252 = QTextCodec::codecForName("Windows-1252");
        for (int b = 0; b < 256; ++b) {
            if (b == '\r') continue;  // text mode drops it
            const QByteArray local =
                windows1252->toUnicode(QByteArray(1, char(b))).toLocal8Bit().left(4);
            std::memcpy(t[b].bytes, local.constData(), size_t(local.size()));
            t[b].size = local.size();
        }
        return t;
    }();
    return chars;
}

QByteArray textEncoder::push(const QByteArray &file) {
    const int kept = m_text.size();
    m_text.resize(kept + file.size() * 4);
    char *out = m_text.data() + kept;
    for (const char c : file) {
        const Char &ch = m_table[uchar(c)];
        std::memcpy(out, ch.bytes, 4);
        out += ch.size;
    }
    const int whole = int(out - m_text.constData()) / 3 * 3;
    const QByteArray base64 = encode(m_text.constData(), whole);
    m_text = m_text.mid(whole, int(out - m_text.constData()) - whole);
    return base64;
}

QByteArray textEncoder::finish() {
    const QByteArray base64 = encode(m_text.constData(), m_text.size());
    m_text.clear();
    return base64;
}

QByteArray encode(const char *bytes, int size) {
    QByteArray base64((size + 2) / 3 * 4 + 1, Qt::Uninitialized);
    base64.truncate(EVP_EncodeBlock(reinterpret_cast<unsigned char *>(base64.data()),
                                    reinterpret_cast<const unsigned char *>(bytes), size));
    return base64;
}

bool decode(const char *base64, int size, QByteArray *bytes) {
    const int kept = bytes->size();
    bytes->resize(kept + size / 4 * 3);
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(bytes->data() + kept),
                                        reinterpret_cast<const unsigned char *>(base64), size);
    if (decoded < 0 || size % 4 != 0) return false;
    // The block form counts padding as bytes.
    const int padding = size == 0 ? 0 : (base64[size - 1] == '=') + (base64[size - 2] == '=');
    bytes->truncate(kept + decoded - padding);
    return true;
}

}  // namespace transfer
