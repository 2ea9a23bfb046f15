#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QRandomGenerator>
#include <QTimer>
#include <QVector>

#include "serveroptions.h"

class ClientConnection;

// Drives a registered client with an endless random stream of real commands and faults (drops,
// resets in the middle of a message, garbage, split and glued frames, refused and paused
// registrations, late and missing keep-alive answers) and checks what comes back: every command
// that reached the client is answered exactly once, in order, on its own connection, with a
// well-formed reply, and every file read back is whole. Prints one {"chaos":...} line per fault,
// per broken rule and per connection that closed with replies due, and the totals on request.
class ChaosRunner : public QObject {
    Q_OBJECT
  public:
    explicit ChaosRunner(const ServerOptions &options, QObject *parent = nullptr);

    // Reads the archives of --chaos-files; false with *error when one cannot be read.
    bool load(QString *error);

    RegisterMode chooseRegisterMode(ClientConnection *connection);
    KeepAliveMode chooseKeepAliveMode(ClientConnection *connection);
    void opened(ClientConnection *connection);
    void attach(ClientConnection *connection);
    void detach(ClientConnection *connection);
    void handleMessage(ClientConnection *connection, const QJsonObject &message);
    // A command object from outside (one line of JSON), sent to the registered client at once
    // and checked like chaos's own commands.
    void sendExtra(const QByteArray &line);
    void printSummary() const;

  private:
    // A reply still due on a connection, in the order the commands went out.
    struct Due {
        QString name;
        QString readPath;  // getFileContent of a soak file: its content is checked
        qint64 sentMs = 0;
    };
    struct Command {
        QByteArray bytes;
        QVector<Due> replies;
        int commands = 1;
    };

    void scheduleStep();
    void step();
    void injectFault();
    // In pieces, each piece is its own write and so leaves in its own TLS record.
    void sendCommand(const Command &command, bool inPieces = false);
    Command randomCommand();
    Command saveFileCommand();
    Command makeCommand(const QString &name, const QVector<QJsonObject> &entries,
                        const QString &readPath = QString());
    QByteArray randomFileContent();
    QByteArray garbage();
    void checkReply(ClientConnection *connection, const QJsonObject &message);
    void checkFileContent(ClientConnection *connection, const QString &path,
                          const QJsonObject &result);
    void checkOverdue();
    void fault(const QString &kind, ClientConnection *connection);
    void violation(ClientConnection *connection, const QString &text);
    int pick(int bound) { return int(m_random.bounded(bound)); }
    bool chance(double p) { return m_random.generateDouble() < p; }

    const ServerOptions m_options;
    QRandomGenerator m_random;
    QVector<QByteArray> m_archives;
    QPointer<ClientConnection> m_active;  // the registered connection commands go to
    QHash<ClientConnection *, QQueue<Due>> m_due;
    int m_depth = 1;  // commands in flight before the next step waits for replies
    // A calm connection is never dropped by chaos, so that it lives long enough for the
    // client's keep-alives (every 40 s or so) and their faults.
    bool m_calm = false;
    QTimer m_stepTimer;
    QTimer m_overdueTimer;
    QElapsedTimer m_clock;

    int m_connections = 0;
    int m_registrations = 0;
    int m_commands = 0;
    int m_repliesDue = 0;
    int m_replies = 0;
    int m_lostWithConnection = 0;
    int m_filesChecked = 0;
    int m_violations = 0;
    QMap<QString, int> m_faults;
};
