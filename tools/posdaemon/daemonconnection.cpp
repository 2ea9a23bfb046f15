#include "daemonconnection.h"

#include <QTcpSocket>

#include "eventlog.h"
#include "replytable.h"

namespace {

using Mode = DaemonConfig::Mode;

const QByteArray kOk = "200 Ok\n";
const QByteArray kNotFound = "500 Server not found\n";
// A line that never ends is a broken client; a bound keeps it from growing without limit.
constexpr int kMaxLineBytes = 1 << 20;
// The stream is refilled only while this little is queued, so it goes at the reader's pace.
constexpr qint64 kStreamBacklogBytes = 64 * 1024;

}  // namespace

DaemonConnection::DaemonConnection(int id, QTcpSocket *socket, const DaemonConfig &config,
                                   const ReplyTable &table, QObject *parent)
    : QObject(parent), m_id(id), m_socket(socket), m_config(config), m_table(table) {
    m_socket->setParent(this);
    // Small replies must leave at once, above all the single bytes of bytewise mode.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_trickleTimer.setInterval(1);
    connect(&m_trickleTimer, &QTimer::timeout, this, &DaemonConnection::sendNextByte);
    connect(m_socket, &QTcpSocket::readyRead, this, &DaemonConnection::readLines);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &DaemonConnection::feedStream);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        m_closing = true;
        m_trickleTimer.stop();
        EventLog::event(m_id, "disconnected");
        deleteLater();
    });
    EventLog::event(m_id, "connected");

    if (m_config.mode == Mode::Silent) return;
    if (m_config.mode == Mode::Drip) {
        send(m_config.greeting);
        m_trickleTimer.setInterval(100);
        m_trickle = " ";
        m_trickleTimer.start();
        return;
    }
    send(m_config.mode == Mode::NotFound ? kNotFound : m_config.greeting + '\n');
    if (m_config.mode == Mode::CloseAfterGreeting) close();
}

void DaemonConnection::readLines() {
    m_received += m_socket->readAll();
    int end;
    while ((end = m_received.indexOf('\n')) >= 0) {
        const QByteArray line = m_received.left(end);
        m_received.remove(0, end + 1);
        EventLog::line(m_id, line);
        if (!m_closing) handleLine(line);
    }
    if (m_received.size() > kMaxLineBytes) {
        m_received.clear();
        if (m_closing) return;
        EventLog::event(m_id, "line too long");
        close();
    }
}

void DaemonConnection::handleLine(const QByteArray &line) {
    if (m_awaitingPartTwo) {
        m_awaitingPartTwo = false;
        const QByteArray reply = QByteArray("200 Ok\nreceived: ") + line + '\n';
        if (m_config.mode != Mode::CutPartTwo) {
            answer(reply + "//END\n");
            return;
        }
        send(reply);
        close();
        return;
    }
    if (line == "BYE") {
        close();
        return;
    }
    switch (m_config.mode) {
        case Mode::Silent:
            return;
        case Mode::NotFound:
            send(kNotFound);
            return;
        default:
            break;
    }
    if (line.startsWith("SETUSR ")) {
        send(m_config.loginFail ? QByteArray("401 Login refused\n") : kOk);
        return;
    }
    if (line == "ACCCLOSE") {
        send(kOk);
        return;
    }
    answerCommand(line);
}

void DaemonConnection::answerCommand(const QByteArray &line) {
    switch (m_config.mode) {
        case Mode::EmptyThenClose:
            close();
            return;
        case Mode::Binary:
            answer("200 \x80\xA4\xE9\xFF\n");
            return;
        case Mode::Short:
            answer("20\n");
            return;
        default:
            break;
    }
    if (line.startsWith("PART1 ")) {
        m_awaitingPartTwo = true;
        answer("201 Send part two\n");
        return;
    }
    if (line == "STREAM") {
        answer(kOk, true);
        return;
    }
    answer(m_table.reply(line).value_or(QByteArray("404 Unknown command\n")));
}

void DaemonConnection::answer(QByteArray reply, bool thenStream) {
    if (m_config.mode == Mode::NoEol && reply.endsWith('\n')) reply.chop(1);
    if (m_config.mode != Mode::Slow) {
        deliver(reply, thenStream);
        return;
    }
    QTimer::singleShot(m_config.slowMs, this,
                       [this, reply, thenStream] { deliver(reply, thenStream); });
}

void DaemonConnection::deliver(const QByteArray &reply, bool thenStream) {
    send(reply);
    if (thenStream)
        startStream();
    else if (m_config.mode == Mode::Stray)
        QTimer::singleShot(m_config.strayAfterMs, this, &DaemonConnection::startStream);
}

void DaemonConnection::startStream() {
    m_streaming = true;
    feedStream();
}

void DaemonConnection::send(const QByteArray &bytes) {
    if (m_closing) return;
    if (m_config.mode != Mode::Bytewise) {
        m_socket->write(bytes);
        m_socket->flush();
        return;
    }
    m_trickle += bytes;
    if (!m_trickleTimer.isActive()) m_trickleTimer.start();
}

void DaemonConnection::sendNextByte() {
    m_socket->write(m_trickle.left(1));
    m_socket->flush();
    m_trickle.remove(0, 1);
    if (!m_trickle.isEmpty()) return;
    if (m_config.mode == Mode::Drip)
        m_trickle = " ";
    else
        m_trickleTimer.stop();
}

void DaemonConnection::feedStream() {
    while (m_streaming && !m_closing &&
           m_socket->bytesToWrite() + m_trickle.size() < kStreamBacklogBytes) {
        QByteArray batch;
        while (batch.size() < kStreamBacklogBytes)
            batch += QByteArray("stream line ") + QByteArray::number(++m_streamLine) + '\n';
        send(batch);
    }
}

void DaemonConnection::close() {
    if (m_closing) return;
    m_closing = true;
    m_trickleTimer.stop();
    m_socket->disconnectFromHost();
}
