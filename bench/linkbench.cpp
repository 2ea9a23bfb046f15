// Drives the real client from a loopback TLS server of its own and prints what it measures: the
// time from process start to registration, the idle memory of the registered client beside that
// of the floor program (one verified TLS connection, idle), the round trip of a trivial command,
// the unpack of a ZIP archive of 10,000 small files through the write command beside `unzip`,
// and the throughput of file writes and reads with the peak memory during each, beside those of
// the transfer floor (the least any program must do for the same messages) driven by the same
// server in the same run. Every figure has its unit; nothing is judged by time here.
//
//   linkbench CLIENT FLOOR TRANSFER_FLOOR [PKI_DIR]
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "transfer.h"

namespace {

QTextStream out(stdout);

struct Memory {
    qint64 rssKiB = 0;
    qint64 anonKiB = 0;
    qint64 peakKiB = 0;  // VmHWM: the largest RSS since start or since the last resetPeak()

    static Memory of(qint64 pid) {
        Memory m;
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) return m;
        for (const QByteArray &line : status.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 2) continue;
            if (fields.at(0) == "VmRSS:") m.rssKiB = fields.at(1).toLongLong();
            if (fields.at(0) == "RssAnon:") m.anonKiB = fields.at(1).toLongLong();
            if (fields.at(0) == "VmHWM:") m.peakKiB = fields.at(1).toLongLong();
        }
        return m;
    }
    // Linux resets VmHWM to the current RSS when "5" is written to clear_refs.
    static bool resetPeak(qint64 pid) {
        QFile file(QStringLiteral("/proc/%1/clear_refs").arg(pid));
        return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
    }
};

