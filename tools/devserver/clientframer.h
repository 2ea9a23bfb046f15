#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QVector>

// Cuts what the client sends into JSON objects, control frames (0x02 NAME 0x03) and garbage.
// Objects are found by brace depth outside strings, so neither line feeds nor segment
// boundaries need to line up with messages.
class ClientFramer {
  public:
    struct Frame {
        enum Kind { Json, Control, Garbage };
        Kind kind;
        QByteArray bytes;    // the object's text, the control frame's name, or the garbage
        QJsonObject object;  // set for Json
    };

    explicit ClientFramer(int maxObjectBytes = 64 * 1024 * 1024);

    // Garbage is reported at each line feed, before each frame and at the end of every chunk,
    // so that nothing the client sent stays unreported while it waits.
    QVector<Frame> feed(const QByteArray &data);

  private:
    enum State { Outside, InObject, InString, InEscape, InControl };

    void consume(char c, QVector<Frame> &frames);
    void flushGarbage(QVector<Frame> &frames);
    void finishObject(QVector<Frame> &frames);

    const int m_maxObjectBytes;
    State m_state = Outside;
    int m_depth = 0;
    QByteArray m_token;
    QByteArray m_garbage;
};
