#pragma once

#include <QJsonObject>
#include <QString>
#include <memory>

#include "core/bytesource.h"

// Every reply to a command carries "errorCode" (0 = success) and "errorDescription".
namespace reply {
QJsonObject error(int code, const QString &description);
// Sets both on a reply that carries further fields.
QJsonObject &setError(QJsonObject &reply, int code, const QString &description);
}  // namespace reply

// What a command handler answers: the fields of its reply and, for a file too large to hold,
// the value of "fileData", made while the reply leaves.
struct commandResult {
    commandResult(QJsonObject replyFields = QJsonObject(),
                  std::shared_ptr<byteSource> streamedFileData = nullptr)
        : fields(std::move(replyFields)), fileData(std::move(streamedFileData)) {}
    QJsonObject fields;
    std::shared_ptr<byteSource> fileData;  // when set, "fileData" in `fields` is ""
};
