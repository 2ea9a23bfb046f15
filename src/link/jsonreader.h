#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// Reads one message from the management server, straight from its Windows-1252 bytes, into the
// variants that the dispatcher and the command handlers work with: objects become QVariantMap,
// arrays QVariantList, strings QString, true and false bool, null a null variant, and numbers
// qlonglong when they are whole and fit, double otherwise. Syntax and conversions follow Qt's
// own JSON documents, so handlers see what they would see there. A key repeated in one object
// keeps its last value (Qt keeps either, depending on how its sort orders them) and is
// reported.
//
// It exists for memory: a message may carry a whole file as Base64, and going through a JSON
// document holds that text three times (the bytes, the document, the UTF-16 string). Here a long
// string of plain ASCII without escapes stays as its bytes, in a QByteArray variant, so the
// message is held twice at most while it is read and once afterwards. param::isString and
// param::string treat both forms as strings; param::stringBytes hands out the bytes without a
// copy.
class jsonReader {
  public:
    struct Result {
        QVariant value;  // valid when `error` is empty
        QString error;
        int offset = 0;       // where the error was found, in bytes
        QString repeatedKey;  // the first key that appeared twice in one object, if any
    };

    // Strings at least this long that are plain ASCII arrive as QByteArray.
    static constexpr int compactStringBytes = 4096;

    static Result read(const QByteArray &json, int maxDepth,
                       int compactFromBytes = compactStringBytes);
};
