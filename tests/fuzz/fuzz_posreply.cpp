// What the POS daemon sends back to one command: the reply parser fed chunk by chunk as the
// socket delivers them, then the split of a complete reply and the greeting parse.
//
// Input: the expected code (2 bytes, little-endian, modulo 1000), a flag byte (bit 0: the
// expected code's reply ends with the end marker, bit 1: any reply does), the marker's length
// and bytes, the chunk size (0: one chunk), then the reply.
#include <cstdint>

#include "fuzzsupport.h"
#include "pos/posreplyparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::setUp();
    if (size < 5) return 0;
    const int okCode = (data[0] | data[1] << 8) % 1000;
    const bool waitForEnd = data[2] & 1;
    const bool waitForEndAtPart2 = data[2] & 2;
    const size_t markerLength = data[3];
    if (size < 5 + markerLength) return 0;
    const QByteArray marker(reinterpret_cast<const char *>(data + 4), int(markerLength));
    const int chunkSize = data[4 + markerLength];
    const QByteArray reply(reinterpret_cast<const char *>(data + 5 + markerLength),
                           int(size - 5 - markerLength));

    posReplyParser parser(okCode, waitForEnd, waitForEndAtPart2, marker);
    const int step = chunkSize > 0 ? chunkSize : qMax(1, reply.size());
    for (int at = 0; at < reply.size() && parser.state() == posReplyParser::State::Incomplete;
         at += step)
        parser.addChunk(reply.mid(at, step));
    if (parser.state() == posReplyParser::State::Incomplete) parser.addChunk(QByteArray());
    if (parser.state() == posReplyParser::State::Incomplete)
        fuzzsupport::fail("silence did not end the reply");
    if (parser.state() == posReplyParser::State::Truncated && parser.buffer().isEmpty())
        fuzzsupport::fail("nothing at all counted as a cut reply");
    parser.missingEnd();
    if (!reply.startsWith(parser.buffer())) fuzzsupport::fail("the reply was not kept as sent");

    const posReply parsed = posReplyParser::parse(parser.buffer());
    if (parsed.firstLine.contains(QLatin1Char('\n')))
        fuzzsupport::fail("the first line holds a line end");
    if (!parsed.text.startsWith(parsed.firstLine)) fuzzsupport::fail("the first line is not first");
    posReplyParser::startsWithCode(parser.buffer());
    posReplyParser::preview(parser.buffer());
    const posGreeting greeting = posReplyParser::parseGreeting(parsed.firstLine);
    if (greeting.ready && !greeting.welcome) fuzzsupport::fail("ready without a welcome");
    return 0;
}
