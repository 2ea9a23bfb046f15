// The floor of file transfers: the least any program must do to answer the client's two file
// commands over the same kind of connection. It registers like the client and then answers
// saveFileContent by decoding the Base64 as it arrives straight into a file, which it fsyncs and
// moves into place, and getFileContent by reading the file in pieces, converting its text as the
// client does and sending the Base64 while the pieces go out. Neither a message nor a file is
// ever held whole, so what it needs in time and memory is what the work itself needs.
//
// The bench's server ends every message with a line feed; that, the small rest of each command
// parsed as JSON, and the Base64 value found by its quotes are all the reading it does.
//
//   transferfloor HOST PORT CA_PEM DIR
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstdio>

#include "floortls.h"
#include "transfer.h"

namespace {
constexpr int decodeBytes = 1 << 20;              // Base64 decoded and written at a time
constexpr int readBytes = 3 << 16;                // file read at a time, a whole Base64 group
constexpr qint64 pendingBytes = qint64(1) << 20;  // unsent reply kept in the socket at most
// Unbounded, the socket takes all the kernel holds (up to tcp_rmem, tens of MiB) whenever the
// file's writes hold the event loop up, and holds it more than once on its way through TLS.
constexpr qint64 receivedBytes = qint64(1) << 20;
}  // namespace

class TransferFloor : public QObject {
  public:
    explicit TransferFloor(const QString &dir)
        : m_dir(dir), m_uploadKey(transfer::keyOf("fileDataB64")) {
        connect(&m_socket, &QSslSocket::encrypted, this,
                [this] { m_socket.write("{\"typeCall\":\"registerPOS\"}\n"); });
        connect(&m_socket, &QSslSocket::readyRead, this, [this] { consume(m_socket.readAll()); });
        connect(&m_socket, &QSslSocket::encryptedBytesWritten, this, &TransferFloor::pump);
        connect(&m_socket, &QSslSocket::disconnected, qApp, &QCoreApplication::quit);
    }

    void start(const QString &host, quint16 port, const QByteArray &caPem) {
        m_socket.setReadBufferSize(receivedBytes);
        connectVerified(m_socket, host, port, caPem);
    }

  private:
    enum class In { Head, Value, Tail };

    void consume(const QByteArray &data) {
        int at = 0;
        while (at < data.size()) {
            if (m_in == In::Value) {
                const int quote = data.indexOf('"', at);
                const int end = quote < 0 ? data.size() : quote;
                m_base64.append(data.constData() + at, end - at);
                if (quote >= 0 || m_base64.size() >= decodeBytes) decode(quote >= 0);
                if (quote >= 0) m_in = In::Tail;
                at = end;
                continue;
            }
            const int lineEnd = data.indexOf('\n', at);
            const int end = lineEnd < 0 ? data.size() : lineEnd;
            if (m_in == In::Head) {
                const int before = m_head.size();
                m_head.append(data.constData() + at, end - at);
                // The key may have begun in an earlier piece.
                const int key = m_head.indexOf(m_uploadKey, qMax(0, before - m_uploadKey.size()));
                if (key >= 0) {
                    const int valueStart = key + m_uploadKey.size();
                    at += valueStart - before;
                    m_head.truncate(valueStart);
                    startUpload();
                    continue;
                }
            } else {
                m_tail.append(data.constData() + at, end - at);
            }
            at = end;
            if (lineEnd >= 0) {
                handle(m_head + m_tail);
                m_head.clear();
                m_tail.clear();
                m_in = In::Head;
                ++at;
            }
        }
    }

    QString uploadTemp() const { return m_dir + QStringLiteral("/.transferfloor.tmp"); }

    void startUpload() {
        m_in = In::Value;
        m_upload.setFileName(uploadTemp());
        m_uploadOk =
            m_upload.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    }

    void decode(bool last) {
        const int size = last ? m_base64.size() : m_base64.size() / 4 * 4;
        m_decoded.clear();
        m_uploadOk = m_uploadOk && transfer::decode(m_base64.constData(), size, &m_decoded) &&
                     m_upload.write(m_decoded) == qint64(m_decoded.size());
        m_base64.remove(0, size);
    }

    // One complete message: the small rest of a command whose file went to disk already, or a
    // whole small message.
    void handle(const QByteArray &message) {
        const QJsonObject root = QJsonDocument::fromJson(message).object();
        const QString name = root.value(QLatin1String("commandType")).toString();
        const QJsonObject parameters =
            root.value(QLatin1String("data")).toArray().first().toObject();
        const QString target =
            m_dir + QLatin1Char('/') + parameters.value(QLatin1String("filePath")).toString();
        if (name == QLatin1String("saveFileContent")) {
            const bool written = m_upload.isOpen() && m_uploadOk && ::fsync(m_upload.handle()) == 0;
            m_upload.close();
            const bool placed =
                written && std::rename(qPrintable(uploadTemp()), qPrintable(target)) == 0;
            QJsonObject result{{QStringLiteral("errorCode"), placed ? 0 : 900},
                               {QStringLiteral("errorDescription"),
                                placed ? QString() : QStringLiteral("Can't write to file!")},
                               {QStringLiteral("info"), QString()},
                               {QStringLiteral("fileData"), QString()}};
            m_socket.write(transfer::reply(name, result));
        } else if (name == QLatin1String("getFileContent")) {
            m_download.setFileName(target);
            if (!m_download.open(QIODevice::ReadOnly)) {
                m_socket.write(transfer::reply(
                    name, {{QStringLiteral("errorCode"), 404},
                           {QStringLiteral("errorDescription"), QStringLiteral("Unknown error")},
                           {QStringLiteral("fileData"), QString()}}));
                return;
            }
            const transfer::Around shape = transfer::readReply();
            m_replyTail = shape.tail;
            m_socket.write(shape.head);
            pump();
        }
    }

    // Sends the next pieces of the file being read while the socket holds little.
    void pump() {
        while (m_download.isOpen() &&
               m_socket.bytesToWrite() + m_socket.encryptedBytesToWrite() < pendingBytes) {
            const QByteArray piece = m_download.read(readBytes);
            if (piece.isEmpty()) {
                m_download.close();
                m_socket.write(m_encoder.finish() + m_replyTail);
                return;
            }
            m_socket.write(m_encoder.push(piece));
        }
    }

    const QString m_dir;
    const QByteArray m_uploadKey;
    QSslSocket m_socket;
    In m_in = In::Head;
    QByteArray m_head;
    QByteArray m_tail;
    QByteArray m_base64;
    QByteArray m_decoded;
    QFile m_upload;
    bool m_uploadOk = false;
    QFile m_download;
    transfer::textEncoder m_encoder;
    QByteArray m_replyTail;
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: transferfloor HOST PORT CA_PEM DIR\n");
        return 2;
    }
    QFile ca(args.at(3));
    if (!ca.open(QIODevice::ReadOnly)) return 1;
    TransferFloor floor(QDir(args.at(4)).absolutePath());
    floor.start(args.at(1), args.at(2).toUShort(), ca.readAll());
    return app.exec();
}
