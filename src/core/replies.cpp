#include "core/replies.h"

QJsonObject reply::error(int code, const QString &description) {
    QJsonObject o;
    return setError(o, code, description);
}

QJsonObject &reply::setError(QJsonObject &reply, int code, const QString &description) {
    reply.insert(QStringLiteral("errorCode"), code);
    reply.insert(QStringLiteral("errorDescription"), description);
    return reply;
}
