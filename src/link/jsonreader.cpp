#include "link/jsonreader.h"

#include <QVariantList>
#include <QVariantMap>
#include <array>
#include <cmath>

#include "core/encoding.h"

namespace {

// Windows-1252 maps every byte to exactly one character, so a table decodes it byte by byte.
const std::array<QChar, 256> &windows1252Chars() {
    static const std::array<QChar, 256> table = [] {
        std::array<QChar, 256> t{};
        for (int b = 0; b < 256; ++b) t[b] = windows1252::decode(QByteArray(1, char(b))).at(0);
        return t;
    }();
    return table;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A whole double within the range of qint64, as Qt's JSON values keep it.
bool wholeInt64(double d, qint64 *out) {
    constexpr double twoTo63 = 9223372036854775808.0;
    if (!(d >= -twoTo63 && d < twoTo63) || std::trunc(d) != d) return false;
    *out = qint64(d);
    return true;
}

class Parser {
  public:
    Parser(const QByteArray &json, int maxDepth, int compactFromBytes, jsonReader::Budget budget)
        : m_data(json.constData()),
          m_size(json.size()),
          m_maxDepth(maxDepth),
          m_compactFromBytes(compactFromBytes),
          m_budget(budget) {}

    void setSpools(const QVector<spooledTextPtr> &spools) { m_spools = spools; }

    jsonReader::Result run() {
        jsonReader::Result result;
        skipSpace();
        QVariant value;
        if (parseValue(value, 0)) {
            skipSpace();
            if (m_at != m_size) fail("garbage at the end of the document");
        }
        if (m_error) {
            result.error = QString::fromLatin1(m_error);
            result.offset = m_at;
            return result;
        }
        result.value = std::move(value);
        result.repeatedKey = m_repeatedKey;
        return result;
    }

  private:
    bool fail(const char *what) {
        if (!m_error) m_error = what;
        return false;
    }

    // Called before a value or a key is made, so that memory is never spent beyond the budget.
    bool spendValue() {
        if (++m_values > m_budget.values) return fail("too many values in one message");
        return true;
    }

    bool spendText(qint64 bytes) {
        m_textBytes += bytes;
        if (m_textBytes > m_budget.textBytes) return fail("too much text in one message");
        return true;
    }

    bool atEnd() const { return m_at >= m_size; }
    char peek() const { return m_data[m_at]; }

    void skipSpace() {
        while (!atEnd()) {
            const char c = peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++m_at;
        }
    }

    bool parseValue(QVariant &out, int depth) {
        if (atEnd()) return fail("illegal value");
        if (!spendValue()) return false;
        switch (peek()) {
            case '{':
                return parseObject(out, depth + 1);
            case '[':
                return parseArray(out, depth + 1);
            case '"':
                if (!parseString(out, true)) return false;
                takeSpool(out);
                return true;
            case 't':
                return parseLiteral("true", QVariant(true), out);
            case 'f':
                return parseLiteral("false", QVariant(false), out);
            case 'n':
                return parseLiteral("null", QVariant::fromValue(nullptr), out);
            default:
                return parseNumber(out);
        }
    }

    // A string the framer kept on disk stands in the message as its mark and index.
    // (messageFramer::spoolMark, read as JSON.)
    void takeSpool(QVariant &out) const {
        if (m_spools.isEmpty() || out.userType() != QMetaType::QString) return;
        static const QString mark = QChar(0) + QStringLiteral("spool:");
        const QString text = out.toString();
        if (!text.startsWith(mark)) return;
        bool ok = false;
        const int index = text.midRef(mark.size()).toInt(&ok);
        if (ok && index >= 0 && index < m_spools.size())
            out = QVariant::fromValue(m_spools.at(index));
    }

    bool parseLiteral(const char *word, QVariant value, QVariant &out) {
        for (const char *c = word; *c; ++c, ++m_at)
            if (atEnd() || peek() != *c) return fail("illegal value");
        out = std::move(value);
        return true;
    }

    // The members of an object or the elements of an array, from the opening bracket past the
    // closing one; `item` reads one of them.
    template <typename Item>
    bool parseItems(char close, const char *unterminated, int depth, Item item) {
        if (depth > m_maxDepth) return fail("too deeply nested");
        ++m_at;  // the opening bracket
        skipSpace();
        if (!atEnd() && peek() == close) {
            ++m_at;
            return true;
        }
        for (;;) {
            if (!item()) return false;
            skipSpace();
            if (atEnd()) return fail(unterminated);
            if (peek() == close) {
                ++m_at;
                return true;
            }
            if (peek() != ',') return fail("missing value separator");
            ++m_at;
            skipSpace();
        }
    }

    bool parseObject(QVariant &out, int depth) {
        QVariantMap map;
        const bool ok = parseItems('}', "unterminated object", depth, [&] {
            if (atEnd() || peek() != '"') return fail("a key must be a string");
            if (!spendValue()) return false;
            QVariant key;
            if (!parseString(key, false)) return false;
            skipSpace();
            if (atEnd() || peek() != ':') return fail("missing name separator");
            ++m_at;
            skipSpace();
            QVariant value;
            if (!parseValue(value, depth)) return false;
            const QString name = key.toString();
            if (m_repeatedKey.isNull() && map.contains(name)) m_repeatedKey = name;
            map.insert(name, std::move(value));
            return true;
        });
        if (ok) out = map;
        return ok;
    }

    bool parseArray(QVariant &out, int depth) {
        QVariantList list;
        const bool ok = parseItems(']', "unterminated array", depth, [&] {
            QVariant value;
            if (!parseValue(value, depth)) return false;
            list.append(std::move(value));
            return true;
        });
        if (ok) out = list;
        return ok;
    }

    // Control characters are taken as they are and an unknown escape stands for its character,
    // as Qt reads them; only an escaped non-ASCII byte is refused.
    bool parseString(QVariant &out, bool mayStayCompact) {
        const int start = ++m_at;  // after '"'
        bool plainAscii = true;
        int end = start;
        while (end < m_size && m_data[end] != '"') {
            if (m_data[end] == '\\') {
                plainAscii = false;
                end += 2;
                continue;
            }
            if (uchar(m_data[end]) >= 0x80) plainAscii = false;
            ++end;
        }
        if (end >= m_size) {
            m_at = m_size;
            return fail("unterminated string");
        }
        const int length = end - start;
        const bool compact = plainAscii && mayStayCompact && length >= m_compactFromBytes;
        // With escapes, the reservation below is what the string keeps.
        if (!spendText(compact ? length : 2 * qint64(length))) return false;
        if (plainAscii) {
            if (compact)
                out = QByteArray(m_data + start, length);
            else
                out = QString::fromLatin1(m_data + start, length);
            m_at = end + 1;
            return true;
        }
        QString text;
        text.reserve(length);
        const std::array<QChar, 256> &decode = windows1252Chars();
        while (m_at < end) {
            const char c = m_data[m_at];
            if (c != '\\') {
                text.append(decode[uchar(c)]);
                ++m_at;
                continue;
            }
            if (!appendEscape(text)) return false;
        }
        m_at = end + 1;
        out = text;
        return true;
    }

    // m_at is on the backslash; the string's closing quote is known to follow.
    bool appendEscape(QString &text) {
        const char c = m_data[++m_at];
        ++m_at;
        switch (c) {
            case 'b':
                text.append(QChar(0x08));
                return true;
            case 'f':
                text.append(QChar(0x0c));
                return true;
            case 'n':
                text.append(QChar(0x0a));
                return true;
            case 'r':
                text.append(QChar(0x0d));
                return true;
            case 't':
                text.append(QChar(0x09));
                return true;
            case 'u':
                break;
            default:
                if (uchar(c) >= 0x80) {
                    --m_at;
                    return fail("invalid escape sequence");
                }
                text.append(QLatin1Char(c));
                return true;
        }
        // UTF-16 code units as they come: a pair makes one character, a lone half stays as it is.
        int unit = 0;
        if (!hexUnit(&unit)) return false;
        text.append(QChar(ushort(unit)));
        return true;
    }

    bool hexUnit(int *unit) {
        *unit = 0;
        for (int i = 0; i < 4; ++i, ++m_at) {
            const int digit = m_at < m_size ? hexValue(m_data[m_at]) : -1;
            if (digit < 0) return fail("invalid escape sequence");
            *unit = *unit * 16 + digit;
        }
        return true;
    }

    // The forms Qt accepts: an optional minus, then digits with at most one leading zero, an
    // optional fraction (".5" and "1." included), an optional exponent with digits.
    bool parseNumber(QVariant &out) {
        const int start = m_at;
        if (!atEnd() && peek() == '-') ++m_at;
        bool digits = false;
        if (!atEnd() && peek() == '0') {
            ++m_at;
            digits = true;
        } else {
            while (!atEnd() && isDigit(peek())) {
                ++m_at;
                digits = true;
            }
        }
        bool whole = true;
        if (!atEnd() && peek() == '.') {
            whole = false;
            ++m_at;
            while (!atEnd() && isDigit(peek())) {
                ++m_at;
                digits = true;
            }
        }
        if (!digits) return fail("illegal number");
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            whole = false;
            ++m_at;
            if (!atEnd() && (peek() == '+' || peek() == '-')) ++m_at;
            if (atEnd() || !isDigit(peek())) return fail("illegal number");
            while (!atEnd() && isDigit(peek())) ++m_at;
        }
        const QByteArray literal = QByteArray::fromRawData(m_data + start, m_at - start);
        bool ok = false;
        if (whole) {
            const qlonglong n = literal.toLongLong(&ok);
            if (ok) {
                out = n;
                return true;
            }
        }
        const double d = literal.toDouble(&ok);
        if (!ok || !std::isfinite(d)) return fail("illegal number");
        qint64 n = 0;
        out = wholeInt64(d, &n) ? QVariant(qlonglong(n)) : QVariant(d);
        return true;
    }

    const char *m_data;
    const int m_size;
    const int m_maxDepth;
    const int m_compactFromBytes;
    const jsonReader::Budget m_budget;
    QVector<spooledTextPtr> m_spools;
    qint64 m_values = 0;
    qint64 m_textBytes = 0;
    int m_at = 0;
    const char *m_error = nullptr;
    QString m_repeatedKey;
};

}  // namespace

jsonReader::Result jsonReader::read(const QByteArray &json, int maxDepth, int compactFromBytes,
                                    Budget budget, const QVector<spooledTextPtr> &spools) {
    Parser parser(json, maxDepth, compactFromBytes, budget);
    parser.setSpools(spools);
    return parser.run();
}
