#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include "link/messageframer.h"

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
//
// It also bounds what one message may become (see Budget): a variant costs tens of bytes of heap
// for the two bytes of "0," that make it, so some hundred MiB of small values would take
// gigabytes. A message beyond its budget, like one nested deeper than maxDepth, is refused before
// the value that overdraws it is made.
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

    // Every value counts one, and so does every key: each costs 40 to 90 bytes of heap besides
    // its text (measured: a variant in its list slot or map node, a map, a string's header), so
    // a million of them take 90 MB at most, while server messages hold tens. Text counts the
    // bytes its strings take (two a character, one a byte of a compact string), up to as much as
    // the largest message the link takes in: a Base64 file in one string is a single value.
    struct Budget {
        qint64 values;
        qint64 textBytes;
    };
    static constexpr Budget messageBudget{1000000, messageFramer::defaultMaxMessageBytes};

    // A string that the framer kept on disk (its mark and index in `json`) comes out as the
    // spooledTextPtr of `spools`, which param::isString and param::stringBytes take as a string.
    static Result read(const QByteArray &json, int maxDepth,
                       int compactFromBytes = compactStringBytes, Budget budget = messageBudget,
                       const QVector<spooledTextPtr> &spools = {});
};
