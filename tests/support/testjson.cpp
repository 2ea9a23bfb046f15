#include "testjson.h"

#include <QJsonDocument>

namespace testjson {
QVariantMap params(const QJsonObject &object) { return object.toVariantMap(); }

QVariantMap params(const QByteArray &jsonText) {
    return params(QJsonDocument::fromJson(jsonText).object());
}
}  // namespace testjson
