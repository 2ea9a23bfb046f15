#include "pos/posreplyparser.h"

#include <QStringList>

#include "core/encoding.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

posReplyParser::posReplyParser(int okResultCode, bool waitForEnd, bool waitForEndAtPart2,
                               const QByteArray &endTagForPart2)
    : m_okResultCode(okResultCode),
      m_waitForEnd(waitForEnd),
      m_waitForEndAtPart2(waitForEndAtPart2),
      m_endMarker(endTagForPart2.isEmpty() ? QByteArray("//END\n") : endTagForPart2) {}

posReplyParser::State posReplyParser::addChunk(const QByteArray &chunk) {
    if (m_state != State::Incomplete) return m_state;
    if (chunk.isEmpty()) return m_state = m_buffer.isEmpty() ? State::Complete : State::Truncated;
    if (qint64(m_buffer.size()) + chunk.size() > maxReplyBytes) {
        m_buffer.clear();
        return m_state = State::Overflow;
    }
    m_buffer += chunk;
    if (m_buffer.size() < 3) return m_state;
    // The marker is looked for at the end of the whole reply: TCP may split it across chunks.
    if (endsWithMarker() ? m_buffer.endsWith(m_endMarker) : m_buffer.endsWith('\n'))
        m_state = State::Complete;
    return m_state;
}

bool posReplyParser::endsWithMarker() const {
    return (m_waitForEnd || m_waitForEndAtPart2) && (m_waitForEndAtPart2 || codeIsExpected());
}

QString posReplyParser::missingEnd() const {
    if (endsWithMarker()) return QStringLiteral("no end marker \"%1\"").arg(preview(m_endMarker));
    return QStringLiteral("no final line end");
}

bool posReplyParser::codeIsExpected() const {
    return m_buffer.size() >= 3 && isDigit(m_buffer[0]) && isDigit(m_buffer[1]) &&
           isDigit(m_buffer[2]) && m_buffer.left(3).toInt() == m_okResultCode;
}

bool posReplyParser::startsWithCode(const QByteArray &bytes) {
    if (bytes.size() < 3 || !isDigit(bytes[0]) || !isDigit(bytes[1]) || !isDigit(bytes[2]))
        return false;
    return bytes.size() == 3 || bytes[3] == ' ' || bytes[3] == '\n' || bytes[3] == '\r';
}

posReply posReplyParser::parse(const QByteArray &bytes) {
    posReply reply;
    reply.text = decode(bytes);
    const QString firstPart = reply.text.section(QLatin1Char('\t'), 0, 0);
    reply.firstLine = firstPart.section(QLatin1Char('\n'), 0, 0);
    reply.code = reply.firstLine.section(QLatin1Char(' '), 0, 0).toInt();
    reply.afterFirstLine = reply.text.mid(reply.firstLine.size() + 1);
    return reply;
}

posGreeting posReplyParser::parseGreeting(const QString &line) {
    posGreeting greeting;
    greeting.welcome = line.startsWith(QLatin1String("100 Welcome"));
    if (!greeting.welcome) return greeting;
    const QStringList fields = line.split(QLatin1Char('#'));
    if (fields.size() < 2) return greeting;
    greeting.ready = true;
    greeting.version = fields.at(1).trimmed();
    greeting.versionInt = QString(QLatin1Char('1') + greeting.version).toInt();
    return greeting;
}

QString posReplyParser::greetingLine(const QString &read) {
    const int end = read.indexOf(QLatin1Char('\n'));
    return quoted(end < 0 ? read : read.left(end + 1));
}

QString posReplyParser::decode(const QByteArray &bytes) { return windows1252::decode(bytes); }

QByteArray posReplyParser::encode(const QString &text) { return windows1252::encode(text); }

QString posReplyParser::preview(const QByteArray &bytes) {
    constexpr int shown = 80;
    QString out;
    for (const char c : bytes.left(shown)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n')
            out += QLatin1String("\\n");
        else if (c == '\\')
            out += QLatin1String("\\\\");
        else if (u >= 0x20 && u < 0x7f)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    if (bytes.size() > shown) out += QStringLiteral("... (%1 bytes)").arg(bytes.size());
    return out;
}
