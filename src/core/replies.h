#pragma once

#include <QJsonObject>
#include <QString>

// Every reply to a command carries "errorCode" (0 = success) and "errorDescription".
namespace reply {
QJsonObject error(int code, const QString &description);
// Sets both on a reply that carries further fields.
QJsonObject &setError(QJsonObject &reply, int code, const QString &description);
}  // namespace reply
