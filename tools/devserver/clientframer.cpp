#include "clientframer.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {
constexpr char kFrameStart = 0x02;
constexpr char kFrameEnd = 0x03;
// Control frames are short names; anything longer is not one.
constexpr int kMaxControlBytes = 32;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

ClientFramer::ClientFramer(int maxObjectBytes) : m_maxObjectBytes(maxObjectBytes) {}

QVector<ClientFramer::Frame> ClientFramer::feed(const QByteArray &data) {
    QVector<Frame> frames;
    for (char c : data) consume(c, frames);
    flushGarbage(frames);
    return frames;
}

void ClientFramer::consume(char c, QVector<Frame> &frames) {
    switch (m_state) {
        case Outside:
            if (c == '{') {
                flushGarbage(frames);
                m_token = QByteArray(1, c);
                m_depth = 1;
                m_state = InObject;
            } else if (c == kFrameStart) {
                flushGarbage(frames);
                m_token.clear();
                m_state = InControl;
            } else if (c == '\n') {
                flushGarbage(frames);
            } else if (!isSpace(c) || !m_garbage.isEmpty()) {
                m_garbage.append(c);
            }
            return;
        case InControl:
            if (c == kFrameEnd) {
                frames.append({Frame::Control, m_token, {}});
                m_state = Outside;
            } else if (c < 0x20 || c > 0x7e || m_token.size() >= kMaxControlBytes) {
                m_garbage = kFrameStart + m_token;
                m_state = Outside;
                consume(c, frames);
            } else {
                m_token.append(c);
            }
            return;
        case InObject:
            m_token.append(c);
            if (c == '"') {
                m_state = InString;
            } else if (c == '{') {
                ++m_depth;
            } else if (c == '}' && --m_depth == 0) {
                finishObject(frames);
                return;
            }
            break;
        case InString:
            m_token.append(c);
            if (c == '\\') {
                m_state = InEscape;
            } else if (c == '"') {
                m_state = InObject;
            }
            break;
        case InEscape:
            m_token.append(c);
            m_state = InString;
            break;
    }
    if (m_token.size() > m_maxObjectBytes) {
        frames.append({Frame::Garbage, m_token, {}});
        m_token.clear();
        m_state = Outside;
    }
}

void ClientFramer::flushGarbage(QVector<Frame> &frames) {
    const QByteArray text = m_garbage.trimmed();
    m_garbage.clear();
    if (!text.isEmpty()) frames.append({Frame::Garbage, text, {}});
}

void ClientFramer::finishObject(QVector<Frame> &frames) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(m_token, &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        frames.append({Frame::Json, m_token, document.object()});
    } else {
        frames.append({Frame::Garbage, m_token, {}});
    }
    m_token.clear();
    m_state = Outside;
}
