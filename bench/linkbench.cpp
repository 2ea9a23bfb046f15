// Drives the real client from a loopback TLS server of its own and prints what it measures: the
// time from process start to registration, the idle memory of the registered client beside that
// of the floor program (one verified TLS connection, idle), the round trip of a trivial command,
// and the throughput of file writes and reads with the client's peak memory during each. Every
// figure has its unit; nothing is judged by time here.
//
//   linkbench CLIENT FLOOR [PKI_DIR]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
#include <functional>

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

// The management server's side: accepts TLS connections, answers registrations and keep-alives,
// and hands over every JSON message that the registered client sends.
class LinkBench : public QTcpServer {
  public:
    explicit LinkBench(const QString &pkiDir) {
        QFile cert(pkiDir + QStringLiteral("/server.pem"));
        QFile key(pkiDir + QStringLiteral("/server.key"));
        if (cert.open(QIODevice::ReadOnly))
            m_certificates = QSslCertificate::fromData(cert.readAll());
        if (key.open(QIODevice::ReadOnly)) m_key = QSslKey(key.readAll(), QSsl::Rsa);
    }

    bool isReady() const { return !m_certificates.isEmpty() && !m_key.isNull(); }
    int registrations() const { return m_registrations; }
    int encryptedConnections() const { return m_encrypted; }

    void send(const QByteArray &bytes) {
        if (m_client) m_client->write(bytes);
    }
    // The next message of the registered client, or an empty object after the time-out.
    QJsonObject nextMessage(int timeoutMs) {
        waitUntil([this] { return !m_messages.isEmpty(); }, timeoutMs);
        return m_messages.isEmpty() ? QJsonObject() : m_messages.takeFirst();
    }

