#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QVariantMap>

namespace testjson {
// A command's parameters as a handler takes them: the JSON object as a variant map.
QVariantMap params(const QJsonObject &object);
// The same from JSON text; anything but an object gives an empty map.
QVariantMap params(const QByteArray &jsonText);
}  // namespace testjson
