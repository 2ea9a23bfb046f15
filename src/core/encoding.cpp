#include "core/encoding.h"

#include <QTextCodec>
#include <array>
#include <cstring>

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
    // At most three bytes a character, written in place and cut to size once. Each character
    // copies all four bytes of its entry, without a branch on its size; the last may write one
    // byte of slack beyond its own.
    QByteArray out(bytes.size() * 3 + 1, Qt::Uninitialized);
    char *to = out.data();
    for (const char c : bytes) {
        const Utf8 &u = table[uchar(c)];
        std::memcpy(to, u.bytes, sizeof u.bytes);
        to += u.size;
    }
    out.truncate(int(to - out.constData()));
    return out;
}

QString utf8UpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

namespace {
const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's six bits, or 0xff outside the alphabet: the test of a whole group is then
// one OR of four lookups.
const std::array<quint8, 256> &sextets() {
    static const std::array<quint8, 256> table = [] {
        std::array<quint8, 256> t{};
        t.fill(0xff);
        for (quint8 i = 0; i < 64; ++i) t[uchar(alphabet[i])] = i;
        return t;
    }();
    return table;
}

// Whole groups of four characters into `to`; false at the first character outside the alphabet.
bool decodeGroups(const char *text, int size, char *to) {
    const std::array<quint8, 256> &s = sextets();
    const uchar *from = reinterpret_cast<const uchar *>(text);
    for (int i = 0; i < size; i += 4, from += 4, to += 3) {
        const quint32 a = s[from[0]], b = s[from[1]], c = s[from[2]], d = s[from[3]];
        if ((a | b | c | d) & 0x80) return false;
        const quint32 bits = a << 18 | b << 12 | c << 6 | d;
        to[0] = char(bits >> 16);
        to[1] = char(bits >> 8);
        to[2] = char(bits);
    }
    return true;
}
}  // namespace

bool base64::strictGroups(const char *text, int size, QByteArray *out) {
    const int kept = out->size();
    out->resize(kept + size / 4 * 3);
    if (decodeGroups(text, size, out->data() + kept)) return true;
    out->truncate(kept);
    return false;
}

bool base64::strict(const char *text, int size, QByteArray *out) {
    // Padding: one or two '=' at the end of a text whose length is a multiple of four.
    if (size % 4 == 0 && size > 0 && text[size - 1] == '=') size -= text[size - 2] == '=' ? 2 : 1;
    // Everything before the last group, in whole groups; the last, perhaps short, bit by bit.
    const int whole = size == 0 ? 0 : (size - 1) / 4 * 4;
    const int kept = out->size();
    if (!strictGroups(text, whole, out)) return false;
    const std::array<quint8, 256> &s = sextets();
    quint32 bits = 0;
    int count = 0;
    for (int i = whole; i < size; ++i) {
        const quint8 sextet = s[uchar(text[i])];
        if (sextet & 0x80) {
            out->truncate(kept);
            return false;
        }
        bits = bits << 6 | sextet;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->append(char(bits >> count));
        }
    }
    return true;
}

QByteArray base64::strict(const QByteArray &text) {
    QByteArray out;
    return strict(text.constData(), text.size(), &out) ? out : QByteArray();
}

QByteArray base64::lenient(const QByteArray &text) { return QByteArray::fromBase64(text); }

QString base64::lenientText(const QString &text) {
    return utf8UpToNul(lenient(text.toLocal8Bit()));
}

QString base64::encodeText(const QString &text) {
    return QString::fromLatin1(encode(text.toLocal8Bit()));
}

QByteArray base64::encode(const QByteArray &bytes) {
    const int size = bytes.size();
    QByteArray out((size + 2) / 3 * 4, Qt::Uninitialized);
    const uchar *from = reinterpret_cast<const uchar *>(bytes.constData());
    char *to = out.data();
    int i = 0;
    for (; i + 3 <= size; i += 3, to += 4) {
        const quint32 bits = quint32(from[i]) << 16 | quint32(from[i + 1]) << 8 | from[i + 2];
        to[0] = alphabet[bits >> 18];
        to[1] = alphabet[bits >> 12 & 63];
        to[2] = alphabet[bits >> 6 & 63];
        to[3] = alphabet[bits & 63];
    }
    if (i < size) {
        const quint32 bits =
            quint32(from[i]) << 16 | (i + 1 < size ? quint32(from[i + 1]) << 8 : 0);
        to[0] = alphabet[bits >> 18];
        to[1] = alphabet[bits >> 12 & 63];
        to[2] = i + 1 < size ? alphabet[bits >> 6 & 63] : '=';
        to[3] = '=';
    }
    return out;
}
