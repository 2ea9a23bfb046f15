#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include "core/spooledtext.h"

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
        // The long strings of a Json message, kept on disk: in `bytes` the string at index N
        // reads as spoolMark + N (see setSpooling).
        QVector<spooledTextPtr> spools = {};
    };

    // What stands in a message for a string that went to a spool, followed by its index.
    static constexpr char spoolMark[] = "\\u0000spool:";

    // The server pushes whole files inside one message (Base64, so 4/3 of the file size);
    // 256 MiB carries files of about 190 MiB, more than any POS data file.
    static constexpr qint64 defaultMaxMessageBytes = 256 * 1024 * 1024;
    // Server messages are shallow; anything deeper is refused before the JSON parser sees it.
    static constexpr int defaultMaxDepth = 64;

    explicit messageFramer(qint64 maxMessageBytes = defaultMaxMessageBytes,
                           int maxDepth = defaultMaxDepth);

    // From now on a string that grows beyond `fromBytes` goes on to a spool file in
    // `directory` instead of into memory: a message then takes memory for its short values
    // only, and the bound on its size counts those. The spools of one message may hold at
    // most `maxSpooledBytes`, and the disk keeps `reserveBytes` free: a string beyond either
    // is dropped (spooledText::drop), and the message still comes out.
    void setSpooling(const QString &directory, qint64 fromBytes, qint64 maxSpooledBytes,
                     qint64 reserveBytes);

    QVector<Frame> append(const QByteArray &bytes);
    void reset();

  private:
    enum class State { Between, InControl, InMessage, Broken };

    void flushGarbage(QVector<Frame> &out);
    void spool(const char *data, qint64 size);
    void startSpool(const char *data, int start, int end);
    void endSpool();

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

    QString m_spoolDirectory;  // empty: no spooling
    qint64 m_spoolFromBytes = 0;
    qint64 m_maxSpooledBytes = 0;
    qint64 m_reserveBytes = 0;
    // Where the content of the open string starts, counted in m_current as if everything of
    // the message so far that is not spooled were there.
    qint64 m_stringStart = 0;
    spooledTextPtr m_spool;  // the open string's, while it is spooled
    QVector<spooledTextPtr> m_spools;
    qint64 m_spooledBytes = 0;
    qint64 m_nextSpaceCheck = 0;
};
