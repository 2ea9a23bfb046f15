#include "link/messageframer.h"

namespace {
constexpr char STX = 0x02;
constexpr char ETX = 0x03;
// Longest control frame on the wire is "_KAS_"; anything much longer is not a frame.
constexpr int maxControlBytes = 32;
constexpr int garbagePreviewBytes = 64;

bool isJsonWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

messageFramer::messageFramer(qint64 maxMessageBytes, int maxDepth)
    : m_maxMessageBytes(maxMessageBytes), m_maxDepth(maxDepth) {}

void messageFramer::reset() {
    m_state = State::Between;
    m_current.clear();
    m_garbage.clear();
    m_garbageCount = 0;
    m_braceDepth = m_nesting = m_maxNestingSeen = 0;
    m_inString = m_escaped = false;
}

void messageFramer::flushGarbage(QVector<Frame> &out) {
    if (m_garbageCount == 0) return;
    out.append({Frame::Discarded, QByteArray("stray bytes (") + QByteArray::number(m_garbageCount) +
                                      QByteArray("): ") + m_garbage});
    m_garbage.clear();
    m_garbageCount = 0;
}

QVector<messageFramer::Frame> messageFramer::append(const QByteArray &bytes) {
    QVector<Frame> out;
    const char *data = bytes.constData();
    const int size = bytes.size();
    int i = 0;
    while (i < size && m_state != State::Broken) {
        if (m_state == State::Between) {
            const char c = data[i];
            if (c == '{') {
                flushGarbage(out);
                m_state = State::InMessage;
                m_braceDepth = m_nesting = m_maxNestingSeen = 0;
                m_inString = m_escaped = false;
                continue;  // the brace is consumed by the message scan below
            }
            if (c == STX) {
                flushGarbage(out);
                m_state = State::InControl;
                m_current.clear();
                ++i;
                continue;
            }
            if (!isJsonWhiteSpace(c)) {
                if (m_garbage.size() < garbagePreviewBytes) m_garbage.append(c);
                ++m_garbageCount;
            }
            ++i;
            continue;
        }
        if (m_state == State::InControl) {
            const char c = data[i++];
            if (c == ETX) {
                out.append({Frame::Control, m_current});
                m_current.clear();
                m_state = State::Between;
            } else if (m_current.size() >= maxControlBytes) {
                m_garbage = QByteArray(1, STX) + m_current.left(garbagePreviewBytes - 1);
                m_garbageCount = m_current.size() + 2;
                m_current.clear();
                m_state = State::Between;
            } else {
                m_current.append(c);
            }
            continue;
        }
        // InMessage: scan to the closing brace, then take the span in one piece.
        const int start = i;
        bool complete = false;
        for (; i < size; ++i) {
            const char c = data[i];
            if (m_inString) {
                if (m_escaped)
                    m_escaped = false;
                else if (c == '\\')
                    m_escaped = true;
                else if (c == '"')
                    m_inString = false;
                continue;
            }
            if (c == '"') {
                m_inString = true;
            } else if (c == '{' || c == '[') {
                ++m_nesting;
                if (m_nesting > m_maxNestingSeen) m_maxNestingSeen = m_nesting;
                if (c == '{') ++m_braceDepth;
            } else if (c == '}' || c == ']') {
                if (m_nesting > 0) --m_nesting;
                if (c == '}' && --m_braceDepth == 0) {
                    ++i;
                    complete = true;
                    break;
                }
            }
        }
        if (m_current.size() + (i - start) > m_maxMessageBytes) {
            out.append({Frame::Overflow, QByteArray("message larger than ") +
                                             QByteArray::number(m_maxMessageBytes) +
                                             QByteArray(" bytes")});
            m_current.clear();
            m_state = State::Broken;
            break;
        }
        // A message that starts a chunk shares the chunk's bytes instead of copying them.
        if (m_current.isEmpty())
            m_current = bytes.mid(start, i - start);
        else
            m_current.append(data + start, i - start);
        if (complete) {
            if (m_maxNestingSeen > m_maxDepth) {
                out.append({Frame::Discarded, QByteArray("message nested deeper than ") +
                                                  QByteArray::number(m_maxDepth) +
                                                  QByteArray(" levels")});
            } else {
                out.append({Frame::Json, m_current});
            }
            m_current.clear();
            m_state = State::Between;
        }
    }
    flushGarbage(out);
    return out;
}