bool waitUntil(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

double median(QVector<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

double percentile(QVector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(qMin(values.size() - 1, int(values.size() * p)));
}

QString mib(qint64 bytes) { return QString::number(double(bytes) / (1 << 20), 'f', 1); }

}  // namespace

// One message of the registered program, without its line end, and when its last byte came.
struct Message {
    QByteArray json;
    qint64 arrivedNs = -1;
    bool isEmpty() const { return arrivedNs < 0; }
};

// The management server's side: accepts TLS connections, answers registrations and keep-alives,
// and hands over every JSON message that the registered program sends. Each message it sends
// ends with a line feed.
class LinkBench : public QTcpServer {
  public:
    explicit LinkBench(const QString &pkiDir) {
        QFile cert(pkiDir + QStringLiteral("/server.pem"));
        QFile key(pkiDir + QStringLiteral("/server.key"));
        if (cert.open(QIODevice::ReadOnly))
            m_certificates = QSslCertificate::fromData(cert.readAll());
        if (key.open(QIODevice::ReadOnly)) m_key = QSslKey(key.readAll(), QSsl::Rsa);
        m_clock.start();
    }

    bool isReady() const { return !m_certificates.isEmpty() && !m_key.isNull(); }
    int registrations() const { return m_registrations; }
    int encryptedConnections() const { return m_encrypted; }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

    // Written while the socket holds little, so that a message of hundreds of MiB is encrypted
    // as it leaves rather than all at once before the first byte goes.
    void send(const QByteArray &bytes) {
        if (!m_client) return;
        m_outgoing.append(bytes);
        pump();
    }
    // The next message of the registered program; an empty one after the time-out or as soon as
    // the program has closed the connection.
    Message nextMessage(int timeoutMs) {
        waitUntil([this] { return !m_messages.isEmpty() || !m_client; }, timeoutMs);
        return m_messages.isEmpty() ? Message() : m_messages.takeFirst();
    }

  protected:
    void incomingConnection(qintptr handle) override {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setLocalCertificateChain(m_certificates);
        socket->setPrivateKey(m_key);
        connect(socket, &QSslSocket::encrypted, this, [this] { ++m_encrypted; });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QSslSocket::encryptedBytesWritten, this, [this, socket] {
            if (socket == m_client) pump();
        });
        connect(socket, &QSslSocket::disconnected, this, [this, socket] {
            if (socket == m_client) {
                m_client = nullptr;
                m_outgoing.clear();
                m_sent = 0;
            }
            m_buffers.remove(socket);
            m_scanned.remove(socket);
            socket->deleteLater();
        });
        socket->startServerEncryption();
    }

  private:
    static constexpr int pieceBytes = 1 << 20;
    static constexpr qint64 pendingBytes = qint64(4) << 20;

    void pump() {
        while (m_client && !m_outgoing.isEmpty() &&
               m_client->bytesToWrite() + m_client->encryptedBytesToWrite() < pendingBytes) {
            const QByteArray &first = m_outgoing.first();
            const int size = qMin(pieceBytes, first.size() - m_sent);
            m_client->write(first.constData() + m_sent, size);
            m_sent += size;
            if (m_sent == first.size()) {
                m_outgoing.removeFirst();
                m_sent = 0;
            }
        }
    }

    void readFrom(QSslSocket *socket) {
        QByteArray &buffer = m_buffers[socket];
        // Where the search for the line end goes on: a reply of hundreds of MB comes in thousands
        // of pieces, and searching it from the start each time would measure this server.
        int &scanned = m_scanned[socket];
        buffer += socket->readAll();
        for (;;) {
            // Control frames carry no line end; JSON messages end with one.
            if (buffer.startsWith('\x02')) {
                const int end = buffer.indexOf('\x03');
                if (end < 0) return;
                if (buffer.mid(1, end - 1) == "_KA_") {
                    // Never in the middle of a message that is still going out.
                    if (socket == m_client)
                        send("\x02_KAS_\x03");
                    else
                        socket->write("\x02_KAS_\x03");
                }
                buffer.remove(0, end + 1);
                scanned = 0;
                continue;
            }
            const int end = buffer.indexOf('\n', scanned);
            if (end < 0) {
                scanned = buffer.size();
                return;
            }
            const qint64 arrivedNs = nowNs();
            QByteArray json;
            if (end + 1 == buffer.size()) {
                json = std::move(buffer);  // a large reply is not copied
                buffer = QByteArray();
                json.chop(1);
            } else {
                json = buffer.left(end);
                buffer.remove(0, end + 1);
            }
            scanned = 0;
            if (socket == m_client) {
                m_messages.append({json, arrivedNs});
            } else if (QJsonDocument::fromJson(json)
                           .object()
                           .value(QLatin1String("typeCall"))
                           .toString() == QLatin1String("registerPOS")) {
                m_client = socket;
                m_outgoing.clear();
                m_sent = 0;
                m_messages.clear();
                ++m_registrations;
                socket->write(R"({"responseType":"registerPOS","data":[{"errorCode":0}]})"
                              "\n");
            }
        }
    }

    QElapsedTimer m_clock;
    QList<QSslCertificate> m_certificates;
    QSslKey m_key;
    QHash<QSslSocket *, QByteArray> m_buffers;
    QHash<QSslSocket *, int> m_scanned;
    QSslSocket *m_client = nullptr;
    QList<QByteArray> m_outgoing;
    int m_sent = 0;  // of the first outgoing message
    QList<Message> m_messages;
    int m_registrations = 0;
    int m_encrypted = 0;
};

namespace {

void writeSettings(const QString &root, quint16 port) {
    QDir().mkpath(root + QStringLiteral("/settings"));
    QFile ini(root + QStringLiteral("/settings/qltRestClientQt.ini"));
    ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
    ini.write(QStringLiteral("[RestServiceQt]\nrestServerQt_host=localhost\nrestServerQt_port=%1\n")
                  .arg(port)
                  .toUtf8());
}

QJsonObject resultOf(const QJsonObject &reply) {
    return reply.value(QLatin1String("data")).toArray().first().toObject();
}

// "errorCode N: description", or an empty text for a success.
QString errorOf(const QJsonObject &result) {
    const int code = result.value(QLatin1String("errorCode")).toInt(-1);
    if (code == 0) return QString();
    return QStringLiteral("errorCode %1: %2")
        .arg(code)
        .arg(result.value(QLatin1String("errorDescription")).toString());
}

// Written and synced before any program reads it, so that no write-back runs during a run.
void writeSynced(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
    file.flush();
    ::fsync(file.handle());
}

bool fileHolds(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != bytes.size()) return false;
    constexpr int piece = 4 << 20;
    for (int at = 0; at < bytes.size(); at += piece)
        if (file.read(piece) !=
            QByteArray::fromRawData(bytes.constData() + at, qMin(piece, bytes.size() - at)))
            return false;
    return true;
}

