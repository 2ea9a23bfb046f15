#include "link/messageframer.h"

#include <QStorageInfo>
#include <cstring>

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

void messageFramer::setSpooling(const QString &directory, qint64 fromBytes, qint64 maxSpooledBytes,
                                qint64 reserveBytes) {
    m_spoolDirectory = directory;
    m_spoolFromBytes = fromBytes;
    m_maxSpooledBytes = maxSpooledBytes;
    m_reserveBytes = reserveBytes;
}

// Spooling never breaks the stream off: a string that cannot be kept is dropped and its command
// answers why, while the rest of the message is read as usual.
void messageFramer::spool(const char *data, qint64 size) {
    m_spooledBytes += size;
    if (m_spool->dropped() == spooledText::Dropped::No) {
        if (m_spooledBytes > m_maxSpooledBytes) {
            m_spool->drop(spooledText::Dropped::TooLarge,
                          QStringLiteral("the long strings of the message pass %1 bytes")
                              .arg(m_maxSpooledBytes));
        } else if (m_spooledBytes >= m_nextSpaceCheck) {
            // The free space is looked at every few MiB: often enough to stop well before the
            // disk is full, seldom enough to cost nothing.
            m_nextSpaceCheck = m_spooledBytes + 8 * 1024 * 1024;
            const qint64 available = QStorageInfo(m_spoolDirectory).bytesAvailable();
            if (available >= 0 && available < m_reserveBytes)
                m_spool->drop(spooledText::Dropped::NoRoom,
                              QStringLiteral("only %1 bytes left free on the disk of %2, below "
                                             "the %3 kept free")
                                  .arg(available)
                                  .arg(m_spoolDirectory)
                                  .arg(m_reserveBytes));
        }
    }
    m_spool->append(data, size);
}

// The open string has grown too long to hold: what it has so far, partly in m_current and
// partly in data[start, end), goes to a new spool.
void messageFramer::startSpool(const char *data, int start, int end) {
    // Once one long string of the message is dropped, so is every later one, without a file:
    // a message of endless long strings costs neither disk nor files.
    const spooledTextPtr last = m_spools.isEmpty() ? nullptr : m_spools.last();
    m_spool = last && last->dropped() != spooledText::Dropped::No
                  ? spooledText::droppedLike(*last)
                  : spooledText::create(m_spoolDirectory);
    const qint64 held = m_current.size();
    if (m_stringStart <= held) {
        spool(m_current.constData() + m_stringStart, held - m_stringStart);
        m_current.truncate(int(m_stringStart));
        spool(data + start, end - start);
        return;
    }
    const int contentStart = start + int(m_stringStart - held);
    m_current.append(data + start, contentStart - start);
    spool(data + contentStart, end - contentStart);
}

void messageFramer::endSpool() {
    m_spool->finish();
    m_current += spoolMark + QByteArray::number(m_spools.size());
    m_spools.append(m_spool);
    m_spool.reset();
}

void messageFramer::reset() {
    m_state = State::Between;
    m_current.clear();
    m_garbage.clear();
    m_garbageCount = 0;
    m_braceDepth = m_nesting = m_maxNestingSeen = 0;
    m_inString = m_escaped = false;
    m_spool.reset();
    m_spools.clear();
    m_spooledBytes = m_nextSpaceCheck = 0;
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
                m_spools.clear();
                m_spooledBytes = m_nextSpaceCheck = 0;
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
        // InMessage: scan to the closing brace, then take the span in one piece; a spooled
        // string's part of it goes to its spool instead.
        int start = i;
        bool complete = false;
        for (; i < size; ++i) {
            const char c = data[i];
            if (m_inString) {
                if (m_escaped) {
                    m_escaped = false;
                } else if (c == '\\') {
                    m_escaped = true;
                } else if (c == '"') {
                    m_inString = false;
                    if (m_spool) {
                        spool(data + start, i - start);
                        endSpool();
                        start = i;  // the closing quote stays in the message
                    }
                } else {
                    // Ordinary characters up to the next quote or backslash are passed in one
                    // step: a file's Base64 is megabytes of them.
                    const auto *quote =
                        static_cast<const char *>(std::memchr(data + i, '"', size - i));
                    const int stop = quote ? int(quote - data) : size;
                    const auto *backslash =
                        static_cast<const char *>(std::memchr(data + i, '\\', stop - i));
                    const int runEnd = backslash ? int(backslash - data) : stop;
                    if (!m_spool && !m_spoolDirectory.isEmpty()) {
                        // Where the string reaches the length that goes to a spool.
                        const qint64 from = qMax<qint64>(
                            i, start + m_stringStart + m_spoolFromBytes - m_current.size());
                        if (from < runEnd) {
                            startSpool(data, start, int(from));
                            start = int(from);
                        }
                    }
                    i = runEnd - 1;
                }
                continue;
            }
            if (c == '"') {
                m_inString = true;
                m_stringStart = m_current.size() + (i + 1 - start);
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
        if (m_spool) {
            spool(data + start, i - start);
            start = i;
        }
        if (m_current.size() + (i - start) > m_maxMessageBytes) {
            out.append({Frame::Overflow, QByteArray("message larger than ") +
                                             QByteArray::number(m_maxMessageBytes) +
                                             QByteArray(" bytes")});
            reset();
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
                out.append({Frame::Json, m_current, m_spools});
            }
            m_current.clear();
            m_spools.clear();
            m_state = State::Between;
        }
    }
    flushGarbage(out);
    return out;
}
