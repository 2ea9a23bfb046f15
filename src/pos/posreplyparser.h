#pragma once

#include <QByteArray>
#include <QString>

// The daemon's first line once a connection stands.
struct posGreeting {
    bool welcome = false;  // starts with "100 Welcome"
    bool ready = false;    // ... and carries a version field after "#"
    QString version;       // trimmed
    int versionInt = 0;    // "1" followed by the version, e.g. 523 -> 1523; 0 if not a number
};

// The parts of a complete reply.
struct posReply {
    int code = 0;            // first word of the first line; 0 if not a number
    QString firstLine;       // without its line end
    QString afterFirstLine;  // everything after the first line end
    QString text;            // the whole reply
};

// Decides when a reply of the POS daemon is complete and splits it into its parts. It sees
// bytes only, never a socket, so it can be tested and fuzzed on plain buffers.
class posReplyParser {
  public:
    // A daemon that never ends its reply must not grow the buffer without limit; no real
    // reply comes near this.
    static constexpr int maxReplyBytes = 16 * 1024 * 1024;
    // Truncated: the daemon fell silent or closed in the middle of a reply. What came is kept,
    // but it is not a reply: a cut list must never pass for the whole list.
    enum class State { Incomplete, Complete, Truncated, Overflow };

    // okResultCode: the expected code. waitForEnd: a reply with that code ends with the end
    // marker; waitForEndAtPart2: any reply ends with it. endTagForPart2: the end marker,
    // "//END\n" when empty.
    posReplyParser(int okResultCode, bool waitForEnd, bool waitForEndAtPart2,
                   const QByteArray &endTagForPart2);

    // Adds one chunk as read. An empty chunk (nothing came in time, or the daemon closed) ends
    // the reply: an empty one is complete (no reply at all), a started one is truncated.
    State addChunk(const QByteArray &chunk);
    State state() const { return m_state; }
    // What was collected; emptied by an overflow.
    const QByteArray &buffer() const { return m_buffer; }
    // What a reply that is not complete yet still lacks, for the error the server gets.
    QString missingEnd() const;

    // True when the bytes start with three digits followed by a blank, a line end or nothing.
    static bool startsWithCode(const QByteArray &bytes);
    static posReply parse(const QByteArray &bytes);
    static posGreeting parseGreeting(const QString &line);
    // The daemon speaks Windows-1252.
    static QString decode(const QByteArray &bytes);
    static QByteArray encode(const QString &text);
    // A short, printable rendering of raw bytes for a log line.
    static QString preview(const QByteArray &bytes);
    // Daemon text that a reply to the server quotes rather than carries (the greeting, the
    // description of an error) is cut to this: enough to see what the daemon said, never the
    // megabytes a broken or hostile daemon may send.
    static constexpr int maxQuotedChars = 1000;
    static QString quoted(const QString &text) { return text.left(maxQuotedChars); }
    // The greeting as the session keeps it: the first line read, with its line end, quoted.
    static QString greetingLine(const QString &read);

  private:
    bool codeIsExpected() const;
    bool endsWithMarker() const;

    const int m_okResultCode;
    const bool m_waitForEnd;
    const bool m_waitForEndAtPart2;
    const QByteArray m_endMarker;
    QByteArray m_buffer;
    State m_state = State::Incomplete;
};
