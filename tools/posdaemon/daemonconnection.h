#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include "daemonconfig.h"

class QTcpSocket;
class ReplyTable;

// One client's session: greets, answers line by line as the mode says, deletes itself when closed.
class DaemonConnection : public QObject {
    Q_OBJECT
  public:
    DaemonConnection(int id, QTcpSocket *socket, const DaemonConfig &config,
                     const ReplyTable &table, QObject *parent);

  private:
    void readLines();
    void handleLine(const QByteArray &line);
    void answerCommand(const QByteArray &line);
    // Sends the answer to a command, shaped by noeol and slow; a stream follows it when asked,
    // and in stray mode after a while.
    void answer(QByteArray reply, bool thenStream = false);
    void deliver(const QByteArray &reply, bool thenStream);
    void startStream();
    void send(const QByteArray &bytes);
    void sendNextByte();
    void feedStream();
    void close();

    const int m_id;
    QTcpSocket *const m_socket;
    const DaemonConfig m_config;  // a copy: in random mode each connection has its own
    const ReplyTable &m_table;
    QByteArray m_received;
    QByteArray m_trickle;  // bytewise mode: what is still to go out
    QTimer m_trickleTimer;
    bool m_awaitingPartTwo = false;
    bool m_streaming = false;
    quint64 m_streamLine = 0;
    bool m_closing = false;
};
