#include "utils.h"

// Not built yet; the server gets the agreed answer for a missing implementation.
QJsonObject utilsModel::testConnection(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::doDeamonCommand(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::doAccCloseIfNeeded() {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
