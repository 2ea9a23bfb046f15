// Throughput of the message framer on a stream like the server's (small commands, keep-alive
// answers, file writes of 48 KiB of Base64), fed in 1-byte and in 64 KiB chunks.
#include <QByteArray>
#include <QElapsedTimer>
#include <QVector>
#include <algorithm>
#include <cstdio>

#include "link/messageframer.h"

namespace {

QByteArray serverStream(int bytes) {
    const QByteArray small =
        R"({"commandType":"getDirectoryFiles","data":[{"searchPath":"x","basePathType":"temp"}]})";
    const QByteArray keepAlive = "\x02_KAS_\x03";
    const QByteArray write = R"({"commandType":"saveFileContent","data":[{"filePath":"a/b.txt",)"
                             R"("fileDataB64":")" +
                             QByteArray(48 * 1024, 'Q') + R"("}]})";
    QByteArray stream;
    while (stream.size() < bytes) stream += small + '\n' + keepAlive + small + '\n' + write + '\n';
    return stream;
}

// Median of three runs, in MB/s (10^6 bytes per second).
double feed(const QByteArray &stream, int chunk, int *frames) {
    QVector<double> rates;
    for (int run = 0; run < 3; ++run) {
        messageFramer framer;
        *frames = 0;
        QElapsedTimer clock;
        clock.start();
        for (int at = 0; at < stream.size(); at += chunk)
            *frames += framer
                           .append(QByteArray::fromRawData(stream.constData() + at,
                                                           qMin(chunk, stream.size() - at)))
                           .size();
        rates.append(stream.size() / (clock.nsecsElapsed() / 1e3));
    }
    std::sort(rates.begin(), rates.end());
    return rates.at(1);
}

}  // namespace

int main() {
    const QByteArray large = serverStream(64 << 20);
    const QByteArray small = large.left(4 << 20);
    int frames = 0;
    const double bytewise = feed(small, 1, &frames);
    std::printf("framer, 1-byte chunks: %.1f MB/s (%.0f MiB, %d frames)\n", bytewise,
                small.size() / 1048576.0, frames);
    const double chunked = feed(large, 64 * 1024, &frames);
    std::printf("framer, 64 KiB chunks: %.1f MB/s (%.0f MiB, %d frames)\n", chunked,
                large.size() / 1048576.0, frames);
    return 0;
}