enum class Content { AsciiText, NonAsciiText, RandomBytes };

QString nameOf(Content content) {
    switch (content) {
        case Content::AsciiText:
            return QStringLiteral("ASCII text");
        case Content::NonAsciiText:
            return QStringLiteral("Windows-1252 text with bytes >= 0x80");
        case Content::RandomBytes:
            break;
    }
    return QStringLiteral("random bytes");
}

QByteArray contentOf(Content content, qint64 size) {
    QByteArray bytes(int(size), Qt::Uninitialized);
    if (content == Content::RandomBytes) {
        QRandomGenerator generator(quint32(size >> 10));
        generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), int(size / 4));
        return bytes;
    }
    // Lines of 63 characters and a line end; the Windows-1252 line has 11 bytes >= 0x80, five
    // of them in 0x80..0x9F, which take three bytes in UTF-8.
    const QByteArray line = (content == Content::AsciiText
                                 ? QByteArray(63, 'r')
                                 : QByteArray("Gr\xfc\xdf"
                                              "e aus K\xf6ln: Caf\xe9 3,50 \x80, Sm\xf8rrebr\xf8"
                                              "d "
                                              "\x93gut\x94 \x96 4,20 \x80")
                                       .leftJustified(63, '.')) +
                            '\n';
    for (int at = 0; at < size; at += line.size())
        std::memcpy(bytes.data() + at, line.constData(), size_t(qMin(line.size(), int(size) - at)));
    return bytes;
}

// The SHA-256 of the "fileData" that getFileContent must answer for a file of these bytes.
QByteArray expectedFileData(const QByteArray &file) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    transfer::textEncoder encoder;
    constexpr int piece = 3 << 20;
    for (int at = 0; at < file.size(); at += piece) hash.addData(encoder.push(file.mid(at, piece)));
    hash.addData(encoder.finish());
    return hash.result();
}

