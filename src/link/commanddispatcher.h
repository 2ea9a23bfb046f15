#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "core/bytesource.h"
#include "core/replies.h"

// What the dispatcher makes of one command: the reply envelope and how to send it.
struct commandReply {
    bool send = true;  // false for the keep-alive request that arrives as a command name
    QJsonObject envelope;
    std::shared_ptr<byteSource> fileData;  // the streamed value of the reply's "fileData"
    int timeoutS = 0;
    bool quiet = false;  // no log line of the reply (it may carry a whole file)
};

// A message from the server as the link sees it: an answer to one of the client's own
// requests, or a command, each with the parameter objects of its "data" list.
struct serverMessage {
    enum Kind { Invalid, Response, Command };
    Kind kind = Invalid;
    QString name;  // the "responseType" or the "commandType"
    QList<QVariantMap> entries;
    int logCode = 0;  // why it is invalid
    QString problem;
};

// Command name and parameters in, reply envelope out: no socket, no connection state. The
// link sends what comes out; a changed configuration or rights file is announced by a signal,
// since reloading and reconnecting must wait until the reply has left.
class commandDispatcher : public QObject {
    Q_OBJECT
  public:
    static constexpr int defaultReplyTimeoutS = 55;
    static constexpr int maxReplyTimeoutS = 24 * 60 * 60;

    explicit commandDispatcher(QObject *parent = nullptr);

    // Tells answers from commands; "responseType" is looked at first. Entries of "data" that
    // are not objects are left out.
    static serverMessage readMessage(const QVariant &message);
    commandReply dispatch(const QString &command, const QVariantMap &parameters);
    // The reply time-out a command asks for with "sendTimeOut": a positive number (at most a
    // day); anything else, zero and negative numbers included, gives the default.
    static int replyTimeoutS(const QVariantMap &parameters);

  signals:
    void signal_settingsChanged(bool configurationChanged, bool rightsChanged);

  private:
    using Handler = std::function<commandResult(const QVariantMap &)>;

    QJsonObject getConfiguration();
    QJsonObject setConfiguration(const QVariantMap &parameters);

    QMap<QString, Handler> m_handlers;
};