  protected:
    void incomingConnection(qintptr handle) override {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setLocalCertificateChain(m_certificates);
        socket->setPrivateKey(m_key);
        connect(socket, &QSslSocket::encrypted, this, [this] { ++m_encrypted; });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

  private:
    void readFrom(QSslSocket *socket) {
        QByteArray &buffer = m_buffers[socket];
        // Where the search for the line end goes on: a reply of 85 MB comes in thousands of
        // pieces, and searching it from the start each time would measure this server.
        int &scanned = m_scanned[socket];
        buffer += socket->readAll();
        for (;;) {
            // Control frames carry no line end; JSON messages end with one.
            if (buffer.startsWith('\x02')) {
                const int end = buffer.indexOf('\x03');
                if (end < 0) return;
                if (buffer.mid(1, end - 1) == "_KA_") socket->write("\x02_KAS_\x03");
                buffer.remove(0, end + 1);
                scanned = 0;
                continue;
            }
            const int end = buffer.indexOf('\n', scanned);
            if (end < 0) {
                scanned = buffer.size();
                return;
            }
            const QJsonObject message = QJsonDocument::fromJson(buffer.left(end)).object();
            buffer.remove(0, end + 1);
            scanned = 0;
            if (message.value(QLatin1String("typeCall")).toString() ==
                QLatin1String("registerPOS")) {
                m_client = socket;
                ++m_registrations;
                socket->write(R"({"responseType":"registerPOS","data":[{"errorCode":0}]})");
            } else if (socket == m_client) {
                m_messages.append(message);
            }
        }
    }

    QList<QSslCertificate> m_certificates;
    QSslKey m_key;
    QHash<QSslSocket *, QByteArray> m_buffers;
    QHash<QSslSocket *, int> m_scanned;
    QSslSocket *m_client = nullptr;
    QList<QJsonObject> m_messages;
    int m_registrations = 0;
    int m_encrypted = 0;
};

namespace {

QByteArray command(const QString &name, const QJsonObject &parameters) {
    return QJsonDocument(QJsonObject{{QStringLiteral("commandType"), name},
                                     {QStringLiteral("data"), QJsonArray{parameters}}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

QJsonObject resultOf(const QJsonObject &reply) {
    return reply.value(QLatin1String("data")).toArray().first().toObject();
}

void writeSettings(const QString &root, quint16 port) {
    QDir().mkpath(root + QStringLiteral("/settings"));
    QFile ini(root + QStringLiteral("/settings/qltRestClientQt.ini"));
    ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
    ini.write(QStringLiteral("[RestServiceQt]\nrestServerQt_host=localhost\nrestServerQt_port=%1\n")
                  .arg(port)
                  .toUtf8());
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: linkbench CLIENT FLOOR [PKI_DIR]\n");
        return 2;
    }
    const QString clientBinary = args.at(1);
    const QString floorBinary = args.at(2);
    const QString pkiDir = args.size() > 3 ? args.at(3) : QStringLiteral(QLT_PKI_DIR);

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
    client.setProcessEnvironment(environment);
    client.setStandardOutputFile(QProcess::nullDevice());
    client.setStandardErrorFile(QProcess::nullDevice());
    // A fresh client, registered: milliseconds from its start, or -1.
    const auto startClient = [&] {
        if (client.state() != QProcess::NotRunning) {
            client.terminate();
            client.waitForFinished(10000);
        }
        const int before = server.registrations();
        QElapsedTimer clock;
        clock.start();
        client.start(clientBinary, {});
        if (!waitUntil([&] { return server.registrations() > before; }, 20000)) return -1.0;
        return clock.nsecsElapsed() / 1e6;
    };

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
    qint64 pid = client.processId();
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
    floor.terminate();
    floor.waitForFinished(10000);

    // A trivial command: answered from a constant.
    constexpr int roundTrips = 200;
    QVector<double> tripMs;
    const QByteArray trivial = command(QStringLiteral("getNodes"), {});
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

    const QString benchDir = root.path() + QStringLiteral("/temp/bench");
    QDir().mkpath(benchDir);
    // Each transfer runs on a fresh client, so that none inherits the memory of the one before.
    // The client first does the same command on a few KiB, so that code and tables paged in once
    // are not counted: growth is the peak RSS during the measured command minus the RSS just
    // before it.
    struct Transfer {
        double seconds = 0;
        QJsonObject result;
        qint64 growthKiB = 0;
        qint64 peakKiB = 0;
    };
    const auto transfer = [&](const QByteArray &warmUp, const std::function<void()> &prepare,
                              const QByteArray &measured) {
        Transfer t;
        startClient();
        pid = client.processId();
        server.send(warmUp);
        server.nextMessage(60000);
        prepare();
        const Memory before = Memory::of(pid);
        Memory::resetPeak(pid);
        QElapsedTimer clock;
        clock.start();
        server.send(measured);
        t.result = resultOf(server.nextMessage(300000));
        t.seconds = clock.nsecsElapsed() / 1e9;
        t.peakKiB = Memory::of(pid).peakKiB;
        t.growthKiB = t.peakKiB - before.rssKiB;
        return t;
    };
    const auto memoryText = [](const Transfer &t, qint64 size) {
        return QStringLiteral("client peak RSS %1 MiB, growth %2 MiB = %3 x")
            .arg(mib(t.peakKiB << 10))
            .arg(mib(t.growthKiB << 10))
            .arg(double(t.growthKiB) / (size >> 10), 0, 'f', 2);
    };

    const auto saveCommand = [](const QByteArray &bytes) {
        return command(QStringLiteral("saveFileContent"),
                       {{QStringLiteral("filePath"), QStringLiteral("bench/payload.bin")},
                        {QStringLiteral("basePathType"), QStringLiteral("temp")},
                        {QStringLiteral("isBinary"), true},
                        {QStringLiteral("fileDataB64"), QString::fromLatin1(bytes.toBase64())}});
    };
    for (const int sizeMiB : {1, 16, 64}) {
        const qint64 size = qint64(sizeMiB) << 20;
        QByteArray payload(int(size), Qt::Uninitialized);
        QRandomGenerator generator(sizeMiB);
        generator.fillRange(reinterpret_cast<quint32 *>(payload.data()), int(size / 4));
        const Transfer t = transfer(
            saveCommand(payload.left(4096)), [] {}, saveCommand(payload));
        const bool ok = t.result.value(QLatin1String("errorCode")).toInt(-1) == 0 &&
                        QFileInfo(benchDir + QStringLiteral("/payload.bin")).size() == size;
        out << QStringLiteral(
                   "saveFileContent %1 MiB: %2 s, %3 MiB/s of payload; %4 payload "
                   "(goal <= 4)%5\n")
                   .arg(sizeMiB)
                   .arg(t.seconds, 0, 'f', 3)
                   .arg(sizeMiB / t.seconds, 0, 'f', 1)
                   .arg(memoryText(t, size))
                   .arg(ok ? QString()
                           : QStringLiteral(" (FAILED: ") +
                                 QString::fromUtf8(
                                     QJsonDocument(t.result).toJson(QJsonDocument::Compact)) +
                                 QLatin1Char(')'));
        out.flush();
    }

    const QByteArray readCommand =
        command(QStringLiteral("getFileContent"),
                {{QStringLiteral("filePath"), QStringLiteral("bench/read.txt")},
                 {QStringLiteral("basePathType"), QStringLiteral("temp")}});
    const auto writeText = [&](qint64 size) {
        // Text, since the command reads text: lines of 63 characters and a line end.
        QByteArray text;
        text.reserve(int(size));
        const QByteArray line = QByteArray(63, 'r') + '\n';
        while (text.size() < size) text += line;
        text.truncate(int(size));
        QFile file(benchDir + QStringLiteral("/read.txt"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text);
        return text;
    };
    for (const int sizeMiB : {1, 16, 64}) {
        const qint64 size = qint64(sizeMiB) << 20;
        writeText(4096);
        QByteArray text;
        const Transfer t = transfer(
            readCommand, [&] { text = writeText(size); }, readCommand);
        const bool ok =
            QByteArray::fromBase64(
                t.result.value(QLatin1String("fileData")).toString().toLatin1()) == text;
        out << QStringLiteral("getFileContent %1 MiB: %2 s, %3 MiB/s of file; %4 file%5\n")
                   .arg(sizeMiB)
                   .arg(t.seconds, 0, 'f', 3)
                   .arg(sizeMiB / t.seconds, 0, 'f', 1)
                   .arg(memoryText(t, size))
                   .arg(ok ? QString()
                           : QStringLiteral(" (FAILED: errorCode %1)")
                                 .arg(t.result.value(QLatin1String("errorCode")).toInt(-1)));
        out.flush();
    }

    client.terminate();
    client.waitForFinished(10000);
    return 0;
}