// The archive that scripts/bench unpacks beside unzip, built the same way: 10,000 files of 100 to
// 2,000 characters from a small alphabet in 100 directories, packed by zip. Empty when zip fails.
// The files stay in `tree`.
QString makeManyArchive(const QString &workDir, const QString &tree) {
    const QString archive = workDir + QStringLiteral("/many.zip");
    const QByteArray alphabet("abcdefghij \n");
    QRandomGenerator generator(1);
    for (int i = 0; i < 10000; ++i) {
        const QString dir = tree + QStringLiteral("/d%1").arg(i % 100, 2, 10, QLatin1Char('0'));
        QDir().mkpath(dir);
        QByteArray text(int(generator.bounded(100, 2001)), Qt::Uninitialized);
        for (char &c : text) c = alphabet.at(int(generator.bounded(alphabet.size())));
        QFile file(dir + QStringLiteral("/f%1.txt").arg(i, 5, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) return QString();
    }
    QProcess zip;
    zip.setWorkingDirectory(tree);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-qr"), archive, QStringLiteral(".")});
    const bool packed =
        zip.waitForFinished(-1) && zip.exitStatus() == QProcess::NormalExit && zip.exitCode() == 0;
    QDir(tree).removeRecursively();
    return packed ? archive : QString();
}

int filesBelow(const QString &dir) {
    int files = 0;
    for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext(); it.next())
        ++files;
    return files;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: linkbench CLIENT FLOOR TRANSFER_FLOOR [PKI_DIR]\n");
        return 2;
    }
    const QString clientBinary = args.at(1);
    const QString floorBinary = args.at(2);
    const QString transferFloorBinary = args.at(3);
    const QString pkiDir = args.size() > 4 ? args.at(4) : QStringLiteral(QLT_PKI_DIR);

    LinkBench server(pkiDir);
    if (!server.isReady() || !server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "linkbench: no server certificate in %s or no port\n",
                     qPrintable(pkiDir));
        return 1;
    }
    QTemporaryDir root;
    writeSettings(root.path(), server.serverPort());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QLT_DATA_ROOT"), root.path() + QLatin1Char('/'));

    QProcess client;
    QProcess transferFloor;
    for (QProcess *process : {&client, &transferFloor}) {
        process->setProcessEnvironment(environment);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
    }
    const auto stop = [](QProcess &process) {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        process.waitForFinished(10000);
    };
    // A fresh program, registered: milliseconds from its start, or -1.
    const auto startProgram = [&](QProcess &process, const QString &binary,
                                  const QStringList &arguments) {
        stop(process);
        const int before = server.registrations();
        QElapsedTimer clock;
        clock.start();
        process.start(binary, arguments);
        if (!waitUntil([&] { return server.registrations() > before; }, 20000)) return -1.0;
        return clock.nsecsElapsed() / 1e6;
    };
    const auto startClient = [&] { return startProgram(client, clientBinary, {}); };

    // Start to registration: the TLS handshake and the registration message included.
    constexpr int starts = 5;
    QVector<double> startMs;
    for (int i = 0; i < starts; ++i) {
        startMs.append(startClient());
        if (startMs.last() < 0) {
            std::fprintf(stderr, "linkbench: the client did not register\n");
            return 1;
        }
    }
    const qint64 pid = client.processId();
    out << QStringLiteral("start to registered: median %1 ms, min %2 ms, max %3 ms (%4 starts)\n")
               .arg(median(startMs), 0, 'f', 1)
               .arg(*std::min_element(startMs.cbegin(), startMs.cend()), 0, 'f', 1)
               .arg(*std::max_element(startMs.cbegin(), startMs.cend()), 0, 'f', 1)
               .arg(starts);
    out.flush();

    // Idle memory beside the floor: both connected, verified and left alone for the same time.
    constexpr int idleMs = 5000;
    QProcess floor;
    floor.setStandardOutputFile(QProcess::nullDevice());
    const int encryptedBefore = server.encryptedConnections();
    floor.start(floorBinary, {QStringLiteral("localhost"), QString::number(server.serverPort()),
                              pkiDir + QStringLiteral("/ca.pem")});
    waitUntil([&] { return server.encryptedConnections() > encryptedBefore; }, 20000);
    waitUntil([] { return false; }, idleMs);
    const Memory idle = Memory::of(pid);
    const Memory floorMemory = Memory::of(floor.processId());
    out << QStringLiteral(
               "idle memory after %1 s: client VmRSS %2 KiB, RssAnon %3 KiB; floor "
               "VmRSS %4 KiB, RssAnon %5 KiB; ratio VmRSS %6 (goals: ratio <= 1.15, "
               "RssAnon <= 4096 KiB)\n")
               .arg(idleMs / 1000)
               .arg(idle.rssKiB)
               .arg(idle.anonKiB)
               .arg(floorMemory.rssKiB)
               .arg(floorMemory.anonKiB)
               .arg(floorMemory.rssKiB ? double(idle.rssKiB) / floorMemory.rssKiB : 0, 0, 'f', 2);
    out.flush();
    stop(floor);

    // A trivial command: answered from a constant.
    constexpr int roundTrips = 200;
    QVector<double> tripMs;
    const QByteArray trivial = transfer::command(QStringLiteral("getNodes"), {});
    for (int i = 0; i < roundTrips; ++i) {
        QElapsedTimer clock;
        clock.start();
        server.send(trivial);
        if (server.nextMessage(10000).isEmpty()) break;
        tripMs.append(clock.nsecsElapsed() / 1e6);
    }
    out << QStringLiteral(
               "trivial command round trip: median %1 ms, p90 %2 ms, min %3 ms (%4 of %5)\n")
               .arg(median(tripMs), 0, 'f', 3)
               .arg(percentile(tripMs, 0.9), 0, 'f', 3)
               .arg(tripMs.isEmpty() ? 0 : *std::min_element(tripMs.cbegin(), tripMs.cend()), 0,
                    'f', 3)
               .arg(tripMs.size())
               .arg(roundTrips);
    out.flush();

    const QString tempDir = root.path() + QStringLiteral("/temp");
    const QString benchDir = tempDir + QStringLiteral("/bench");
    QDir().mkpath(benchDir);

    // A ZIP archive of 10,000 small files unpacked through saveFileContent beside `unzip -q` of
    // the same archive, both into an empty directory of the client's temp directory. The client
    // stages the entries, syncs the file system and keeps a journal so that the unpack is all or
    // nothing across a crash; unzip does none of that. The same archive saved as a plain file
    // (isZipData false) shows the part of the command's time that is transfer, decoding and the
    // verified write of the archive rather than unpacking.
    const QString manyTree = root.path() + QStringLiteral("/many");
    const QString archivePath = makeManyArchive(root.path(), manyTree);
    QFile archiveFile(archivePath);
    if (archivePath.isEmpty() || !archiveFile.open(QIODevice::ReadOnly)) {
        out << "zip unpack: FAILED (zip could not build the archive)\n";
    } else {
        const QByteArray archive = archiveFile.readAll();
        const QString archiveBase64 = QLatin1String(archive.toBase64());
        // Every run gets a directory of its own and nothing is removed before the last run: on a
        // file system that holds back the inodes of recently removed files (ext4 without a
        // journal), creating files right after removing thousands costs seconds more.
        const QString unpackDir = benchDir + QStringLiteral("/unpack");
        const auto runDir = [&](const char *who, int round) {
            return QStringLiteral("%1/%2-%3").arg(unpackDir, QLatin1String(who)).arg(round);
        };
        // Runs a program to its end while the event loop goes on, so that the server answers
        // the client's keep-alive meanwhile: an empty text, or what went wrong.
        const auto runToEnd = [&](const QString &program, const QStringList &arguments) {
            QProcess process;
            process.setStandardOutputFile(QProcess::nullDevice());
            process.start(program, arguments);
            waitUntil([&] { return process.state() == QProcess::NotRunning; }, 300000);
            if (process.error() != QProcess::UnknownError ||
                process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
                return QStringLiteral("%1 failed: %2")
                    .arg(program, process.error() != QProcess::UnknownError
                                      ? process.errorString()
                                      : QString::fromLocal8Bit(process.readAllStandardError()));
            return QString();
        };
        // Milliseconds from the command's first byte to the reply's last, or the problem. The
        // write-back of what the run before wrote would land in this run: it goes first.
        const auto viaClient = [&](const QString &filePath, bool isZipData, double *ms) {
            const QByteArray command =
                transfer::command(QStringLiteral("saveFileContent"),
                                  {{QStringLiteral("filePath"), filePath},
                                   {QStringLiteral("basePathType"), QStringLiteral("temp")},
                                   {QStringLiteral("isBinary"), true},
                                   {QStringLiteral("isZipData"), isZipData},
                                   {QStringLiteral("fileDataB64"), archiveBase64}});
            runToEnd(QStringLiteral("sync"), {});
            const qint64 startNs = server.nowNs();
            server.send(command);
            const Message reply = server.nextMessage(300000);
            if (reply.isEmpty()) return QStringLiteral("no reply");
            *ms = (reply.arrivedNs - startNs) / 1e6;
            return errorOf(resultOf(QJsonDocument::fromJson(reply.json).object()));
        };
        const auto viaUnzip = [&](const QString &dir, double *ms) {
            QDir().mkpath(dir);
            runToEnd(QStringLiteral("sync"), {});
            const qint64 startNs = server.nowNs();
            const QString problem =
                runToEnd(QStringLiteral("unzip"),
                         {QStringLiteral("-q"), archivePath, QStringLiteral("-d"), dir});
            *ms = (server.nowNs() - startNs) / 1e6;
            return problem;
        };
        const auto unpackInto = [&](const QString &dir, double *ms) {
            QDir().mkpath(dir);
            QString problem = viaClient(dir.mid(tempDir.size() + 1) + QLatin1Char('/'), true, ms);
            const int files = filesBelow(dir);
            if (problem.isEmpty() && files != 10000)
                problem = QStringLiteral("the client unpacked %1 files, not 10000").arg(files);
            return problem;
        };
        QString problem =
            startClient() < 0 ? QStringLiteral("the client did not register") : QString();
        // Code and tables paged in once are not counted: one unpack goes before the rounds.
        double warmMs = 0;
        if (problem.isEmpty()) problem = unpackInto(runDir("warm", 0), &warmMs);
        constexpr int unpackRounds = 5;
        QVector<double> clientMs, unzipMs, plainMs;
        for (int round = 0; round < unpackRounds && problem.isEmpty(); ++round) {
            for (int turn = 0; turn < 2 && problem.isEmpty(); ++turn) {
                double ms = 0;
                if ((round + turn) % 2 == 0) {
                    problem = unpackInto(runDir("client", round), &ms);
                    clientMs.append(ms);
                } else {
                    problem = viaUnzip(runDir("unzip", round), &ms);
                    unzipMs.append(ms);
                }
            }
            double ms = 0;
            if (problem.isEmpty())
                problem = viaClient(
                    runDir("plain", round).mid(tempDir.size() + 1) + QStringLiteral(".zip"), false,
                    &ms);
            plainMs.append(ms);
        }
        runToEnd(QStringLiteral("rm"), {QStringLiteral("-rf"), unpackDir, manyTree});
        if (!problem.isEmpty()) {
            out << QStringLiteral("zip unpack of 10,000 small files: FAILED (%1)\n").arg(problem);
        } else {
            const auto list = [](const QVector<double> &values) {
                QStringList texts;
                for (const double v : values) texts << QString::number(v, 'f', 0);
                return texts.join(QLatin1Char(' '));
            };
            out << QStringLiteral(
                       "zip unpack of 10,000 small files (%1 KiB archive), each run into a new "
                       "directory of the client's temp directory after a sync, median of %2 rounds "
                       "taking turns at going first: client (saveFileContent, isZipData) %3 ms, "
                       "unzip -q %4 ms, ratio %5 "
                       "(goal <= 1.0); of the client's time, the same archive saved as a plain "
                       "file %6 ms (rounds: client %7, unzip %8, plain %9 ms)\n")
                       .arg(archive.size() >> 10)
                       .arg(unpackRounds)
                       .arg(median(clientMs), 0, 'f', 0)
                       .arg(median(unzipMs), 0, 'f', 0)
                       .arg(median(clientMs) / median(unzipMs), 0, 'f', 2)
                       .arg(median(plainMs), 0, 'f', 0)
                       .arg(list(clientMs), list(unzipMs), list(plainMs));
        }
        out.flush();
        stop(client);
    }

    // File transfers, the client beside the transfer floor. Each run starts the program afresh,
    // so that none inherits the memory of the one before, and has it first do the same command
    // on 4 KiB, so that code and tables paged in once are not counted: growth is the peak RSS
    // during the measured command minus the RSS just before it.
    struct Contender {
        QString name;
        QProcess *process;
        QString binary;
        QStringList arguments;
    };
    const QVector<Contender> contenders{
        {QStringLiteral("client"), &client, clientBinary, {}},
        {QStringLiteral("floor"),
         &transferFloor,
         transferFloorBinary,
         {QStringLiteral("localhost"), QString::number(server.serverPort()),
          pkiDir + QStringLiteral("/ca.pem"), tempDir}}};
    struct Run {
        bool registered = false;
        Message reply;
        double seconds = 0;
        qint64 growthKiB = 0;
    };
    const auto run = [&](const Contender &who, const QByteArray &warmUp,
                         const QByteArray &measured) {
        Run r;
        r.registered = startProgram(*who.process, who.binary, who.arguments) >= 0;
        if (!r.registered) return r;
        const qint64 programPid = who.process->processId();
        server.send(warmUp);
        server.nextMessage(60000);
        const Memory before = Memory::of(programPid);
        Memory::resetPeak(programPid);
        const qint64 startNs = server.nowNs();
        server.send(measured);
        r.reply = server.nextMessage(300000);
        r.seconds = r.reply.isEmpty() ? (server.nowNs() - startNs) / 1e9
                                      : (r.reply.arrivedNs - startNs) / 1e9;
        r.growthKiB = Memory::of(programPid).peakKiB - before.rssKiB;
        stop(*who.process);
        return r;
    };
    // The client's last complaint in its log: what it says when it drops a connection.
    const auto lastLogged = [&] {
        QString last;
        const QDir logDir(root.path() + QStringLiteral("/Log"));
        for (const QString &name : logDir.entryList(QDir::Files, QDir::Name)) {
            QFile log(logDir.filePath(name));
            if (!log.open(QIODevice::ReadOnly)) continue;
            for (const QByteArray &line : log.readAll().split('\n'))
                if (line.contains(" => 9"))
                    last = QString::fromUtf8(line.mid(line.indexOf("] ") + 2));
        }
        return last;
    };

    struct Outcome {
        QVector<double> seconds;
        qint64 growthKiB = 0;
        QString problem;  // a refusal or a failure; the rounds stop at the first
    };
    // One line per direction, content and size: the median time of the rounds, in which the
    // two take turns at going first, and the highest growth of each.
    QHash<QString, qint64> clientGrowthAt64;
    const auto measure = [&](const QString &what, Content content, int sizeMiB,
                             const std::function<void()> &beforeRun, const QByteArray &warmUp,
                             const QByteArray &measured,
                             const std::function<QString(const Message &)> &problemOf) {
        const int rounds = sizeMiB >= 256 ? 1 : 3;
        Outcome outcomes[2];
        for (int round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < 2; ++turn) {
                const int who = (round + turn) % 2;
                Outcome &o = outcomes[who];
                if (!o.problem.isEmpty()) continue;
                beforeRun();
                const Run r = run(contenders.at(who), warmUp, measured);
                o.growthKiB = qMax(o.growthKiB, r.growthKiB);
                o.seconds.append(r.seconds);
                if (!r.registered)
                    o.problem = QStringLiteral("did not register");
                else if (r.reply.isEmpty())
                    o.problem = QStringLiteral("closed the connection without a reply");
                else
                    o.problem = problemOf(r.reply);
                if (r.registered && r.reply.isEmpty() && who == 0)
                    o.problem += QStringLiteral("; its log: ") + lastLogged();
            }
        }
        const qint64 size = qint64(sizeMiB) << 20;
        const QString key = what + nameOf(content);
        if (sizeMiB == 64) clientGrowthAt64.insert(key, outcomes[0].growthKiB);
        QString line = QStringLiteral("%1 %2 MiB, %3:").arg(what).arg(sizeMiB).arg(nameOf(content));
        for (int who = 0; who < 2; ++who) {
            const Outcome &o = outcomes[who];
            const double seconds = median(o.seconds);
            line += QStringLiteral(" %1 ").arg(contenders.at(who).name);
            if (o.problem.isEmpty())
                line += QStringLiteral("%1 s, %2 MiB/s;")
                            .arg(seconds, 0, 'f', 3)
                            .arg(sizeMiB / seconds, 0, 'f', 1);
            else
                line += QStringLiteral("%1 (%2) after %3 s;")
                            .arg(who == 0 ? QStringLiteral("refused") : QStringLiteral("FAILED"))
                            .arg(o.problem)
                            .arg(seconds, 0, 'f', 3);
        }
        if (outcomes[0].problem.isEmpty() && outcomes[1].problem.isEmpty())
            line += QStringLiteral(" throughput client/floor %1 (goal >= 0.5);")
                        .arg(median(outcomes[1].seconds) / median(outcomes[0].seconds), 0, 'f', 2);
        line += QStringLiteral(" peak RSS growth: client %1 MiB = %2 x file")
                    .arg(mib(outcomes[0].growthKiB << 10))
                    .arg(double(outcomes[0].growthKiB << 10) / size, 0, 'f', 2);
        if (sizeMiB == 64)
            line += QStringLiteral(" (goal <= 1 x)");
        else if (sizeMiB > 64 && clientGrowthAt64.contains(key))
            line += QStringLiteral(" (goal <= %1 MiB at 64 MiB + a constant)")
                        .arg(mib(clientGrowthAt64.value(key) << 10));
        line += QStringLiteral(", floor %1 MiB = %2 x file (%3 round%4)\n")
                    .arg(mib(outcomes[1].growthKiB << 10))
                    .arg(double(outcomes[1].growthKiB << 10) / size, 0, 'f', 2)
                    .arg(rounds)
                    .arg(rounds > 1 ? QStringLiteral("s") : QString());
        out << line;
        out.flush();
    };

    out << QStringLiteral(
        "file transfers beside the transfer floor (bench/transferfloor: the least any program "
        "must do for the same messages), same server, same run: time from the command's first "
        "byte sent to the reply's last byte received, MiB of file per second; median of 3 rounds "
        "taking turns at going first (1 round at 256 MiB); peak RSS growth is the highest of "
        "the rounds (VmHWM during the command minus VmRSS before it)\n");
    const QString payloadPath = benchDir + QStringLiteral("/payload.bin");
    const transfer::Around save = transfer::saveCommand(QStringLiteral("bench/payload.bin"));
    const auto saveCommand = [&](const QByteArray &bytes) {
        return QByteArray(save.head + bytes.toBase64() + save.tail);
    };
    for (const int sizeMiB : {1, 16, 64, 256}) {
        const QByteArray payload = contentOf(Content::RandomBytes, qint64(sizeMiB) << 20);
        measure(
            QStringLiteral("saveFileContent"), Content::RandomBytes, sizeMiB,
            [&] {
                for (const char *suffix : {"", ".old", ".tmp"})
                    QFile::remove(payloadPath + QLatin1String(suffix));
            },
            saveCommand(payload.left(4096)), saveCommand(payload),
            [&](const Message &reply) {
                const QString error =
                    errorOf(resultOf(QJsonDocument::fromJson(reply.json).object()));
                if (!error.isEmpty()) return error;
                return fileHolds(payloadPath, payload) ? QString()
                                                       : QStringLiteral("the file differs");
            });
    }

    const auto readCommand = [](const char *filePath) {
        return transfer::command(QStringLiteral("getFileContent"),
                                 {{QStringLiteral("filePath"), QLatin1String(filePath)},
                                  {QStringLiteral("basePathType"), QStringLiteral("temp")}});
    };
    for (const Content content :
         {Content::AsciiText, Content::NonAsciiText, Content::RandomBytes}) {
        writeSynced(benchDir + QStringLiteral("/warm.txt"), contentOf(content, 4096));
        for (const int sizeMiB : {1, 16, 64, 256}) {
            QByteArray file = contentOf(content, qint64(sizeMiB) << 20);
            writeSynced(benchDir + QStringLiteral("/read.txt"), file);
            const QByteArray expected = expectedFileData(file);
            file = QByteArray();
            measure(
                QStringLiteral("getFileContent"), content, sizeMiB, [] {},
                readCommand("bench/warm.txt"), readCommand("bench/read.txt"),
                [&](const Message &reply) {
                    const transfer::Split split = transfer::split(reply.json, "fileData");
                    const QString error = errorOf(resultOf(split.rest));
                    if (!error.isEmpty()) return error;
                    return QCryptographicHash::hash(split.value, QCryptographicHash::Sha256) ==
                                   expected
                               ? QString()
                               : QStringLiteral("fileData is not the file's text");
                });
        }
    }
    return 0;
}
