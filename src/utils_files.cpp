#include "atomicfile.h"
#include "utils.h"

namespace {
QString textUpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}
}  // namespace

QString utilsModel::decodeBase64(const QString &text) {
    return textUpToNul(QByteArray::fromBase64(text.toLocal8Bit()));
}

saveResultStruct utilsModel::saveFile(const QString &path, const QByteArray &data, bool isBase64,
                                      bool isBinary) {
    saveResultStruct result;
    QByteArray bytes;
    if (isBinary) {
        if (isBase64) {
            const auto decoded =
                QByteArray::fromBase64Encoding(data, QByteArray::AbortOnBase64DecodingErrors);
            if (decoded) bytes = decoded.decoded;
        } else {
            bytes = data;
        }
    } else {
        const QString text = isBase64 ? decodeBase64(QString::fromUtf8(data)) : QString::fromUtf8(data);
        bytes = text.toLocal8Bit();
    }
    QString error;
    if (!atomicFile::write(path, bytes, &error)) {
        addDebugText(900, QStringLiteral("Writing %1 failed: %2").arg(path, error),
                     QStringLiteral("utilsModel::saveFile"), true, true);
        result.errorCode = 900;
        result.errorDescription = QStringLiteral("Can't write to file!");
    }
    return result;
}

// Not built yet; the server gets the agreed answer for a missing implementation.
QJsonObject utilsModel::getDirectoryFiles(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::createAndEmptyDirectory(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::getFileContent(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::saveFileContent(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
QJsonObject utilsModel::setRights(QVariantMapT) {
    return setErrorData(599, QStringLiteral("Not supported yet"));
}
