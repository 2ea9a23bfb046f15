#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

class ClientConnection;

// Plays a script of commands and directives to the registered client, one line after the
// replies of the one before, and follows the client across reconnections.
class ScriptRunner : public QObject {
    Q_OBJECT
  public:
    ScriptRunner(bool glue, bool garbage, QObject *parent = nullptr);

    // Reads the script; false with *error (naming the line) when a line is not understood.
    bool load(const QString &path, QString *error);
    // Starts the time limit of the whole run.
    void start(int timeoutSeconds);

    void attach(ClientConnection *connection);
    void detach(ClientConnection *connection);
    void handleMessage(ClientConnection *connection, const QJsonObject &message);

  signals:
    void finished();
    void timedOut(const QString &where);

  private:
    struct Step {
        enum Kind { Send, Sleep, Disconnect };
        Kind kind = Send;
        int line = 0;
        QByteArray bytes;  // what Send writes
        bool command = false;
        QString replyName;
        int replies = 0;
        int sleepMs = 0;
    };

    void advance();
    void sendFromCurrentStep();
    void resendPending();
    QString whereStuck() const;

    const bool m_glue;
    const bool m_garbage;
    QVector<Step> m_steps;
    int m_next = 0;
    QPointer<ClientConnection> m_connection;
    QString m_pendingName;
    int m_pending = 0;
    int m_pendingStep = 0;  // the last step sent
    bool m_sleeping = false;
    bool m_finished = false;
    QTimer m_timeout;
};
