#include "scriptrunner.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include "clientconnection.h"

namespace {

// Bytes a correct client must skip: a stray closing brace with a line feed, and a lone bracket.
const QByteArray kGarbage = QByteArrayLiteral("xx}\n]");

bool isWholeNumber(const QJsonValue &value, int minimum) {
    return value.isDouble() && value.toDouble() == value.toInt() && value.toInt() >= minimum;
}

}  // namespace

ScriptRunner::ScriptRunner(bool glue, bool garbage, QObject *parent)
    : QObject(parent), m_glue(glue), m_garbage(garbage) {
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { emit timedOut(whereStuck()); });
}

bool ScriptRunner::load(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    int expectReplies = -1;  // -1: the command's data count applies
    for (int index = 0; index < lines.size(); ++index) {
        const QByteArray text = lines.at(index).trimmed();
        if (text.isEmpty() || text.startsWith('#')) continue;
        const auto fail = [&](const QString &why) {
            *error = QStringLiteral("%1:%2: %3").arg(path).arg(index + 1).arg(why);
            return false;
        };
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
            return fail(QStringLiteral("not a JSON object"));
        }
        const QJsonObject object = document.object();
        Step step;
        step.line = index + 1;
        if (object.size() == 1 && object.contains(QLatin1String("devserver"))) {
            const QJsonObject directive = object.value(QLatin1String("devserver")).toObject();
            if (directive.size() != 1) return fail(QStringLiteral("a directive has one key"));
            const QString key = directive.constBegin().key();
            const QJsonValue value = directive.constBegin().value();
            if (expectReplies >= 0)
                return fail(QStringLiteral("expectReplies must precede a command"));
            if (key == QLatin1String("sleepMs") && isWholeNumber(value, 0)) {
                step.kind = Step::Sleep;
                step.sleepMs = value.toInt();
            } else if (key == QLatin1String("raw") && value.isString()) {
                const auto decoded = QByteArray::fromBase64Encoding(
                    value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
                if (!decoded) return fail(QStringLiteral("raw is not Base64"));
                step.bytes = *decoded;
            } else if (key == QLatin1String("disconnect") && value == QJsonValue(true)) {
                step.kind = Step::Disconnect;
            } else if (key == QLatin1String("expectReplies") && isWholeNumber(value, 0)) {
                expectReplies = value.toInt();
                continue;
            } else {
                return fail(QStringLiteral("unknown directive"));
            }
        } else {
            step.bytes = text;
            step.command = true;
            const QJsonValue name = object.value(QLatin1String("commandType"));
            if (name.isString()) {
                step.replyName = name.toString();
                step.replies = object.value(QLatin1String("data")).toArray().size();
            }
            if (expectReplies >= 0) {
                if (!name.isString() && expectReplies > 0) {
                    return fail(QStringLiteral("replies are expected by command name"));
                }
                step.replies = expectReplies;
                expectReplies = -1;
            }
        }
        m_steps.append(step);
    }
    if (expectReplies >= 0) {
        *error = QStringLiteral("%1: expectReplies at the end").arg(path);
        return false;
    }
    return true;
}

void ScriptRunner::start(int timeoutSeconds) { m_timeout.start(timeoutSeconds * 1000); }

void ScriptRunner::attach(ClientConnection *connection) {
    // A client registers only on a fresh connection, so the one it used before is gone for it,
    // even where that connection has not closed on this side yet (a relay in between may hold it).
    if (m_connection && m_connection != connection) resendPending();
    m_connection = connection;
    advance();
}

void ScriptRunner::detach(ClientConnection *connection) {
    if (m_connection != connection) return;
    m_connection = nullptr;
    resendPending();
}

void ScriptRunner::resendPending() {
    // The client drops what it has not answered when it reconnects (as after a new
    // configuration), so the line goes out again on the next registered connection.
    if (m_pending == 0) return;
    qInfo().noquote() << "connection lost with" << m_pending << "replies to line"
                      << m_steps.at(m_pendingStep).line << "pending; it is sent again";
    m_next = m_pendingStep;
    m_pending = 0;
}

void ScriptRunner::handleMessage(ClientConnection *connection, const QJsonObject &message) {
    // A reply still arriving on a connection given up counts for nothing: its line is sent again.
    if (connection != m_connection || m_pending == 0 ||
        message.value(QLatin1String("typeCall")).toString() != m_pendingName) {
        return;
    }
    if (--m_pending == 0) advance();
}

void ScriptRunner::advance() {
    while (!m_finished && !m_sleeping && m_pending == 0) {
        if (m_next == m_steps.size()) {
            m_finished = true;
            m_timeout.stop();
            qInfo() << "script done";
            emit finished();
            return;
        }
        if (!m_connection) return;
        const Step &step = m_steps.at(m_next);
        switch (step.kind) {
            case Step::Sleep:
                ++m_next;
                m_sleeping = true;
                QTimer::singleShot(step.sleepMs, this, [this] {
                    m_sleeping = false;
                    advance();
                });
                break;
            case Step::Disconnect:
                ++m_next;
                m_connection->close();
                m_connection = nullptr;
                break;
            case Step::Send:
                sendFromCurrentStep();
                break;
        }
    }
}

void ScriptRunner::sendFromCurrentStep() {
    QByteArray bytes;
    for (;;) {
        m_pendingStep = m_next++;
        const Step &step = m_steps.at(m_pendingStep);
        if (m_garbage && step.command) bytes += kGarbage;
        bytes += step.bytes;
        m_pendingName = step.replyName;
        m_pending = step.replies;
        // Only what needs no reply may share its write with the next line.
        const bool glueNext = m_glue && m_pending == 0 && m_next < m_steps.size() &&
                              m_steps.at(m_next).kind == Step::Send;
        if (!glueNext) break;
    }
    qInfo().noquote() << "line" << m_steps.at(m_pendingStep).line << "sent," << m_pending
                      << "replies expected";
    m_connection->send(bytes);
}

QString ScriptRunner::whereStuck() const {
    if (m_pending > 0) {
        return QStringLiteral("waiting for %1 more '%2' replies to line %3")
            .arg(m_pending)
            .arg(m_pendingName)
            .arg(m_steps.at(m_pendingStep).line);
    }
    if (m_sleeping) return QStringLiteral("sleeping");
    return QStringLiteral("waiting for a registered connection to go on with line %1")
        .arg(m_steps.at(m_next).line);
}
