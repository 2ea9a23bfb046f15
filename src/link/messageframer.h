#pragma once

#include <QByteArray>
#include <QVector>

// Cuts the byte stream from the management server into messages. There is no length prefix:
// a JSON object ends where its outermost brace closes (braces inside strings do not count),
// and control frames are 0x02 ... 0x03 between messages. Every complete message comes out
// exactly once and in order, however the bytes were split or glued on the way.
class messageFramer {
  public:
    struct Frame {
        enum Kind {
            Json,       // one complete JSON object, as received
            Control,    // the text between 0x02 and 0x03
            Discarded,  // bytes that were dropped; `bytes` says why
            Overflow    // a message outgrew the bound; the stream cannot be trusted any more
        };
        Kind kind;
        QByteArray bytes;
    };

    // The server pushes whole files inside one message (Base64, so 4/3 of the file size);
    // 256 MiB carries files of about 190 MiB, more than any POS data file.
    static constexpr qint64 defaultMaxMessageBytes = 256 * 1024 * 1024;
    // Server messages are shallow; anything deeper is refused before the JSON parser sees it.
    static constexpr int defaultMaxDepth = 64;

    explicit messageFramer(qint64 maxMessageBytes = defaultMaxMessageBytes,
                           int maxDepth = defaultMaxDepth);

    QVector<Frame> append(const QByteArray &bytes);
    void reset();

  private:
    enum class State { Between, InControl, InMessage, Broken };

    void flushGarbage(QVector<Frame> &out);

    const qint64 m_maxMessageBytes;
    const int m_maxDepth;
    State m_state = State::Between;
    QByteArray m_current;  // the message or control frame being collected
    QByteArray m_garbage;  // start of a run of stray bytes, for the log
    qint64 m_garbageCount = 0;
    int m_braceDepth = 0;
    int m_nesting = 0;
    int m_maxNestingSeen = 0;
    bool m_inString = false;
    bool m_escaped = false;
};
