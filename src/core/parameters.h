#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include "core/spooledtext.h"

// Typed access to command parameters: a parameter counts only when it has the expected type.
// A string may come as QString or, when long and plain ASCII, as its bytes (see jsonReader).
namespace param {
bool isString(const QVariantMap &data, const QString &key);
bool isBool(const QVariantMap &data, const QString &key);
bool isNumber(const QVariantMap &data, const QString &key);  // 64-bit integer or double
QString string(const QVariantMap &data, const QString &key, const QString &fallback = {});
// The string's UTF-8 bytes, shared rather than copied when it came as bytes: for Base64 uploads.
QByteArray stringBytes(const QVariantMap &data, const QString &key);
// A long string that arrived on disk (see messageFramer::setSpooling), for a consumer that
// reads it slice by slice; null otherwise. string() and stringBytes() read it whole.
spooledTextPtr spooled(const QVariantMap &data, const QString &key);
bool boolean(const QVariantMap &data, const QString &key, bool fallback);
qint64 integer(const QVariantMap &data, const QString &key, qint64 fallback);
}  // namespace param
