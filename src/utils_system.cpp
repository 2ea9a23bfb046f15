#include "utils.h"

// Not built yet; the server gets the agreed answer for a missing implementation.
QJsonObject utilsModel::getProcesses(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getProcessInfo(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::killPidById(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::killProcessByName(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::pingDevices(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getClientInfo(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getVariousSetting(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getPosInfo(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::pushLicense(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getNodes(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::rebootDevice(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::restartClient(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
