// The byte stream from the management server: the framer, then what the link does with every
// complete JSON frame (the message reader, the checks of the message's shape, the dispatch).
// Command names are replaced by one that no handler has, so no input can make the fuzzer run a
// real command (kill a process, write a file).
//
// Input: one byte giving the chunk size (0: all at once), then the stream.
#include <QVariantMap>
#include <cstdint>

#include "commands/utilsmodel.h"
#include "fuzzsupport.h"
#include "link/commanddispatcher.h"
#include "link/jsonreader.h"
#include "link/messageframer.h"

namespace {

using Frame = messageFramer::Frame;

// Small bounds, so that short inputs reach the overflow and depth checks.
constexpr qint64 maxMessageBytes = 2048;
constexpr int maxDepth = 8;

QVector<Frame> frameInChunks(const QByteArray &stream, int chunkSize) {
    messageFramer framer(maxMessageBytes, maxDepth);
    QVector<Frame> frames;
    for (int at = 0; at < stream.size(); at += chunkSize)
        frames += framer.append(stream.mid(at, chunkSize));
    return frames;
}

// What must not depend on how the stream was cut: the messages, the control frames, the
// overflow. Discarded runs of stray bytes are reported per chunk and may differ.
QVector<Frame> essential(const QVector<Frame> &frames) {
    QVector<Frame> kept;
    for (const Frame &frame : frames)
        if (frame.kind != Frame::Discarded) kept.append(frame);
    return kept;
}

bool sameFrames(const QVector<Frame> &a, const QVector<Frame> &b) {
    if (a.size() != b.size()) return false;
    for (int i = 0; i < a.size(); ++i)
        if (a.at(i).kind != b.at(i).kind || a.at(i).bytes != b.at(i).bytes) return false;
    return true;
}

void checkFrame(const Frame &frame) {
    if (frame.kind != Frame::Json) return;
    if (!frame.bytes.startsWith('{') || !frame.bytes.endsWith('}'))
        fuzzsupport::fail("a JSON frame does not run from '{' to '}'");
    if (frame.bytes.size() > maxMessageBytes) fuzzsupport::fail("a JSON frame exceeds the bound");
    static commandDispatcher dispatcher;
    const jsonReader::Result message = jsonReader::read(frame.bytes, maxDepth);
    if (!message.error.isEmpty()) return;
    const serverMessage read = commandDispatcher::readMessage(message.value);
    if ((read.kind == serverMessage::Invalid) == read.problem.isEmpty())
        fuzzsupport::fail("an invalid message without a reason, or a valid one with one");
    if (read.kind != serverMessage::Command) return;
    for (const QVariantMap &entry : read.entries) {
        const commandReply reply =
            dispatcher.dispatch(QStringLiteral("fuzz: no such command"), entry);
        if (reply.timeoutS < 1 || reply.timeoutS > commandDispatcher::maxReplyTimeoutS)
            fuzzsupport::fail("a reply time-out out of bounds");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::setUp();
    if (size < 1) return 0;
    const int chunkSize = data[0];
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const QVector<Frame> whole = messageFramer(maxMessageBytes, maxDepth).append(stream);
    if (chunkSize > 0 && !sameFrames(essential(whole), essential(frameInChunks(stream, chunkSize))))
        fuzzsupport::fail("the frames depend on how the stream was split");
    for (const Frame &frame : whole) checkFrame(frame);
    return 0;
}
